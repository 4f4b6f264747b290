// little_endian.h - fixed-size header fields stored least significant byte first
// The PCD and LAS readers take their sizes, counts and scales with these, whatever the host's byte order.
#pragma once

#include <bit>
#include <cstdint>

#include "input/scalar_types.h"

namespace ptdelta {

inline std::uint16_t load_u16(const char* p) { return static_cast<std::uint16_t>(load_bits(p, 2, ByteOrder::little)); }
inline std::uint32_t load_u32(const char* p) { return static_cast<std::uint32_t>(load_bits(p, 4, ByteOrder::little)); }
inline std::uint64_t load_u64(const char* p) { return load_bits(p, 8, ByteOrder::little); }
inline double load_f64(const char* p) { return std::bit_cast<double>(load_u64(p)); }

}  // namespace ptdelta
