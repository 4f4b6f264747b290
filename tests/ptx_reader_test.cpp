// PTX files: scans moved by their matrix against the same registered points read as text, missing returns, damaged files.
#include "input/ptx_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "input/cloud_reader.h"
#include "support/row_load.h"

namespace ptdelta {
namespace {

using Loaded = testing::LoadedCloud;

Loaded load(const std::string& bytes, ShiftRule rule = {}, std::size_t block = 0) {
  return testing::load_cloud_bytes(bytes, ptx_format, rule, block);
}

using Matrix = std::array<double, 16>;  // row by row, the translation in the fourth row

const Matrix identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
// A quarter turn about z, then a translation.
const Matrix quarter_turn = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 1000.5, -20, 3, 1};
// cos = 0.6, sin = 0.8 (neither exact in binary), far from the origin: the automatic shift applies.
const Matrix turned_far = {0.6, 0.8, 0, 0, -0.8, 0.6, 0, 0, 0, 0, 1, 0, 512000.25, 5412000.5, -7.125, 1};

// A scan's header: its size, the scanner's position and axes (`pose_lines` lines), the matrix.
std::string header(std::int64_t columns, std::int64_t rows, const Matrix& m, int pose_lines = 4,
                   const char* eol = "\n") {
  std::string s = std::to_string(columns) + eol + std::to_string(rows) + eol;
  const char* const pose[] = {"0 0 0", "1 0 0", "0 1 0", "0 0 1"};
  for (int i = 4 - pose_lines; i < 4; ++i) s += std::string(pose[i]) + eol;
  char line[160];
  for (std::size_t r = 0; r < 4; ++r) {
    std::snprintf(line, sizeof line, "%.17g %.17g %.17g %.17g", m[4 * r], m[4 * r + 1], m[4 * r + 2], m[4 * r + 3]);
    s += std::string(line) + eol;
  }
  return s;
}

// The oracle of a moved point: [x y z 1] times m in double, written exactly (hexadecimal) for the text reader.
std::string registered_text(double x, double y, double z, const Matrix& m) {
  char line[160];
  double v[3];
  for (std::size_t a = 0; a < 3; ++a) v[a] = ((x * m[a] + y * m[4 + a]) + z * m[8 + a]) + m[12 + a];
  std::snprintf(line, sizeof line, "%a %a %a\n", v[0], v[1], v[2]);
  return line;
}

// `head` then `rest` (prepending to a temporary trips a false -Wrestrict in GCC 12).
std::string before(const char* head, const std::string& rest) {
  std::string s = head;
  s += rest;
  return s;
}

using testing::compared_shift_rules;
using testing::same_shift;

struct Case {
  const char* name;
  std::string ptx;
  std::string text;  // the oracle: the registered points as x y z lines
  std::int64_t skipped = 0;
  std::optional<Shortfall> shortfall = std::nullopt;
  std::int64_t stopped_at_line = 0;
};

void check(const Case& c) {
  for (const ShiftRule& rule : compared_shift_rules) {
    const Loaded got = load(c.ptx, rule);
    const Loaded want = load(c.text, rule);
    ASSERT_EQ(got.outcome.failure, Failure::none) << c.name;
    EXPECT_EQ(got.facts().format, &ptx_format) << c.name;
    EXPECT_EQ(got.bits, want.bits) << c.name;
    EXPECT_TRUE(same_shift(got.shift, want.shift)) << c.name;
    EXPECT_EQ(got.facts().skipped_points, c.skipped) << c.name;
    EXPECT_EQ(got.facts().stopped_at_line, c.stopped_at_line) << c.name;
    ASSERT_EQ(got.facts().shortfall.has_value(), c.shortfall.has_value()) << c.name;
    if (c.shortfall) {
      EXPECT_EQ(got.facts().shortfall->read, c.shortfall->read) << c.name;
      EXPECT_EQ(got.facts().shortfall->declared, c.shortfall->declared) << c.name;
      EXPECT_STREQ(got.facts().shortfall->unit, "points") << c.name;
    }
    for (const std::size_t block : {1U, 7U}) {
      const Loaded streamed = load(c.ptx, rule, block);
      EXPECT_EQ(streamed.bits, got.bits) << c.name << " block " << block;
      EXPECT_EQ(streamed.facts().skipped_points, c.skipped) << c.name << " block " << block;
      EXPECT_EQ(streamed.facts().stopped_at_line, c.stopped_at_line) << c.name << " block " << block;
    }
  }
}

TEST(PtxReader, ScansGiveTheBytesOfTheirRegisteredPointsAsText) {
  const std::string far_rows = "1.5 2.25 -3 0.5\n-1000.125 7 0.1 0.25\n";
  const std::vector<Case> cases = {
      {"identity, x y z intensity", header(2, 1, identity) + "1.5 2.25 3 0.5\n4 5 6 0.25\n", "1.5 2.25 3\n4 5 6\n"},
      {"identity, colours, CR LF", header(1, 2, identity, 4, "\r\n") + "1e-3 .5 -7 0.5 255 0 12\r\n4 5 6 0.25 1 2 3\r\n",
       "1e-3 .5 -7\n4 5 6\n"},
      {"identity, the position and axes in three lines", header(1, 2, identity, 3) + "1 2 3 0\n4 5 6 0\n",
       "1 2 3\n4 5 6\n"},
      // Through the matrix inf x 0 would be NaN: the identity reads the rows as text does.
      {"identity keeps infinities", header(1, 1, identity) + "inf 1 -2 0\n", "inf 1 -2\n"},
      {"identity, large coordinates as text reads them", header(2, 1, identity) + "512345.678 5412345.2 1 0\n1 2 3 0\n",
       "512345.678 5412345.2 1\n1 2 3\n"},
      // Worked by hand: x' = -y + 1000.5, y' = x - 20, z' = z + 3.
      {"a quarter turn and a translation", header(2, 1, quarter_turn) + "1 2 3 0.5\n-4 0.5 -3 0.5\n",
       "998.5 -19 6\n1000 -24 0\n"},
      {"a turn far from the origin", header(1, 2, turned_far) + far_rows,
       registered_text(1.5, 2.25, -3, turned_far) + registered_text(-1000.125, 7, 0.1, turned_far)},
      {"two scans, a blank line between", header(1, 1, identity) + "1 2 3 0\n\n" + header(1, 1, quarter_turn) + "1 2 3 0\n",
       "1 2 3\n998.5 -19 6\n"},
      {"an empty scan between two", header(1, 1, identity) + "1 2 3 0\n" + header(0, 5, identity) +
                                        header(1, 1, identity) + "4 5 6 0\n",
       "1 2 3\n4 5 6\n"},
      // Missing returns are zero in double: 1e-50 reads as 0 in single precision but is a return.
      {"missing returns skipped and counted",
       header(2, 2, identity) + "0 0 0 0\n-0 0.0 0e5 0.5\n0 0 1e-50 0.5\n1 2 3 0.5\n", "0 0 1e-50\n1 2 3\n", 2},
      {"missing returns are not moved", header(1, 2, quarter_turn) + "0 0 0 0\n1 2 3 0\n", "998.5 -19 6\n", 1},
  };
  for (const Case& c : cases) check(c);
}

TEST(PtxReader, DamagedFilesKeepWhatCameBeforeTheDamage) {
  const std::string scan = header(1, 2, identity) + "1 2 3 0\n4 5 6 0\n";  // lines 1 to 12
  const std::vector<Case> cases = {
      {"rows end with the data", header(2, 2, identity) + "1 2 3 0\n4 5 6 0\n0 0 0 0\n", "1 2 3\n4 5 6\n", 1,
       Shortfall{3, 4, "points"}},
      {"rows end at the next header", header(2, 2, identity) + "1 2 3 0\n" + scan, "1 2 3\n", 0, Shortfall{1, 4, "points"}},
      {"a row with a word", header(3, 1, identity) + "1 2 3 0\n4 x 6 0\n7 8 9 0\n", "1 2 3\n", 0,
       Shortfall{1, 3, "points"}},
      {"counts beyond any file", header(999999999999, 999999999999, identity) + "1 2 3 0\n", "1 2 3\n", 0,
       Shortfall{1, INT64_MAX, "points"}},
      {"more rows than the header says", scan + "7 8 9 0\n", "1 2 3\n4 5 6\n", 0, std::nullopt, 13},
      {"a second header cut off", scan + "\n1\n1\n0 0 0\n", "1 2 3\n4 5 6\n", 0, std::nullopt, 14},
      {"a matrix line of three numbers", scan + "1\n1\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0\n",
       "1 2 3\n4 5 6\n", 0, std::nullopt, 13},
      {"five lines of three numbers", scan + "1\n1\n0 0 0\n" + header(1, 1, identity).substr(4) + "1 1 1 0\n",
       "1 2 3\n4 5 6\n", 0, std::nullopt, 13},
      {"a signed count", scan + "-1\n1\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n",
       "1 2 3\n4 5 6\n", 0, std::nullopt, 13},
  };
  for (const Case& c : cases) check(c);
}

TEST(PtxReader, RecognisedByItsHeaderAlone) {
  const struct {
    std::string bytes;
    bool ptx;
  } cases[] = {
      {header(2, 3, identity), true},
      {header(2, 3, turned_far, 3, "\r\n"), true},
      {header(0, 0, identity), true},
      {header(2, 3, identity).substr(0, 40), false},            // cut off before the matrix ends
      {before("X Y Z\n", header(2, 3, identity)), false},              // no heading lines
      {before("\n", header(2, 3, identity)), false},
      {before("2.0", header(2, 3, identity).substr(1)), false},          // a count that is not whole
      {"1\n1\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1\n0 0 0 1\n", false},
      {"1\n1\n0 0 0\n1 0 0\n0 1 0 0\n0 0 1 0\n1 0 0 0\n0 1 0 0\n", false},  // two lines of three
      {"2\n1 2 3\n", false},                                    // PTS
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_ptx_file(c.bytes), c.ptx) << c.bytes;
}

}  // namespace
}  // namespace ptdelta
