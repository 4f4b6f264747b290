// little_endian.h - fixed-size numbers stored least significant byte first
// The binary PCD and LAS readers decode their records with these, whatever the host's byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace ptdelta {

// The `size` (at most 8) bytes at `p` as an unsigned number.
inline std::uint64_t load_le(const char* p, std::size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  std::uint64_t bits = 0;
  for (std::size_t i = size; i-- > 0;) bits = (bits << 8) | b[i];
  return bits;
}

inline std::uint16_t load_u16(const char* p) { return static_cast<std::uint16_t>(load_le(p, 2)); }
inline std::uint32_t load_u32(const char* p) { return static_cast<std::uint32_t>(load_le(p, 4)); }
inline std::uint64_t load_u64(const char* p) { return load_le(p, 8); }
inline std::int32_t load_i32(const char* p) { return static_cast<std::int32_t>(load_u32(p)); }
inline double load_f64(const char* p) { return std::bit_cast<double>(load_u64(p)); }
inline float load_f32(const char* p) { return std::bit_cast<float>(load_u32(p)); }

}  // namespace ptdelta
