#include "input/laz_point14.h"

#include <algorithm>
#include <cstring>


namespace ptdelta::laz {

Point14Fields unpack_point14(const std::uint8_t* record) {
  const auto i32 = [](const std::uint8_t* p) { return static_cast<std::int32_t>(get32(p)); };
  Point14Fields f;
  f.x = i32(record);
  f.y = i32(record + 4);
  f.z = i32(record + 8);
  f.intensity = static_cast<std::uint16_t>(get16(record + 12));
  f.return_number = record[14] & 15u;
  f.returns = static_cast<std::uint8_t>(record[14] >> 4);
  f.class_flags = record[15] & 15u;
  f.channel = (record[15] >> 4) & 3u;
  f.scan_direction = (record[15] >> 6) & 1u;
  f.edge = static_cast<std::uint8_t>(record[15] >> 7);
  f.classification = record[16];
  f.user_data = record[17];
  f.scan_angle = static_cast<std::uint16_t>(get16(record + 18));
  f.point_source = static_cast<std::uint16_t>(get16(record + 20));
  f.gps_time = get64(record + 22);
  return f;
}

namespace {

std::uint32_t even(std::uint32_t k) { return k & ~1u; }
// The 16-bit fields go through the 16-bit integer coders as their unsigned patterns.
std::uint16_t low16(std::int32_t v) { return static_cast<std::uint16_t>(static_cast<std::uint32_t>(v)); }

// Everything one scanner channel's context holds, for either direction: IC is IntegerDecompressor
// or IntegerCompressor, Gps the matching time coder. Optional layers get models only when active.
template <class IC, class Gps>
struct Point14State {
  Point14Fields last;
  bool last_time_changed = false;
  // layer 1
  std::vector<SymbolModel> change = std::vector<SymbolModel>(8, SymbolModel(128));
  SymbolModel channel{3};
  std::vector<SymbolModel> returns = std::vector<SymbolModel>(16, SymbolModel(16));
  std::vector<SymbolModel> return_number = std::vector<SymbolModel>(16, SymbolModel(16));
  SymbolModel same_time{13};
  IC ic_x{32, 2}, ic_y{32, 22};
  std::array<RunningMedian5, 12> median_x{}, median_y{};
  // layers 2-9
  std::optional<IC> ic_z, ic_intensity, ic_scan_angle, ic_point_source;
  std::array<std::int32_t, 8> heights{};
  std::array<std::uint16_t, 8> intensities{};
  std::vector<SymbolModel> classification, flags, user_data;
  std::optional<Gps> gps;

