// fixed_format.h - printf-identical number formatting for the export and reports
// "%.5f" of a float or a double, "%d" and "%3d" written straight into a buffer, byte for byte what printf writes.
#pragma once

#include <charconv>
#include <string>
#include <cmath>
#include <cstdint>

namespace ptdelta {

// Longest "%.5f" of a float widened to double: sign, 39 integer digits, point, 5 decimals.
inline constexpr int fixed5_max_chars = 48;

// printf("%.5f", double(v)): the exact binary value rounded to five decimals
// (ties to even on the exact value), "-0.00000" for negative zero and for
// negatives that round to zero, "inf", "-inf", "nan", "-nan".
inline char* format_fixed5(char* out, float v) {
  // A float has 24 significant bits and 100000 has 17, so v * 100000 is exact in
  // double; rounding it to an integer (to nearest, ties to even) is then exactly
  // printf's rounding to five decimals. Large and non-finite values take the
  // general path.
  const double scaled = static_cast<double>(v) * 100000.0;
  if (!(std::fabs(scaled) < 9.0e15)) {
    return std::to_chars(out, out + fixed5_max_chars, static_cast<double>(v), std::chars_format::fixed, 5).ptr;
  }
  const double rounded = std::nearbyint(scaled);
  if (std::signbit(v)) *out++ = '-';
  auto units = static_cast<std::uint64_t>(std::fabs(rounded));
  out = std::to_chars(out, out + 20, units / 100000).ptr;
  *out++ = '.';
  units %= 100000;
  for (int i = 4; i >= 0; --i) {
    out[i] = static_cast<char>('0' + units % 10);
    units /= 10;
  }
  return out + 5;
}

// printf("%.5f", v) of a double. to_chars with a precision is defined as
// printf's conversion and rounds the exact binary value the same way; the
// longest result is a sign, 309 integer digits, the point and 5 decimals.
inline constexpr int fixed5_double_max_chars = 320;
inline char* format_fixed5_double(char* out, double v) {
  return std::to_chars(out, out + fixed5_double_max_chars, v, std::chars_format::fixed, 5).ptr;
}

// printf's own formatting of `format` and the values, as a string.
__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...);

// printf("%d", v).
inline char* format_int(char* out, std::int32_t v) { return std::to_chars(out, out + 11, v).ptr; }

// printf("%3d", v): right-aligned in at least three characters.
inline char* format_int3(char* out, std::int32_t v) {
  char digits[11];
  char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
  for (auto n = end - digits; n < 3; ++n) *out++ = ' ';
  for (char* p = digits; p != end; ++p) *out++ = *p;
  return out;
}

}  // namespace ptdelta
