#include "input/laz_point10.h"

#include <algorithm>

namespace ptdelta::laz {

Point10 Point10::load(const std::uint8_t* p) {
  Point10 r;
  r.x = static_cast<std::int32_t>(get32(p));
  r.y = static_cast<std::int32_t>(get32(p + 4));
  r.z = static_cast<std::int32_t>(get32(p + 8));
  r.intensity = get16(p + 12);
  r.flags = p[14];
  r.classification = p[15];
  r.scan_angle = p[16];
  r.user_data = p[17];
  r.point_source = get16(p + 18);
  return r;
}

void Point10::store(std::uint8_t* p) const {
  put32(p, static_cast<std::uint32_t>(x));
  put32(p + 4, static_cast<std::uint32_t>(y));
  put32(p + 8, static_cast<std::uint32_t>(z));
  put16(p + 12, intensity);
  p[14] = static_cast<std::uint8_t>(flags);
  p[15] = static_cast<std::uint8_t>(classification);
  p[16] = static_cast<std::uint8_t>(scan_angle);
  p[17] = static_cast<std::uint8_t>(user_data);
  put16(p + 18, point_source);
}

namespace {

// The bits of the change mask: which fields differ from the last point (version 1 order).
constexpr std::uint32_t v1_intensity = 32, v1_flags = 16, v1_class = 8, v1_angle = 4, v1_user = 2, v1_source = 1;
// Version 2 order: the flag byte first, so that the return map is known for the intensity.
constexpr std::uint32_t v2_flags = 32, v2_intensity = 16, v2_class = 8, v2_angle = 4, v2_user = 2, v2_source = 1;

std::uint32_t u16_of(std::int32_t v) { return static_cast<std::uint32_t>(v) & 0xFFFFU; }
std::int32_t as_i32(std::uint32_t v) { return static_cast<std::int32_t>(v); }

// Context of the y difference and of z from the x (and y) corrector bit lengths.
std::uint32_t y_context_v2(std::uint32_t n, std::uint32_t kx) { return (n == 1 ? 1U : 0U) + (kx < 20 ? kx & ~1U : 20U); }
std::uint32_t z_context_v2(std::uint32_t n, std::uint32_t k) { return (n == 1 ? 1U : 0U) + (k < 18 ? k & ~1U : 18U); }

}  // namespace

// ---- version 1 ----

Point10V1Decoder::Point10V1Decoder(const std::uint8_t* first) { mem_.last = Point10::load(first); }

void Point10V1Decoder::decode(ArithmeticDecoder& dec, std::uint8_t* out) {
  Point10& p = mem_.last;
  const std::int32_t dx = m_.x.decompress(dec, median3(mem_.dx[0], mem_.dx[1], mem_.dx[2]), 0);
  p.x = wrap_add32(p.x, dx);
  const std::uint32_t kx = m_.x.last_k();
  const std::int32_t dy = m_.y.decompress(dec, median3(mem_.dy[0], mem_.dy[1], mem_.dy[2]), std::min(kx, 19U));
  p.y = wrap_add32(p.y, dy);
  const std::uint32_t k = (kx + m_.y.last_k()) >> 1;
  p.z = m_.z.decompress(dec, p.z, std::min(k, 19U));
  const std::uint32_t mask = dec.decode_symbol(m_.mask);
  if (mask & v1_intensity) p.intensity = u16_of(m_.intensity.decompress(dec, as_i32(p.intensity)));
  if (mask & v1_flags) p.flags = dec.decode_symbol(m_.flags[p.flags]);
  if (mask & v1_class) p.classification = dec.decode_symbol(m_.classification[p.classification]);
  if (mask & v1_angle) {
    p.scan_angle = static_cast<std::uint32_t>(m_.scan_angle.decompress(dec, as_i32(p.scan_angle), k < 3 ? 1 : 0U)) & 0xFFU;
  }
  if (mask & v1_user) p.user_data = dec.decode_symbol(m_.user_data[p.user_data]);
  if (mask & v1_source) p.point_source = u16_of(m_.point_source.decompress(dec, as_i32(p.point_source)));
  mem_.dx[mem_.ring] = dx;
  mem_.dy[mem_.ring] = dy;
  mem_.ring = mem_.ring == 2 ? 0 : mem_.ring + 1;
  p.store(out);
}

Point10V1Encoder::Point10V1Encoder(const std::uint8_t* first) { mem_.last = Point10::load(first); }

void Point10V1Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  const Point10 n = Point10::load(item);
  Point10& p = mem_.last;
  const std::int32_t dx = wrap_sub32(n.x, p.x), dy = wrap_sub32(n.y, p.y);
  m_.x.compress(enc, median3(mem_.dx[0], mem_.dx[1], mem_.dx[2]), dx, 0);
  const std::uint32_t kx = m_.x.last_k();
  m_.y.compress(enc, median3(mem_.dy[0], mem_.dy[1], mem_.dy[2]), dy, std::min(kx, 19U));
  const std::uint32_t k = (kx + m_.y.last_k()) >> 1;
  m_.z.compress(enc, p.z, n.z, std::min(k, 19U));
  const std::uint32_t mask = (n.intensity != p.intensity ? v1_intensity : 0U) | (n.flags != p.flags ? v1_flags : 0U) |
                             (n.classification != p.classification ? v1_class : 0U) |
                             (n.scan_angle != p.scan_angle ? v1_angle : 0U) | (n.user_data != p.user_data ? v1_user : 0U) |
                             (n.point_source != p.point_source ? v1_source : 0U);
  enc.encode_symbol(m_.mask, mask);
  if (mask & v1_intensity) m_.intensity.compress(enc, as_i32(p.intensity), as_i32(n.intensity));
  if (mask & v1_flags) enc.encode_symbol(m_.flags[p.flags], n.flags);
  if (mask & v1_class) enc.encode_symbol(m_.classification[p.classification], n.classification);
  if (mask & v1_angle) m_.scan_angle.compress(enc, as_i32(p.scan_angle), as_i32(n.scan_angle), k < 3 ? 1 : 0U);
  if (mask & v1_user) enc.encode_symbol(m_.user_data[p.user_data], n.user_data);
  if (mask & v1_source) m_.point_source.compress(enc, as_i32(p.point_source), as_i32(n.point_source));
  mem_.dx[mem_.ring] = dx;
  mem_.dy[mem_.ring] = dy;
  mem_.ring = mem_.ring == 2 ? 0 : mem_.ring + 1;
  p = n;
}