  // Seeding: fresh models, memory from `seed`.
  Point14State(const Point14Fields& seed, LayerSet active) : last(seed) {
    if (active & layer::z) ic_z.emplace(32, 20);
    if (active & layer::classification) classification.assign(64, SymbolModel(256));
    if (active & layer::flags) flags.assign(64, SymbolModel(64));
    if (active & layer::intensity) ic_intensity.emplace(16, 4);
    if (active & layer::scan_angle) ic_scan_angle.emplace(16, 2);
    if (active & layer::user_data) user_data.assign(64, SymbolModel(256));
    if (active & layer::point_source) ic_point_source.emplace(16, 1);
    if (active & layer::gps_time) gps.emplace(GpsVariant::layered, seed.gps_time);
    heights.fill(seed.z);
    intensities.fill(seed.intensity);
  }
};

std::uint32_t change_context(const Point14Fields& l, bool time_changed) {
  return (l.return_number == 1 ? 1u : 0u) + (l.return_number >= l.returns ? 2u : 0u) + (time_changed ? 4u : 0u);
}

// What layers 2-9 need of layer 1's work on this point.
struct PointKeys {
  std::uint32_t n = 0, r = 0, level = 0, kind = 0;  // kind: 3 single, 2 first, 1 last, 0 intermediate
  bool time_changed = false, angle_changed = false, source_changed = false;
  std::uint32_t k_xy = 0;                           // (ICx.last_k + ICy.last_k) >> 1
};

void derive_keys(PointKeys& keys) {
  const std::uint32_t n = keys.n, r = keys.r;
  keys.level = return_level14(n, r);
  keys.kind = (r == 1 ? 2u : 0u) + (r >= n ? 1u : 0u);
}

std::uint32_t z_context(const PointKeys& k) { return (k.n == 1 ? 1u : 0u) + (k.k_xy < 18 ? even(k.k_xy) : 18u); }
std::uint32_t y_context(std::uint32_t n, std::uint32_t kx) { return (n == 1 ? 1u : 0u) + (kx < 20 ? even(kx) : 20u); }

}  // namespace

void pack_point14(const Point14Fields& f, std::uint8_t* record) {
  put32(record, static_cast<std::uint32_t>(f.x));
  put32(record + 4, static_cast<std::uint32_t>(f.y));
  put32(record + 8, static_cast<std::uint32_t>(f.z));
  put16(record + 12, f.intensity);
  record[14] = static_cast<std::uint8_t>(f.return_number | (f.returns << 4));
  record[15] = static_cast<std::uint8_t>(f.class_flags | (f.channel << 4) | (f.scan_direction << 6) | (f.edge << 7));
  record[16] = f.classification;
  record[17] = f.user_data;
  put16(record + 18, f.scan_angle);
  put16(record + 20, f.point_source);
  put64(record + 22, f.gps_time);
}

// ---------------------------------------------------------------------------------------- decoding

struct Point14Decoder::Context : Point14State<IntegerDecompressor, GpsTimeDecoder> {
  using Point14State::Point14State;
};

Point14Decoder::Point14Decoder(const std::uint8_t* raw_record, std::uint16_t version, LayerSet active)
    : version_(version), active_(active) {
  const Point14Fields seed = unpack_point14(raw_record);
  current_ = seed.channel;
  contexts_[current_] = std::make_unique<Context>(seed, active_);
}

Point14Decoder::~Point14Decoder() = default;

std::uint32_t Point14Decoder::decode(std::array<ArithmeticDecoder*, point14_layers> layers, std::uint8_t* record) {
  ArithmeticDecoder xy = *layers[0];  // a local copy stays in registers (see ArithmeticDecoder)
  Context* c = contexts_[current_].get();
  // Steps 1-3: the change mask from the context being left, then perhaps a switch of channel.
  const std::uint32_t mask = xy.decode_symbol(c->change[change_context(c->last, c->last_time_changed)]);
  bool switched = false;
  if (mask & 64u) {
    const std::uint32_t s = xy.decode_symbol(c->channel);
    const std::uint32_t next = (current_ + s + 1) & 3u;
    if (!contexts_[next]) contexts_[next] = std::make_unique<Context>(c->last, active_);  // the record being left
    current_ = next;
    c = contexts_[next].get();
    c->last.channel = static_cast<std::uint8_t>(next);
    switched = true;
  }
  Point14Fields& l = c->last;
  PointKeys keys;
  keys.source_changed = (mask & 32u) != 0;
  keys.time_changed = (mask & 16u) != 0;
  keys.angle_changed = (mask & 8u) != 0;
  // Steps 5-6: number of returns, then return number.
  keys.n = (mask & 4u) ? xy.decode_symbol(c->returns[l.returns]) : l.returns;
  switch (mask & 3u) {
    case 0: keys.r = l.return_number; break;
    case 1: keys.r = (l.return_number + 1u) & 15u; break;
    case 2: keys.r = (l.return_number + 15u) & 15u; break;
    default:
      keys.r = keys.time_changed ? xy.decode_symbol(c->return_number[l.return_number])
                                 : (l.return_number + 2u + xy.decode_symbol(c->same_time)) & 15u;
  }
  l.returns = static_cast<std::uint8_t>(keys.n);
  l.return_number = static_cast<std::uint8_t>(keys.r);
  derive_keys(keys);
  // Step 8: X and Y against the running medians of this return map slot and time flag.
  const std::uint32_t slot = 2u * return_map14[keys.n][keys.r] + (keys.time_changed ? 1u : 0u);
  const std::int32_t dx = c->ic_x.decompress(xy, c->median_x[slot].get(), keys.n == 1 ? 1u : 0u);
  l.x = wrap_add32(l.x, dx);
  c->median_x[slot].add(dx);
  const std::uint32_t kx = c->ic_x.last_k();
  const std::int32_t dy = c->ic_y.decompress(xy, c->median_y[slot].get(), y_context(keys.n, kx));
  l.y = wrap_add32(l.y, dy);
  c->median_y[slot].add(dy);
  keys.k_xy = (kx + c->ic_y.last_k()) >> 1;
  *layers[0] = xy;

  // Layers 2-9: each only when active; otherwise the field keeps the memory's value.
  if (layers[1]) {
    ArithmeticDecoder z = *layers[1];
    l.z = c->ic_z->decompress(z, c->heights[keys.level], z_context(keys));
    c->heights[keys.level] = l.z;
    *layers[1] = z;
  }
  if (layers[2]) {
    const std::uint32_t j = 2u * (l.classification & 31u) + (keys.kind == 3 ? 1u : 0u);
    l.classification = static_cast<std::uint8_t>(layers[2]->decode_symbol(c->classification[j]));
  }
  if (layers[3]) {
    const std::uint32_t old = 32u * l.edge + 16u * l.scan_direction + l.class_flags;
    const std::uint32_t f = layers[3]->decode_symbol(c->flags[old]);
    l.edge = (f >> 5) & 1u;
    l.scan_direction = (f >> 4) & 1u;
    l.class_flags = f & 15u;
  }
  if (layers[4]) {
    const std::uint32_t j = 2u * keys.kind + (keys.time_changed ? 1u : 0u);
    l.intensity = low16(c->ic_intensity->decompress(*layers[4], c->intensities[j], keys.kind));
    c->intensities[j] = l.intensity;
  }
  if (layers[5] && keys.angle_changed)
    l.scan_angle = low16(c->ic_scan_angle->decompress(*layers[5], l.scan_angle, keys.time_changed ? 1u : 0u));
  if (layers[6]) l.user_data = static_cast<std::uint8_t>(layers[6]->decode_symbol(c->user_data[l.user_data / 4u]));
  if (layers[7] && keys.source_changed)
    l.point_source = low16(c->ic_point_source->decompress(*layers[7], l.point_source, 0));
  if (layers[8] && keys.time_changed) l.gps_time = c->gps->decode(*layers[8]);
  pack_point14(l, record);
  c->last_time_changed = keys.time_changed;
  // Version 3 hands over the new channel on a switch and 0 otherwise; version 4 always the current one.
  if (version_ >= 4) return current_;
  return switched ? current_ : 0u;
}

// ---------------------------------------------------------------------------------------- encoding

struct Point14Encoder::Context : Point14State<IntegerCompressor, GpsTimeEncoder> {
  using Point14State::Point14State;
};

Point14Encoder::Point14Encoder(const std::uint8_t* raw_record, std::uint16_t version, LayerSet active)
    : version_(version), active_(active) {
  const Point14Fields seed = unpack_point14(raw_record);
  current_ = seed.channel;
  contexts_[current_] = std::make_unique<Context>(seed, active_);
}

Point14Encoder::~Point14Encoder() = default;

std::uint32_t Point14Encoder::encode(std::array<ArithmeticEncoder*, point14_layers> layers,
                                     const std::uint8_t* record) {
  ArithmeticEncoder& xy = *layers[0];
  const Point14Fields r = unpack_point14(record);
  Context* left = contexts_[current_].get();
  const std::uint32_t q = change_context(left->last, left->last_time_changed);
  // The mask's bits 0-5 compare with the context switched to, so switch (and seed) first.
  const bool switched = r.channel != current_;
  const std::uint32_t step = (r.channel + 3u - current_) & 3u;  // new = current + step + 1
  Context* c = left;
  if (switched) {
    if (!contexts_[r.channel]) contexts_[r.channel] = std::make_unique<Context>(left->last, active_);
    current_ = r.channel;
    c = contexts_[current_].get();
    c->last.channel = r.channel;
  }
  Point14Fields& l = c->last;
  PointKeys keys;
  keys.n = r.returns;
  keys.r = r.return_number;
  keys.source_changed = r.point_source != l.point_source;
  keys.time_changed = r.gps_time != l.gps_time;
  keys.angle_changed = r.scan_angle != l.scan_angle;
  std::uint32_t return_step = 3;
  if (keys.r == l.return_number) return_step = 0;
  else if (keys.r == ((l.return_number + 1u) & 15u)) return_step = 1;
  else if (keys.r == ((l.return_number + 15u) & 15u)) return_step = 2;
  const std::uint32_t mask = (switched ? 64u : 0u) | (keys.source_changed ? 32u : 0u) |
                             (keys.time_changed ? 16u : 0u) | (keys.angle_changed ? 8u : 0u) |
                             (keys.n != l.returns ? 4u : 0u) | return_step;
  xy.encode_symbol(left->change[q], mask);
  if (switched) xy.encode_symbol(left->channel, step);
  if (mask & 4u) xy.encode_symbol(c->returns[l.returns], keys.n);
  if (return_step == 3) {
    if (keys.time_changed) xy.encode_symbol(c->return_number[l.return_number], keys.r);
    else xy.encode_symbol(c->same_time, (keys.r + 14u - l.return_number) & 15u);  // never 13..15 here
  }
  l.returns = r.returns;
  l.return_number = r.return_number;
  derive_keys(keys);
  const std::uint32_t slot = 2u * return_map14[keys.n][keys.r] + (keys.time_changed ? 1u : 0u);
  const std::int32_t dx = wrap_sub32(r.x, l.x);
  c->ic_x.compress(xy, c->median_x[slot].get(), dx, keys.n == 1 ? 1u : 0u);
  c->median_x[slot].add(dx);
  const std::uint32_t kx = c->ic_x.last_k();
  const std::int32_t dy = wrap_sub32(r.y, l.y);
  c->ic_y.compress(xy, c->median_y[slot].get(), dy, y_context(keys.n, kx));
  c->median_y[slot].add(dy);
  keys.k_xy = (kx + c->ic_y.last_k()) >> 1;

  if (layers[1]) {
    c->ic_z->compress(*layers[1], c->heights[keys.level], r.z, z_context(keys));
    c->heights[keys.level] = r.z;
  }
  if (layers[2]) {
    const std::uint32_t j = 2u * (l.classification & 31u) + (keys.kind == 3 ? 1u : 0u);
    layers[2]->encode_symbol(c->classification[j], r.classification);
  }
  if (layers[3]) {
    const std::uint32_t old = 32u * l.edge + 16u * l.scan_direction + l.class_flags;
    layers[3]->encode_symbol(c->flags[old], 32u * r.edge + 16u * r.scan_direction + r.class_flags);
  }
  if (layers[4]) {
    const std::uint32_t j = 2u * keys.kind + (keys.time_changed ? 1u : 0u);
    c->ic_intensity->compress(*layers[4], c->intensities[j], r.intensity, keys.kind);
    c->intensities[j] = r.intensity;
  }
  if (layers[5] && keys.angle_changed)
    c->ic_scan_angle->compress(*layers[5], l.scan_angle, r.scan_angle, keys.time_changed ? 1u : 0u);
  if (layers[6]) layers[6]->encode_symbol(c->user_data[l.user_data / 4u], r.user_data);
  if (layers[7] && keys.source_changed) c->ic_point_source->compress(*layers[7], l.point_source, r.point_source, 0);
  if (layers[8] && keys.time_changed) c->gps->encode(*layers[8], r.gps_time);
  l = r;
  c->last_time_changed = keys.time_changed;
  if (version_ >= 4) return current_;
  return switched ? current_ : 0u;
}

}  // namespace ptdelta::laz
