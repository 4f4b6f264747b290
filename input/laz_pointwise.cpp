#include "input/laz_pointwise.h"

#include <cstring>
#include <variant>

namespace ptdelta::laz {

namespace {

bool fits32(std::uint64_t wide) {
  const auto d = static_cast<std::int64_t>(wide);
  return d >= INT32_MIN && d <= INT32_MAX;
}

std::int32_t times32(std::uint32_t factor, std::int32_t step) {
  return static_cast<std::int32_t>(factor * static_cast<std::uint32_t>(step));
}

std::uint64_t plus_diff(std::uint64_t t, std::int32_t d) {
  return t + static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
}

// Version 1 step codes: the context of code s (1 .. 509) and whether it counts as an outlier.
std::uint32_t v1_step_context(std::uint32_t s) { return s == 0 ? 2 : s == 1 ? 1 : s < 10 ? 3 : s < 50 ? 4 : 5; }

}  // namespace

// ---- GPSTIME11 v1 ----

void GpsTime11V1Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  GpsTime11V1Memory& g = mem_;
  if (g.step == 0) {
    const std::uint32_t s = dec.decode_symbol(m_.restarts);
    if (s == 1) {
      g.step = m_.time.decompress(dec, 0, 0);
      g.time = plus_diff(g.time, g.step);
    } else if (s == 2) {
      g.time = dec.read_u64();
    }
  } else {
    const std::uint32_t s = dec.decode_symbol(m_.steps);
    if (s <= 509) {
      const std::int32_t pred = s == 0 ? g.step / 4 : s == 1 ? g.step : times32(s, g.step);
      const std::int32_t d = m_.time.decompress(dec, pred, v1_step_context(s));
      if (s == 1) {
        g.step = d;
        g.outliers = 0;
      } else if ((s == 0 || s == 509) && ++g.outliers > 3) {
        g.step = d;
        g.outliers = 0;
      }
      g.time = plus_diff(g.time, d);
    } else if (s == 510) {
      g.time = dec.read_u64();
    }
  }
  put64(out, g.time);
}

void GpsTime11V1Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  GpsTime11V1Memory& g = mem_;
  const std::uint64_t t = get64(item);
  const std::uint64_t wide = t - g.time;
  const auto diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(wide));
  if (g.step == 0) {
    if (wide == 0) {
      enc.encode_symbol(m_.restarts, 0);
    } else if (fits32(wide)) {
      enc.encode_symbol(m_.restarts, 1);
      m_.time.compress(enc, 0, diff, 0);
      g.step = diff;
    } else {
      enc.encode_symbol(m_.restarts, 2);
      enc.write_u64(t);
    }
    g.time = t;
    return;
  }
  if (wide == 0) {
    enc.encode_symbol(m_.steps, 511);
  } else if (!fits32(wide)) {
    enc.encode_symbol(m_.steps, 510);
    enc.write_u64(t);
  } else {
    // The multiple of the regular step nearest below the difference picks the code.
    const std::int64_t m = std::int64_t{diff} / std::int64_t{g.step};
    const std::uint32_t s = m <= 0 ? 0 : m >= 509 ? 509 : static_cast<std::uint32_t>(m);
    const std::int32_t pred = s == 0 ? g.step / 4 : s == 1 ? g.step : times32(s, g.step);
    enc.encode_symbol(m_.steps, s);
    m_.time.compress(enc, pred, diff, v1_step_context(s));
    if (s == 1) {
      g.step = diff;
      g.outliers = 0;
    } else if ((s == 0 || s == 509) && ++g.outliers > 3) {
      g.step = diff;
      g.outliers = 0;
    }
  }
  g.time = t;
}

// ---- RGB12 v1 ----

Rgb12V1Decoder::Rgb12V1Decoder(const std::uint8_t* first) { std::memcpy(last_, first, 6); }

void Rgb12V1Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  const std::uint32_t mask = dec.decode_symbol(mask_);
  for (std::uint32_t j = 0; j < 6; ++j) {
    if ((mask >> j) & 1) last_[j] = static_cast<std::uint8_t>(bytes_.decompress(dec, last_[j], j));
  }
  std::memcpy(out, last_, 6);
}

Rgb12V1Encoder::Rgb12V1Encoder(const std::uint8_t* first) { std::memcpy(last_, first, 6); }

void Rgb12V1Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  std::uint32_t mask = 0;
  for (std::uint32_t j = 0; j < 6; ++j) mask |= item[j] != last_[j] ? 1U << j : 0U;
  enc.encode_symbol(mask_, mask);
  for (std::uint32_t j = 0; j < 6; ++j) {
    if ((mask >> j) & 1) bytes_.compress(enc, last_[j], item[j], j);
  }
  std::memcpy(last_, item, 6);
}

