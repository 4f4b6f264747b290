#include "input/scanner_text.h"

#include <cstdint>

#include "input/coordinate.h"
#include "input/scan_number.h"
#include "input/text_tokens.h"

namespace ptdelta {

namespace {

// How much of one line is looked at in a stream that may never end (as text clouds do).
constexpr std::size_t unbounded_line_limit = std::size_t{1} << 20;

}  // namespace

std::optional<std::int64_t> whole_number_line(std::string_view line) {
  const std::string_view rest = skip_text_space(line);
  std::size_t n = 0;
  std::int64_t value = 0;
  for (; n < rest.size() && rest[n] >= '0' && rest[n] <= '9'; ++n) {
    const int digit = rest[n] - '0';
    value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
  }
  if (n == 0 || !skip_text_space(rest.substr(n)).empty()) return std::nullopt;
  return value;
}

bool is_data_line(std::string_view line) {
  bool data = false;
  for_each_token(line, [&data](std::string_view token) {
    CoordinateReading ignored;
    data = convert_whole_token(token, ReadPrecision::single, ignored);
    return false;
  });
  return data;
}

std::size_t token_count(std::string_view line, std::size_t most) {
  std::size_t n = 0;
  for_each_token(line, [&n, most](std::string_view) { return ++n < most; });
  return n;
}

bool is_number_line(std::string_view line, std::size_t n, double* values) {
  std::size_t seen = 0;
  bool numbers = true;
  for_each_token(line, [&](std::string_view token) {
    CoordinateReading value;
    numbers = seen < n && convert_whole_token(token, ReadPrecision::shifted, value);
    if (numbers && values != nullptr) values[seen] = value.wide;
    ++seen;
    return numbers;
  });
  return numbers && seen == n;
}

Row read_row(std::string_view line, ReadPrecision precision) {
  Row row;
  std::size_t tokens = 0;
  bool converted = true;
  for_each_token(line, [&](std::string_view token) {
    row.token[tokens] = token;
    converted = convert_whole_token(token, precision, row.xyz[tokens]);
    return converted && ++tokens < 3;
  });
  if (tokens == 3) {
    row.kind = RowKind::point;
  } else if (tokens == 0 && converted) {
    row.kind = RowKind::blank;
  }
  return row;
}

NumberedLines::NumberedLines(ByteSource& in)
    : in_(&in), limit_(in.bounded() ? SIZE_MAX : unbounded_line_limit) {}

bool NumberedLines::next() {
  line_.clear();
  if (too_long_ || !in_->read_line(line_, limit_)) return false;
  ++number_;
  if (line_.size() >= limit_ && line_.back() != '\n') {
    too_long_ = true;
    return false;
  }
  return true;
}

}  // namespace ptdelta
