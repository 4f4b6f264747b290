// scanner_text.h - the lines of scanner text files (PTS, PTX) as their recognisers and readers see them
// Numbered lines from a byte source, a count line of one whole number, and a row's x y z from its first three tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

// The value of a line whose only token is ASCII digits (no sign, point or
// exponent: scanners write counts as plain digits, and "+5" or "5.0" is then
// no count), saturating at INT64_MAX; nullopt for any other line.
std::optional<std::int64_t> whole_number_line(std::string_view line);

// A data line as text clouds define it: its first token converts ("%f" takes all of it).
bool is_data_line(std::string_view line);

// The number of tokens of `line`, counting no further than `most`.
std::size_t token_count(std::string_view line, std::size_t most);

// Exactly `n` tokens, each taken whole by "%lf"; their values in `values` when given.
bool is_number_line(std::string_view line, std::size_t n, double* values = nullptr);

// A line as a row of points: blank, or its first three tokens all convert (a
// point; the rest of the line is ignored), or anything else.
enum class RowKind { blank, point, other };

struct Row {
  RowKind kind = RowKind::other;
  CoordinateReading xyz[3];     // a point: the readings `precision` names
  std::string_view token[3];    // a point: the tokens they came from
};

// The first three tokens converted exactly as text clouds read by lines convert them.
Row read_row(std::string_view line, ReadPrecision precision);

// Calls take(line) for each line of `bytes` (without its '\n'; the last one
// may be cut off by the end of the bytes) until it returns false.
template <class Take>
void for_each_line(std::string_view bytes, Take take) {
  while (!bytes.empty()) {
    const std::size_t nl = bytes.find('\n');
    if (!take(bytes.substr(0, nl))) return;
    bytes = nl == std::string_view::npos ? std::string_view{} : bytes.substr(nl + 1);
  }
}

// A byte source taken a line at a time, lines numbered from 1 at its first byte.
// A source that may never end (a device, a pipe) is looked at up to a limit per
// line, as text clouds are: a line longer than that ends the lines.
class NumberedLines {
 public:
  explicit NumberedLines(ByteSource& in);
  // The next line (its '\n' included); false at the end of the data or at a
  // line too long to look at whole (too_long() then says so). Throws std::bad_alloc.
  bool next();
  std::string_view line() const { return line_; }
  // The 1-based number of the line last returned (or refused as too long).
  std::int64_t number() const { return number_; }
  bool too_long() const { return too_long_; }

 private:
  ByteSource* in_;
  std::size_t limit_;
  std::string line_;
  std::int64_t number_ = 0;
  bool too_long_ = false;
};

}  // namespace ptdelta
