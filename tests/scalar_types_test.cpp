// Binary scalar types: the names PLY and PCD give them, and their values in either byte order.
#include "input/scalar_types.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

namespace ptdelta {
namespace {

using T = ScalarType;

// The low `size` bytes of `bits`, in `order`.
std::string bytes_of(std::uint64_t bits, std::size_t size, ByteOrder order) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    s[order == ByteOrder::little ? i : size - 1 - i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  return s;
}

TEST(ScalarTypes, NamesOfPlyAndPcdFindTheirTypes) {
  const struct {
    const char* name;
    std::optional<T> type;
  } ply[] = {{"char", T::int8},     {"int8", T::int8},       {"uchar", T::uint8},    {"uint8", T::uint8},
             {"short", T::int16},   {"int16", T::int16},     {"ushort", T::uint16},  {"uint16", T::uint16},
             {"int", T::int32},     {"int32", T::int32},     {"uint", T::uint32},    {"uint32", T::uint32},
             {"float", T::float32}, {"float32", T::float32}, {"double", T::float64}, {"float64", T::float64},
             {"int64", {}},         {"uint64", {}},          {"", {}},               {"Float", {}}};
  for (const auto& c : ply) EXPECT_EQ(ply_scalar_named(c.name), c.type) << c.name;

  const struct {
    const char* letter;
    std::size_t size;
    std::optional<T> type;
  } pcd[] = {{"I", 1, T::int8},    {"U", 1, T::uint8},   {"I", 2, T::int16},   {"U", 2, T::uint16},
             {"I", 4, T::int32},   {"U", 4, T::uint32},  {"I", 8, T::int64},   {"U", 8, T::uint64},
             {"F", 4, T::float32}, {"F", 8, T::float64}, {"F", 2, {}},         {"F", 1, {}},
             {"I", 3, {}},         {"U", 16, {}},        {"i", 4, {}},         {"IU", 4, {}}};
  for (const auto& c : pcd) EXPECT_EQ(pcd_scalar_of(c.letter, c.size), c.type) << c.letter << c.size;
}

TEST(ScalarTypes, DecodesEveryTypeInBothByteOrders) {
  const struct {
    T type;
    std::uint64_t bits;
    double value;
    std::int64_t count;  // integer types only
  } cases[] = {
      {T::int8, 0x80, -128.0, -128},
      {T::int8, 0x7F, 127.0, 127},
      {T::uint8, 0xFF, 255.0, 255},
      {T::int16, 0x8001, -32767.0, -32767},
      {T::uint16, 0xFFFE, 65534.0, 65534},
      {T::int32, 0xFFFFFFFF, -1.0, -1},
      {T::int32, 0x80000000, -2147483648.0, INT32_MIN},
      {T::uint32, 0xFFFFFFFF, 4294967295.0, 4294967295},
      {T::int64, 0xFFFFFFFFFFFFFFFF, -1.0, -1},
      // Beyond 2^53: to the nearest double, as a conversion of the integer rounds.
      {T::int64, 0x0020000000000001, static_cast<double>(std::int64_t{0x0020000000000001}), 0x0020000000000001},
      {T::uint64, 0xFFFFFFFFFFFFFFFF, 18446744073709551616.0, -1},
      {T::float32, std::bit_cast<std::uint32_t>(0x1.fffffep+127f), 0x1.fffffep+127, 0},
      {T::float32, 0x00000001, 0x1p-149, 0},
      {T::float32, 0x80000000, -0.0, 0},
      {T::float64, std::bit_cast<std::uint64_t>(0x1.0000000000001p-1022), 0x1.0000000000001p-1022, 0},
  };
  for (const auto& c : cases) {
    for (const ByteOrder order : {ByteOrder::little, ByteOrder::big}) {
      const std::string b = bytes_of(c.bits, scalar_size(c.type), order);
      const double v = decode_scalar(b.data(), c.type, order);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(v), std::bit_cast<std::uint64_t>(c.value))
          << static_cast<int>(c.type) << " " << c.bits;
      if (scalar_is_integer(c.type)) {
        EXPECT_EQ(decode_count(b.data(), c.type, order), c.count) << c.bits;
      }
    }
  }
  const std::string nan = bytes_of(0x7FC00001, 4, ByteOrder::big);
  EXPECT_TRUE(std::isnan(decode_scalar(nan.data(), T::float32, ByteOrder::big)));
}

}  // namespace
}  // namespace ptdelta
