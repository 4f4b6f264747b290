#include "input/laz_channel_items.h"

#include <cstring>
#include <optional>

#include "input/laz_layered.h"
#include "input/little_endian.h"

namespace ptdelta::laz {

namespace {

std::uint32_t fold8(std::uint32_t v) { return v & 255u; }  // sums of two bytes only: v mod 256
std::int32_t clamp8(std::int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }
std::int32_t half(std::int32_t v) { return v / 2; }  // toward zero, as the colour rule wants

std::uint32_t get16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
void put_le(std::uint8_t* p, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}
std::uint64_t get_le(const std::uint8_t* p, std::size_t size) {
  return load_le(reinterpret_cast<const char*>(p), size);
}

// The wave packet item: descriptor index u8, offset u64, packet size u32, return point and
// x(t) y(t) z(t) as 32-bit patterns.
constexpr std::size_t wave_offset = 1, wave_size = 9, wave_return = 13, wave_xyz = 17;

}  // namespace

template <class IC>
struct WaveModels {
  SymbolModel index{256};
  std::vector<SymbolModel> kind = std::vector<SymbolModel>(4, SymbolModel(4));
  IC offset_diff{32, 1}, packet_size{32, 1}, return_point{32, 1}, xyz{32, 3};
  std::int32_t last_diff = 0;   // kept with the models, not with the memory
  std::uint32_t last_kind = 0;
};

template <class IC>
struct ChannelModels {
  std::optional<SymbolModel> first_mask;   // RGB byte mask (128) or, for BYTE14, unused
  std::vector<SymbolModel> first_bytes;    // RGB's six byte models, or BYTE14's n
  std::optional<SymbolModel> nir_mask;     // 4 symbols
  std::vector<SymbolModel> nir_bytes;      // two
  std::optional<WaveModels<IC>> wave;