// ---- RGB12 v2 ----

// Byte j of the colour: 0 red low, 1 red high, 2 green low, 3 green high, 4 blue low, 5 blue high.
void decode_rgb_v2(ArithmeticDecoder& dec, Rgb12V2Models& m, std::uint8_t* last) {
  const std::uint32_t mask = dec.decode_symbol(m.mask);
  std::uint8_t c[6];
  c[0] = (mask & 1) ? fold8(dec.decode_symbol(m.bytes[0]), last[0]) : last[0];
  c[1] = (mask & 2) ? fold8(dec.decode_symbol(m.bytes[1]), last[1]) : last[1];
  if (mask & 64) {
    // Per byte half (low, then high): green follows red's change, blue the mean of both changes.
    for (std::uint32_t h = 0; h < 2; ++h) {
      const std::int32_t d = std::int32_t{c[h]} - std::int32_t{last[h]};
      c[2 + h] = (mask & (4U << h)) ? fold8(dec.decode_symbol(m.bytes[2 + h]), clamp8(d + last[2 + h])) : last[2 + h];
      const std::int32_t d2 = half(d + (std::int32_t{c[2 + h]} - std::int32_t{last[2 + h]}));
      c[4 + h] = (mask & (16U << h)) ? fold8(dec.decode_symbol(m.bytes[4 + h]), clamp8(d2 + last[4 + h])) : last[4 + h];
    }
  } else {
    c[2] = c[4] = c[0];
    c[3] = c[5] = c[1];
  }
  std::memcpy(last, c, 6);
}

void encode_rgb_v2(ArithmeticEncoder& enc, Rgb12V2Models& m, std::uint8_t* last, const std::uint8_t* c) {
  const bool grey = c[0] == c[2] && c[0] == c[4] && c[1] == c[3] && c[1] == c[5];
  std::uint32_t mask = (c[0] != last[0] ? 1U : 0U) | (c[1] != last[1] ? 2U : 0U);
  if (!grey) {
    mask |= 64;
    for (std::uint32_t j = 2; j < 6; ++j) mask |= c[j] != last[j] ? 1U << j : 0U;
  }
  enc.encode_symbol(m.mask, mask);
  if (mask & 1) enc.encode_symbol(m.bytes[0], (c[0] - last[0]) & 0xFFU);
  if (mask & 2) enc.encode_symbol(m.bytes[1], (c[1] - last[1]) & 0xFFU);
  if (!grey) {
    for (std::uint32_t h = 0; h < 2; ++h) {
      const std::int32_t d = std::int32_t{c[h]} - std::int32_t{last[h]};
      if (mask & (4U << h)) enc.encode_symbol(m.bytes[2 + h], (c[2 + h] - clamp8(d + last[2 + h])) & 0xFFU);
      const std::int32_t d2 = half(d + (std::int32_t{c[2 + h]} - std::int32_t{last[2 + h]}));
      if (mask & (16U << h)) enc.encode_symbol(m.bytes[4 + h], (c[4 + h] - clamp8(d2 + last[4 + h])) & 0xFFU);
    }
  }
  std::memcpy(last, c, 6);
}

Rgb12V2Decoder::Rgb12V2Decoder(const std::uint8_t* first) { std::memcpy(last_, first, 6); }

void Rgb12V2Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  decode_rgb_v2(dec, m_, last_);
  std::memcpy(out, last_, 6);
}

Rgb12V2Encoder::Rgb12V2Encoder(const std::uint8_t* first) { std::memcpy(last_, first, 6); }

void Rgb12V2Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) { encode_rgb_v2(enc, m_, last_, item); }

// ---- BYTE v1 and v2 ----

ByteV1Decoder::ByteV1Decoder(const std::uint8_t* first, std::uint32_t n) : ic_(8, n), last_(first, first + n) {}

void ByteV1Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < last_.size(); ++i) {
    last_[i] = static_cast<std::uint8_t>(ic_.decompress(dec, last_[i], i));
  }
  std::memcpy(out, last_.data(), last_.size());
}

ByteV1Encoder::ByteV1Encoder(const std::uint8_t* first, std::uint32_t n) : ic_(8, n), last_(first, first + n) {}

void ByteV1Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  for (std::uint32_t i = 0; i < last_.size(); ++i) ic_.compress(enc, last_[i], item[i], i);
  std::memcpy(last_.data(), item, last_.size());
}

ByteV2Decoder::ByteV2Decoder(const std::uint8_t* first, std::uint32_t n) : models_(n, 256), last_(first, first + n) {}

