// scalar_types.h - the binary scalar types of PLY, PCD and LAS records, in one table
// Each type's PLY names, size, signedness and kind; one decode of its bytes to double and one to a count.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace ptdelta {

enum class ScalarType : std::uint8_t { int8, uint8, int16, uint16, int32, uint32, int64, uint64, float32, float64 };

enum class ByteOrder : std::uint8_t { little, big };

struct ScalarFacts {
  ScalarType type;
  std::size_t size;            // bytes of one value
  bool is_signed;              // the floating types too
  bool is_integer;
  std::string_view ply_names[2];  // empty for the 64-bit integers, which PLY does not have
};

// In the order of ScalarType: scalar_table[t] describes t.
inline constexpr ScalarFacts scalar_table[] = {
    {ScalarType::int8, 1, true, true, {"char", "int8"}},
    {ScalarType::uint8, 1, false, true, {"uchar", "uint8"}},
    {ScalarType::int16, 2, true, true, {"short", "int16"}},
    {ScalarType::uint16, 2, false, true, {"ushort", "uint16"}},
    {ScalarType::int32, 4, true, true, {"int", "int32"}},
    {ScalarType::uint32, 4, false, true, {"uint", "uint32"}},
    {ScalarType::int64, 8, true, true, {}},
    {ScalarType::uint64, 8, false, true, {}},
    {ScalarType::float32, 4, true, false, {"float", "float32"}},
    {ScalarType::float64, 8, true, false, {"double", "float64"}},
};

static_assert([] {
  for (std::size_t i = 0; i < std::size(scalar_table); ++i)
    if (scalar_table[i].type != static_cast<ScalarType>(i)) return false;
  return std::size(scalar_table) == 10;
}());

constexpr const ScalarFacts& scalar_facts(ScalarType type) { return scalar_table[static_cast<std::size_t>(type)]; }
constexpr std::size_t scalar_size(ScalarType type) { return scalar_facts(type).size; }
constexpr bool scalar_is_integer(ScalarType type) { return scalar_facts(type).is_integer; }

// The type a PLY property names ("uchar" or "uint8", ...); none for the 64-bit integers.
std::optional<ScalarType> ply_scalar_named(std::string_view name);
// The type of a PCD field: its TYPE letter ("I" signed, "U" unsigned, "F" floating) and its SIZE.
std::optional<ScalarType> pcd_scalar_of(std::string_view letter, std::size_t size);

// The `size` (at most 8) bytes at `p` as an unsigned number.
inline std::uint64_t load_bits(const char* p, std::size_t size, ByteOrder order) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  std::uint64_t bits = 0;
  if (order == ByteOrder::big) {
    for (std::size_t i = 0; i < size; ++i) bits = (bits << 8) | b[i];
  } else {
    for (std::size_t i = size; i-- > 0;) bits = (bits << 8) | b[i];
  }
  return bits;
}

// The value at `p` widened to double: exact for every type up to 32 bits, so a
// coordinate is rounded to float only once, by its reader. A 64-bit integer
// beyond 2^53 rounds to the nearest double.
inline double decode_scalar(const char* p, ScalarType type, ByteOrder order) {
  const std::uint64_t bits = load_bits(p, scalar_size(type), order);
  switch (type) {
    case ScalarType::int8:
      return static_cast<double>(static_cast<std::int8_t>(bits));
    case ScalarType::uint8:
      return static_cast<double>(static_cast<std::uint8_t>(bits));
    case ScalarType::int16:
      return static_cast<double>(static_cast<std::int16_t>(bits));
    case ScalarType::uint16:
      return static_cast<double>(static_cast<std::uint16_t>(bits));
    case ScalarType::int32:
      return static_cast<double>(static_cast<std::int32_t>(bits));
    case ScalarType::uint32:
      return static_cast<double>(static_cast<std::uint32_t>(bits));
    case ScalarType::int64:
      return static_cast<double>(static_cast<std::int64_t>(bits));
    case ScalarType::uint64:
      return static_cast<double>(bits);
    case ScalarType::float32:
      return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case ScalarType::float64:
      return std::bit_cast<double>(bits);
  }
  return 0.0;
}

// The value at `p` of an integer type as a count: signed types sign-extended,
// unsigned ones as they are (a uint64 beyond the int64 range wraps to negative).
inline std::int64_t decode_count(const char* p, ScalarType type, ByteOrder order) {
  const std::size_t size = scalar_size(type);
  const std::uint64_t bits = load_bits(p, size, order);
  if (!scalar_facts(type).is_signed || size == 8) return static_cast<std::int64_t>(bits);
  // The sign bit moved to the top and back: an arithmetic shift extends it.
  const auto unused = static_cast<unsigned>(64 - 8 * size);
  return static_cast<std::int64_t>(bits << unused) >> unused;
}

}  // namespace ptdelta