// ---- version 2 ----

Point10V2Decoder::Point10V2Decoder(const std::uint8_t* first) {
  mem_.last = Point10::load(first);
  mem_.last.intensity = 0;
}

void Point10V2Decoder::decode(ArithmeticDecoder& stream, std::uint8_t* out) {
  ArithmeticDecoder dec = stream;  // a local copy stays in registers (see ArithmeticDecoder)
  Point10& p = mem_.last;
  const std::uint32_t mask = dec.decode_symbol(m_.mask);
  if (mask & v2_flags) p.flags = dec.decode_symbol(m_.flags[p.flags]);
  const std::uint32_t r = p.flags & 7, n = (p.flags >> 3) & 7;
  const std::uint32_t m = return_map10[n][r], l = return_level10(n, r);
  // An unchanged intensity is the slot's, not the last point's.
  if (mask & v2_intensity) {
    mem_.intensity[m] = u16_of(m_.intensity.decompress(dec, as_i32(mem_.intensity[m]), std::min(m, 3U)));
  }
  p.intensity = mem_.intensity[m];
  if (mask & v2_class) p.classification = dec.decode_symbol(m_.classification[p.classification]);
  if (mask & v2_angle) p.scan_angle = fold8(dec.decode_symbol(m_.scan_angle[(p.flags >> 6) & 1]), p.scan_angle);
  if (mask & v2_user) p.user_data = dec.decode_symbol(m_.user_data[p.user_data]);
  if (mask & v2_source) p.point_source = u16_of(m_.point_source.decompress(dec, as_i32(p.point_source)));
  const std::uint32_t single = n == 1 ? 1 : 0;
  const std::int32_t dx = m_.x.decompress(dec, mem_.x_median[m].get(), single);
  p.x = wrap_add32(p.x, dx);
  mem_.x_median[m].add(dx);
  const std::uint32_t kx = m_.x.last_k();
  const std::int32_t dy = m_.y.decompress(dec, mem_.y_median[m].get(), y_context_v2(n, kx));
  p.y = wrap_add32(p.y, dy);
  mem_.y_median[m].add(dy);
  const std::uint32_t k = (kx + m_.y.last_k()) >> 1;
  p.z = m_.z.decompress(dec, mem_.height[l], z_context_v2(n, k));
  mem_.height[l] = p.z;
  p.store(out);
  stream = dec;
}

Point10V2Encoder::Point10V2Encoder(const std::uint8_t* first) {
  mem_.last = Point10::load(first);
  mem_.last.intensity = 0;
}

void Point10V2Encoder::encode(ArithmeticEncoder& enc, const std::uint8_t* item) {
  const Point10 c = Point10::load(item);
  Point10& p = mem_.last;
  const std::uint32_t r = c.flags & 7, n = (c.flags >> 3) & 7;
  const std::uint32_t m = return_map10[n][r], l = return_level10(n, r);
  const std::uint32_t mask = (c.flags != p.flags ? v2_flags : 0U) | (c.intensity != mem_.intensity[m] ? v2_intensity : 0U) |
                             (c.classification != p.classification ? v2_class : 0U) |
                             (c.scan_angle != p.scan_angle ? v2_angle : 0U) | (c.user_data != p.user_data ? v2_user : 0U) |
                             (c.point_source != p.point_source ? v2_source : 0U);
  enc.encode_symbol(m_.mask, mask);
  if (mask & v2_flags) enc.encode_symbol(m_.flags[p.flags], c.flags);
  if (mask & v2_intensity) {
    m_.intensity.compress(enc, as_i32(mem_.intensity[m]), as_i32(c.intensity), std::min(m, 3U));
    mem_.intensity[m] = c.intensity;
  }
  if (mask & v2_class) enc.encode_symbol(m_.classification[p.classification], c.classification);
  if (mask & v2_angle) enc.encode_symbol(m_.scan_angle[(c.flags >> 6) & 1], (c.scan_angle - p.scan_angle) & 0xFFU);
  if (mask & v2_user) enc.encode_symbol(m_.user_data[p.user_data], c.user_data);
  if (mask & v2_source) m_.point_source.compress(enc, as_i32(p.point_source), as_i32(c.point_source));
  const std::uint32_t single = n == 1 ? 1 : 0;
  const std::int32_t dx = wrap_sub32(c.x, p.x), dy = wrap_sub32(c.y, p.y);
  m_.x.compress(enc, mem_.x_median[m].get(), dx, single);
  mem_.x_median[m].add(dx);
  const std::uint32_t kx = m_.x.last_k();
  m_.y.compress(enc, mem_.y_median[m].get(), dy, y_context_v2(n, kx));
  mem_.y_median[m].add(dy);
  const std::uint32_t k = (kx + m_.y.last_k()) >> 1;
  m_.z.compress(enc, mem_.height[l], c.z, z_context_v2(n, k));
  mem_.height[l] = c.z;
  p = c;
}

}  // namespace ptdelta::laz