void ByteV2Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < last_.size(); ++i) last_[i] = fold8(last_[i], dec.decode_symbol(models_[i]));
  std::memcpy(out, last_.data(), last_.size());
}

ByteV2Encoder::ByteV2Encoder(const std::uint8_t* first, std::uint32_t n) : models_(n, 256), last_(first, first + n) {}

void ByteV2Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  for (std::uint32_t i = 0; i < last_.size(); ++i) enc.encode_symbol(models_[i], (item[i] - last_[i]) & 0xFFU);
  std::memcpy(last_.data(), item, last_.size());
}

// ---- WAVEPACKET13 v1 ----

namespace {

// Offsets inside the packet: index 0, offset 1, size 9, return point 13, x y z(t) 17, 21, 25.
std::int32_t field32(const std::uint8_t* p, std::size_t at) { return static_cast<std::int32_t>(get32(p + at)); }

}  // namespace

void decode_wave_packet(ArithmeticDecoder& dec, WavePacketModels<IntegerDecompressor>& m, std::uint8_t* last) {
  last[0] = static_cast<std::uint8_t>(dec.decode_symbol(m.index));
  m.kind = dec.decode_symbol(m.kinds[m.kind]);
  const std::uint64_t offset = get64(last + 1);
  if (m.kind == 1) {
    put64(last + 1, offset + get32(last + 9));
  } else if (m.kind == 2) {
    m.offset_diff = m.offset.decompress(dec, m.offset_diff);
    put64(last + 1, plus_diff(offset, m.offset_diff));
  } else if (m.kind == 3) {
    put64(last + 1, dec.read_u64());
  }
  put32(last + 9, static_cast<std::uint32_t>(m.size.decompress(dec, field32(last, 9))));
  put32(last + 13, static_cast<std::uint32_t>(m.return_point.decompress(dec, field32(last, 13))));
  for (std::uint32_t i = 0; i < 3; ++i) {
    put32(last + 17 + 4 * i, static_cast<std::uint32_t>(m.xyz.decompress(dec, field32(last, 17 + 4 * i), i)));
  }
}

void encode_wave_packet(ArithmeticEncoder& enc, WavePacketModels<IntegerCompressor>& m, std::uint8_t* last,
                        const std::uint8_t* item) {
  enc.encode_symbol(m.index, item[0]);
  const std::uint64_t offset = get64(last + 1), target = get64(item + 1);
  const std::uint32_t kind = target == offset ? 0 : target == offset + get32(last + 9) ? 1 : fits32(target - offset) ? 2 : 3;
  enc.encode_symbol(m.kinds[m.kind], kind);
  m.kind = kind;
  if (kind == 2) {
    const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(target - offset));
    m.offset.compress(enc, m.offset_diff, d);
    m.offset_diff = d;
  } else if (kind == 3) {
    enc.write_u64(target);
  }
  m.size.compress(enc, field32(last, 9), field32(item, 9));
  m.return_point.compress(enc, field32(last, 13), field32(item, 13));
  for (std::uint32_t i = 0; i < 3; ++i) m.xyz.compress(enc, field32(last, 17 + 4 * i), field32(item, 17 + 4 * i), i);
  std::memcpy(last, item, 29);
}

WavePacket13Decoder::WavePacket13Decoder(const std::uint8_t* first) { std::memcpy(last_, first, 29); }

void WavePacket13Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  decode_wave_packet(dec, m_, last_);
  std::memcpy(out, last_, 29);
}

WavePacket13Encoder::WavePacket13Encoder(const std::uint8_t* first) { std::memcpy(last_, first, 29); }

void WavePacket13Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  encode_wave_packet(enc, m_, last_, item);
}

// ---- the pointwise chunk ----