  ChannelModels(std::uint16_t type, std::uint16_t size, std::span<const bool> active) {
    switch (type) {
      case item_rgb14:
      case item_rgbnir14:
        if (active[0]) {
          first_mask.emplace(128);
          first_bytes.assign(6, SymbolModel(256));
        }
        if (type == item_rgbnir14 && active[1]) {
          nir_mask.emplace(4);
          nir_bytes.assign(2, SymbolModel(256));
        }
        break;
      case item_wavepacket14:
        if (active[0]) wave.emplace();
        break;
      default: first_bytes.assign(size, SymbolModel(256)); break;
    }
  }
};

bool item_layer_differs(std::uint16_t type, std::size_t layer, const std::uint8_t* a, const std::uint8_t* b) {
  switch (type) {
    case item_rgb14: return std::memcmp(a, b, 6) != 0;
    case item_rgbnir14: return layer == 0 ? std::memcmp(a, b, 6) != 0 : std::memcmp(a + 6, b + 6, 2) != 0;
    case item_wavepacket14: return std::memcmp(a, b, 29) != 0;
    default: return a[layer] != b[layer];
  }
}

template <class IC, class Stream>
ChannelItem<IC, Stream>::ChannelItem(std::uint16_t type, std::uint16_t size, std::uint16_t version,
                                     const std::uint8_t* raw, std::uint32_t channel,
                                     std::span<Stream* const> layers)
    : type_(type), size_(size), version_(version), layers_(layers), current_(channel & 3u) {
  memory_[current_].assign(raw, raw + size);
  select(current_);  // seeds the first context's models
}

template <class IC, class Stream>
ChannelItem<IC, Stream>::ChannelItem(ChannelItem&&) noexcept = default;
template <class IC, class Stream>
ChannelItem<IC, Stream>::~ChannelItem() = default;

// The handover of 9.2: on a change of channel an unused context is seeded from the memory being
// left; a context already in use lends its memory only from version 4 on. In version 3 the first
// point after such a switch predicts from, and updates, the memory of the context being left.
template <class IC, class Stream>
typename ChannelItem<IC, Stream>::Selected ChannelItem<IC, Stream>::select(std::uint32_t channel) {
  std::uint8_t* memory = memory_[current_].data();
  if (!models_[channel]) {
    bool active[2] = {false, false};
    for (std::size_t j = 0; j < layers_.size() && j < 2; ++j) active[j] = layers_[j] != nullptr;
    if (type_ == item_byte14) active[0] = true;  // BYTE14's models are made for all its bytes at once
    if (channel != current_) memory_[channel].assign(memory, memory + size_);
    models_[channel] = std::make_unique<ChannelModels<IC>>(type_, size_, std::span<const bool>(active, 2));
    memory = memory_[channel].data();
  } else if (channel != current_ && version_ >= 4) {
    memory = memory_[channel].data();
  }
  current_ = channel;
  return {models_[channel].get(), memory};
}

template class ChannelItem<IntegerDecompressor, ArithmeticDecoder>;
template class ChannelItem<IntegerCompressor, ArithmeticEncoder>;

// ---------------------------------------------------------------------------------------- decoding

namespace {

// The colour rule of RGB12 v2, from the last colour `p` (three u16) into `p`.
void decode_rgb(ArithmeticDecoder& dec, ChannelModels<IntegerDecompressor>& m, std::uint8_t* p) {
  std::vector<SymbolModel>& b = m.first_bytes;
  const std::uint32_t mask = dec.decode_symbol(*m.first_mask);
  const std::int32_t lr_lo = p[0], lr_hi = p[1], lg_lo = p[2], lg_hi = p[3], lb_lo = p[4], lb_hi = p[5];
  const std::int32_t r_lo = (mask & 1u) ? static_cast<std::int32_t>(fold8(dec.decode_symbol(b[0]) + p[0])) : lr_lo;
  const std::int32_t r_hi = (mask & 2u) ? static_cast<std::int32_t>(fold8(dec.decode_symbol(b[1]) + p[1])) : lr_hi;
  if (mask & 64u) {
    std::int32_t d = r_lo - lr_lo;
    const std::int32_t g_lo = (mask & 4u) ? static_cast<std::int32_t>(fold8(
                                  dec.decode_symbol(b[2]) + static_cast<std::uint32_t>(clamp8(d + lg_lo))))
                                          : lg_lo;
    std::int32_t d2 = half(d + (g_lo - lg_lo));
    const std::int32_t b_lo = (mask & 16u) ? static_cast<std::int32_t>(fold8(
                                  dec.decode_symbol(b[4]) + static_cast<std::uint32_t>(clamp8(d2 + lb_lo))))
                                           : lb_lo;
    d = r_hi - lr_hi;
    const std::int32_t g_hi = (mask & 8u) ? static_cast<std::int32_t>(fold8(
                                  dec.decode_symbol(b[3]) + static_cast<std::uint32_t>(clamp8(d + lg_hi))))
                                          : lg_hi;
    d2 = half(d + (g_hi - lg_hi));
    const std::int32_t b_hi = (mask & 32u) ? static_cast<std::int32_t>(fold8(
                                  dec.decode_symbol(b[5]) + static_cast<std::uint32_t>(clamp8(d2 + lb_hi))))
                                           : lb_hi;
    const std::int32_t out[6] = {r_lo, r_hi, g_lo, g_hi, b_lo, b_hi};
    for (int i = 0; i < 6; ++i) p[i] = static_cast<std::uint8_t>(out[i]);
  } else {
    for (int i = 0; i < 6; i += 2) {
      p[i] = static_cast<std::uint8_t>(r_lo);
      p[i + 1] = static_cast<std::uint8_t>(r_hi);
    }
  }
}

void decode_nir(ArithmeticDecoder& dec, ChannelModels<IntegerDecompressor>& m, std::uint8_t* p) {
  const std::uint32_t mask = dec.decode_symbol(*m.nir_mask);
  if (mask & 1u) p[0] = static_cast<std::uint8_t>(fold8(dec.decode_symbol(m.nir_bytes[0]) + p[0]));
  if (mask & 2u) p[1] = static_cast<std::uint8_t>(fold8(dec.decode_symbol(m.nir_bytes[1]) + p[1]));
}

void decode_wave(ArithmeticDecoder& dec, WaveModels<IntegerDecompressor>& m, std::uint8_t* p) {
  p[0] = static_cast<std::uint8_t>(dec.decode_symbol(m.index));
  m.last_kind = dec.decode_symbol(m.kind[m.last_kind]);
  const std::uint64_t last_offset = get_le(p + wave_offset, 8);
  const std::uint32_t last_size = static_cast<std::uint32_t>(get_le(p + wave_size, 4));
  std::uint64_t offset = last_offset;
  if (m.last_kind == 1) {
    offset = last_offset + last_size;
  } else if (m.last_kind == 2) {
    m.last_diff = m.offset_diff.decompress(dec, m.last_diff);
    offset = last_offset + static_cast<std::uint64_t>(static_cast<std::int64_t>(m.last_diff));
  } else if (m.last_kind == 3) {
    offset = dec.read_u64();
  }
  put_le(p + wave_offset, offset, 8);
  const auto as_signed = [&](std::size_t at) { return static_cast<std::int32_t>(get_le(p + at, 4)); };
  put_le(p + wave_size, static_cast<std::uint32_t>(m.packet_size.decompress(dec, as_signed(wave_size))), 4);
  put_le(p + wave_return, static_cast<std::uint32_t>(m.return_point.decompress(dec, as_signed(wave_return))), 4);
  for (std::uint32_t c = 0; c < 3; ++c) {
    const std::size_t at = wave_xyz + 4 * c;
    put_le(p + at, static_cast<std::uint32_t>(m.xyz.decompress(dec, as_signed(at), c)), 4);
  }
}

}  // namespace

std::uint8_t* ChannelItemDecoder::decode(std::uint32_t channel, std::uint8_t* out) {
  const Selected s = select(channel);
  std::uint8_t* p = s.memory;
  switch (type_) {
    case item_rgb14:
    case item_rgbnir14:
      if (layers_[0]) decode_rgb(*layers_[0], *s.models, p);
      if (type_ == item_rgbnir14 && layers_[1]) decode_nir(*layers_[1], *s.models, p + 6);
      break;
    case item_wavepacket14:
      if (layers_[0]) decode_wave(*layers_[0], *s.models->wave, p);
      break;
    default:
      for (std::size_t i = 0; i < size_; ++i)
        if (layers_[i]) p[i] = static_cast<std::uint8_t>(fold8(p[i] + layers_[i]->decode_symbol(s.models->first_bytes[i])));
  }
  std::memcpy(out, p, size_);
  return out + size_;
}

// ---------------------------------------------------------------------------------------- encoding

namespace {

void encode_rgb(ArithmeticEncoder& enc, ChannelModels<IntegerCompressor>& m, std::uint8_t* p, const std::uint8_t* c) {
  std::vector<SymbolModel>& b = m.first_bytes;
  const bool grey = get16(c + 2) == get16(c) && get16(c + 4) == get16(c);
  std::uint32_t mask = (c[0] != p[0] ? 1u : 0u) | (c[1] != p[1] ? 2u : 0u);
  if (!grey)
    mask |= 64u | (c[2] != p[2] ? 4u : 0u) | (c[3] != p[3] ? 8u : 0u) | (c[4] != p[4] ? 16u : 0u) |
            (c[5] != p[5] ? 32u : 0u);
  enc.encode_symbol(*m.first_mask, mask);
  const auto diff = [](std::int32_t value, std::int32_t prediction) {
    return static_cast<std::uint32_t>(value - prediction) & 255u;
  };
  if (mask & 1u) enc.encode_symbol(b[0], diff(c[0], p[0]));
  if (mask & 2u) enc.encode_symbol(b[1], diff(c[1], p[1]));
  if (mask & 64u) {
    std::int32_t d = c[0] - p[0];
    if (mask & 4u) enc.encode_symbol(b[2], diff(c[2], clamp8(d + p[2])));
    std::int32_t d2 = half(d + (c[2] - p[2]));
    if (mask & 16u) enc.encode_symbol(b[4], diff(c[4], clamp8(d2 + p[4])));
    d = c[1] - p[1];
    if (mask & 8u) enc.encode_symbol(b[3], diff(c[3], clamp8(d + p[3])));
    d2 = half(d + (c[3] - p[3]));
    if (mask & 32u) enc.encode_symbol(b[5], diff(c[5], clamp8(d2 + p[5])));
  }
  std::memcpy(p, c, 6);
}

void encode_nir(ArithmeticEncoder& enc, ChannelModels<IntegerCompressor>& m, std::uint8_t* p, const std::uint8_t* c) {
  const std::uint32_t mask = (c[0] != p[0] ? 1u : 0u) | (c[1] != p[1] ? 2u : 0u);
  enc.encode_symbol(*m.nir_mask, mask);
  for (std::size_t i = 0; i < 2; ++i)
    if (mask & (1u << i)) enc.encode_symbol(m.nir_bytes[i], static_cast<std::uint32_t>(c[i] - p[i]) & 255u);
  std::memcpy(p, c, 2);
}

void encode_wave(ArithmeticEncoder& enc, WaveModels<IntegerCompressor>& m, std::uint8_t* p, const std::uint8_t* c) {
  enc.encode_symbol(m.index, c[0]);
  const std::uint64_t last_offset = get_le(p + wave_offset, 8), offset = get_le(c + wave_offset, 8);
  const std::uint32_t last_size = static_cast<std::uint32_t>(get_le(p + wave_size, 4));
  const std::uint64_t diff = offset - last_offset;
  const auto diff_signed = static_cast<std::int64_t>(diff);
  std::uint32_t kind = 3;
  if (offset == last_offset) kind = 0;
  else if (offset == last_offset + last_size) kind = 1;
  else if (diff_signed >= INT32_MIN && diff_signed <= INT32_MAX) kind = 2;
  enc.encode_symbol(m.kind[m.last_kind], kind);
  m.last_kind = kind;
  if (kind == 2) {
    const auto d = static_cast<std::int32_t>(diff_signed);
    m.offset_diff.compress(enc, m.last_diff, d);
    m.last_diff = d;
  } else if (kind == 3) {
    enc.write_u64(offset);
  }
  const auto as_signed = [](const std::uint8_t* q, std::size_t at) { return static_cast<std::int32_t>(get_le(q + at, 4)); };
  m.packet_size.compress(enc, as_signed(p, wave_size), as_signed(c, wave_size));
  m.return_point.compress(enc, as_signed(p, wave_return), as_signed(c, wave_return));
  for (std::uint32_t k = 0; k < 3; ++k) {
    const std::size_t at = wave_xyz + 4 * k;
    m.xyz.compress(enc, as_signed(p, at), as_signed(c, at), k);
  }
  std::memcpy(p, c, 29);
}

}  // namespace

const std::uint8_t* ChannelItemEncoder::encode(std::uint32_t channel, const std::uint8_t* in) {
  const Selected s = select(channel);
  std::uint8_t* p = s.memory;
  switch (type_) {
    case item_rgb14:
    case item_rgbnir14:
      if (layers_[0]) encode_rgb(*layers_[0], *s.models, p, in);
      if (type_ == item_rgbnir14 && layers_[1]) encode_nir(*layers_[1], *s.models, p + 6, in + 6);
      break;
    case item_wavepacket14:
      if (layers_[0]) encode_wave(*layers_[0], *s.models->wave, p, in);
      break;
    default:
      for (std::size_t i = 0; i < size_; ++i) {
        if (!layers_[i]) continue;
        layers_[i]->encode_symbol(s.models->first_bytes[i], static_cast<std::uint32_t>(in[i] - p[i]) & 255u);
        p[i] = in[i];
      }
  }
  return in + size_;
}

}  // namespace ptdelta::laz