namespace {

bool supported(const ItemSpec& it) {
  const bool v12 = it.version == 1 || it.version == 2;
  switch (it.type) {
    case item_byte: return v12 && it.size >= 1;
    case item_point10: return v12 && it.size == 20;
    case item_gpstime11: return v12 && it.size == 8;
    case item_rgb12: return v12 && it.size == 6;
    case item_wavepacket13: return it.version == 1 && it.size == 29;
    default: return false;
  }
}

using ItemDecoder = std::variant<Point10V1Decoder, Point10V2Decoder, GpsTime11V1Decoder, GpsTime11V2Decoder,
                                 Rgb12V1Decoder, Rgb12V2Decoder, ByteV1Decoder, ByteV2Decoder, WavePacket13Decoder>;
using ItemEncoder = std::variant<Point10V1Encoder, Point10V2Encoder, GpsTime11V1Encoder, GpsTime11V2Encoder,
                                 Rgb12V1Encoder, Rgb12V2Encoder, ByteV1Encoder, ByteV2Encoder, WavePacket13Encoder>;

// The item coders of one chunk, each seeded from its bytes of the raw first record. Both
// directions pick the same alternative for the same (type, version).
template <class Coders, class P10V1, class P10V2, class G1, class G2, class C1, class C2, class B1, class B2, class W>
void make_coders(std::span<const ItemSpec> items, const std::uint8_t* first, std::vector<Coders>& coders) {
  coders.reserve(items.size());
  for (const ItemSpec& it : items) {
    const bool v1 = it.version == 1;
    switch (it.type) {
      case item_point10:
        v1 ? coders.emplace_back(std::in_place_type<P10V1>, first) : coders.emplace_back(std::in_place_type<P10V2>, first);
        break;
      case item_gpstime11:
        v1 ? coders.emplace_back(std::in_place_type<G1>, first) : coders.emplace_back(std::in_place_type<G2>, first);
        break;
      case item_rgb12:
        v1 ? coders.emplace_back(std::in_place_type<C1>, first) : coders.emplace_back(std::in_place_type<C2>, first);
        break;
      case item_wavepacket13: coders.emplace_back(std::in_place_type<W>, first); break;
      default:
        v1 ? coders.emplace_back(std::in_place_type<B1>, first, std::uint32_t{it.size})
           : coders.emplace_back(std::in_place_type<B2>, first, std::uint32_t{it.size});
        break;
    }
    first += it.size;
  }
}

}  // namespace

bool pointwise_items_supported(std::span<const ItemSpec> items) {
  if (items.empty()) return false;
  for (const ItemSpec& it : items) {
    if (!supported(it)) return false;
  }
  return true;
}

std::size_t record_length(std::span<const ItemSpec> items) {
  std::size_t n = 0;
  for (const ItemSpec& it : items) n += it.size;
  return n;
}

ChunkDecodeResult decode_pointwise_chunk(std::span<const ItemSpec> items, const std::uint8_t* data, std::size_t size,
                                         std::uint64_t points, std::uint8_t* records) {
  ChunkDecodeResult r;
  if (!pointwise_items_supported(items)) {
    r.status = ChunkStatus::unsupported_items;
    return r;
  }
  if (points == 0) return r;
  const std::size_t length = record_length(items);
  if (size < length) {
    r.status = ChunkStatus::truncated;
    return r;
  }
  std::memcpy(records, data, length);
  std::vector<ItemDecoder> coders;
  make_coders<ItemDecoder, Point10V1Decoder, Point10V2Decoder, GpsTime11V1Decoder, GpsTime11V2Decoder, Rgb12V1Decoder,
              Rgb12V2Decoder, ByteV1Decoder, ByteV2Decoder, WavePacket13Decoder>(items, data, coders);
  // The stream starts right after the raw record, even for a single point (its four bytes).
  ArithmeticDecoder dec(data + length, size - length);
  std::uint8_t* out = records + length;
  for (std::uint64_t i = 1; i < points && !dec.overrun(); ++i) {
    std::size_t at = 0;
    for (std::size_t j = 0; j < coders.size(); ++j) {
      std::visit([&](auto& c) { c.decode(dec, out + at); }, coders[j]);
      at += items[j].size;
    }
    out += length;
  }
  r.consumed = length + dec.consumed();
  if (dec.overrun()) r.status = ChunkStatus::overrun;
  return r;
}

void encode_pointwise_chunk(std::span<const ItemSpec> items, const std::uint8_t* records, std::uint64_t points,
                            std::vector<std::uint8_t>& out) {
  if (points == 0 || !pointwise_items_supported(items)) return;
  const std::size_t length = record_length(items);
  out.insert(out.end(), records, records + length);
  std::vector<ItemEncoder> coders;
  make_coders<ItemEncoder, Point10V1Encoder, Point10V2Encoder, GpsTime11V1Encoder, GpsTime11V2Encoder, Rgb12V1Encoder,
              Rgb12V2Encoder, ByteV1Encoder, ByteV2Encoder, WavePacket13Encoder>(items, records, coders);
  ArithmeticEncoder enc;
  const std::uint8_t* in = records + length;
  for (std::uint64_t i = 1; i < points; ++i) {
    std::size_t at = 0;
    for (std::size_t j = 0; j < coders.size(); ++j) {
      std::visit([&](auto& c) { c.encode(enc, in + at); }, coders[j]);
      at += items[j].size;
    }
    in += length;
  }
  const std::vector<std::uint8_t> stream = enc.finish();
  out.insert(out.end(), stream.begin(), stream.end());
}

}  // namespace ptdelta::laz
