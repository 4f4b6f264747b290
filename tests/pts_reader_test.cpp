// PTS files: count lines and blocks against the same rows read as a text cloud, recognition, damaged files.
#include "input/pts_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "input/cloud_reader.h"
#include "support/row_load.h"
#include "input/scanner_text.h"

namespace ptdelta {
namespace {

using Loaded = testing::LoadedCloud;

Loaded load(const std::string& bytes, ShiftRule rule = {}, std::size_t block = 0) {
  return testing::load_cloud_bytes(bytes, pts_format, rule, block);
}

using testing::compared_shift_rules;
using testing::same_shift;

TEST(PtsReader, LayoutsGiveTheBytesOfTheSameRowsAsText) {
  struct Case {
    const char* name;
    std::string pts;
    std::string text;  // the oracle: the same points as x y z lines
    std::vector<BlockMismatch> blocks;
    std::int64_t stopped_at_line = 0;
  };
  const std::vector<Case> cases = {
      {"one block of seven-token rows", "2\n1.5 2.25 3 -12 10 20 30\n4 5 6 7 255 0 1\n", "1.5 2.25 3\n4 5 6\n", {}},
      {"CR LF", "2\r\n1.5 2.25 3 -12 10 20 30\r\n4 5 6 7 255 0 1\r\n", "1.5 2.25 3\n4 5 6\n", {}},
      {"rows of four tokens, no final line end", "2\n1 2 3 0.5\n4 5 6 0.25", "1 2 3\n4 5 6\n", {}},
      {"rows of three, four and seven tokens", "3\n1 2 3\n4 5 6 7\n7 8 9 1 2 3 4\n", "1 2 3\n4 5 6\n7 8 9\n", {}},
      {"a heading before the count, blank lines", "X Y Z I\n\n2\n\n1 2 3 4\n  \n4 5 6 4\n\n", "1 2 3\n4 5 6\n", {}},
      {"several blocks that match", "1\n1 2 3 4\n2\n4 5 6 4\n7 8 9 4\n0\n", "1 2 3\n4 5 6\n7 8 9\n", {}},
      {"blocks short and long", "3\n1 2 3 4\n4 5 6 4\n1\n7 8 9 4\n1 1 1 4\n2\n5\n",
       "1 2 3\n4 5 6\n7 8 9\n1 1 1\n", {{1, 2, 3}, {4, 2, 1}, {7, 0, 2}, {8, 0, 5}}},
      {"large coordinates decide the automatic shift", "2\n512345.678 5412345.25 12.5 0\n512346.5 5412346 13 0\n",
       "512345.678 5412345.25 12.5\n512346.5 5412346 13\n", {}},
      {"a NaN point before the shift is known", "2\nnan 1 2 0\n612345.5 1 2 0\n", "nan 1 2\n612345.5 1 2\n", {}},
      {"exponents and signs as %f reads them", "2\n-1e3 +2.5E-1 0x1p3 1\n.5 -.25 1e+ 1\n", "-1e3 +2.5E-1 0x1p3\n.5 -.25 1e+\n", {}},
      // Damaged rows end the cloud where a text cloud by lines would end, the open block counted so far.
      {"a word in a row", "3\n1 2 3 4\n4 x 6 4\n7 8 9 4\n", "1 2 3\n", {{1, 1, 3}}, 3},
      {"a row of two tokens", "2\n1 2 3 4\n4 5\n", "1 2 3\n", {{1, 1, 2}}, 3},
      {"a number that is no count", "2\n1 2 3 4\n2.0\n4 5 6 4\n", "1 2 3\n", {{1, 1, 2}}, 3},
      {"a signed count", "1\n1 2 3 4\n+1\n4 5 6 4\n", "1 2 3\n", {}, 3},
      {"decimal commas", "2\n1 2 3 4\n1,5 2 3 4\n", "1 2 3\n", {{1, 1, 2}}, 3},
  };
  for (const Case& c : cases) {
    for (const ShiftRule& rule : compared_shift_rules) {
      const Loaded got = load(c.pts, rule);
      const Loaded want = load(c.text, rule);
      ASSERT_EQ(got.outcome.failure, Failure::none) << c.name;
      EXPECT_EQ(got.facts().format, &pts_format) << c.name;
      EXPECT_EQ(got.bits, want.bits) << c.name;
      EXPECT_TRUE(same_shift(got.shift, want.shift)) << c.name;
      EXPECT_EQ(got.facts().stopped_at_line, c.stopped_at_line) << c.name;
      ASSERT_EQ(got.facts().blocks.listed.size(), c.blocks.size()) << c.name;
      EXPECT_EQ(got.facts().blocks.total, static_cast<std::int64_t>(c.blocks.size())) << c.name;
      for (std::size_t k = 0; k < c.blocks.size(); ++k) {
        EXPECT_EQ(got.facts().blocks.listed[k].line, c.blocks[k].line) << c.name << " block " << k;
        EXPECT_EQ(got.facts().blocks.listed[k].rows, c.blocks[k].rows) << c.name << " block " << k;
        EXPECT_EQ(got.facts().blocks.listed[k].count, c.blocks[k].count) << c.name << " block " << k;
      }
      // From a stream in blocks of a few bytes: the same points and facts.
      for (const std::size_t block : {1U, 5U}) {
        const Loaded streamed = load(c.pts, rule, block);
        EXPECT_EQ(streamed.bits, got.bits) << c.name << " block " << block;
        EXPECT_EQ(streamed.facts().stopped_at_line, c.stopped_at_line) << c.name << " block " << block;
        EXPECT_EQ(streamed.facts().blocks.total, got.facts().blocks.total) << c.name << " block " << block;
      }
    }
  }
}

// Before: the count line made the text reader take the file as a stream, and
// 2,000 rows of seven numbers read as 14,001 / 3 = 4,667 points, silently.
TEST(PtsReader, TwoThousandRowsOfSevenNumbersAreTwoThousandPoints) {
  std::string pts = "2000\n", text;
  char row[96];
  for (int i = 0; i < 2000; ++i) {
    std::snprintf(row, sizeof row, "%.3f %.3f %.3f", i * 0.125 - 3.0, (i % 37) * 1.5, (i % 11) * 0.001);
    text += std::string(row) + "\n";
    pts += std::string(row) + " " + std::to_string(-2000 + i) + " " + std::to_string(i % 256) + " 128 64\n";
  }
  const Loaded got = load(pts);
  ASSERT_EQ(got.outcome.failure, Failure::none);
  EXPECT_EQ(got.bits.size(), 3U * 2000U);
  EXPECT_EQ(got.bits, load(text).bits);
  EXPECT_EQ(got.facts().blocks.total, 0);
  EXPECT_EQ(got.facts().stopped_at_line, 0);
}

TEST(PtsReader, CountlessBadBlocksKeepABoundedList) {
  std::string pts = "1\n1 2 3 4\n";
  for (int i = 0; i < 1000; ++i) pts += "2\n5 6 7 8\n";  // each block one row short
  const Loaded got = load(pts);
  EXPECT_EQ(got.bits.size(), 3U * 1001U);
  EXPECT_EQ(got.facts().blocks.total, 1000);
  ASSERT_EQ(got.facts().blocks.listed.size(), BlockMismatches::most_listed);
  EXPECT_EQ(got.facts().blocks.listed.front().line, 3);
  EXPECT_EQ(got.facts().blocks.listed.back().line, 3 + 2 * static_cast<std::int64_t>(BlockMismatches::most_listed - 1));
}

TEST(PtsReader, RecognisedByACountLineBeforeARow) {
  const struct {
    const char* bytes;
    bool pts;
  } cases[] = {
      {"2000\n1 2 3\n", true},
      {"2000\r\n1 2 3 4 5 6 7\r\n", true},
      {"X Y Z\n\n5\n1 2 3 4\n", true},           // headings before the count
      {"5\n\n \r\n1 2 3 4\n", true},              // blank lines before the first row
      {"5\n1 2 3", true},                          // a row cut off by the end of the bytes
      {"5\n# comment\n1 2 3 4\n", false},         // no row after the count: a stream as before
      {"5\n1 2 x\n", false},
      {"5\n1 2\n", false},                         // too few tokens
      {"5\n6\n", false},
      {"5\n", false},
      {"1 2 3\n4 5 6\n", false},                   // no count line: today's text rules
      {"5.0\n1 2 3\n", false},                     // not a whole number
      {"-5\n1 2 3\n", false},
      {"+5\n1 2 3\n", false},
      {"5 6\n1 2 3\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_pts_file(c.bytes), c.pts) << c.bytes;
  // A PTX header is a count line followed by another: taken by the PTX row first.
  const std::string ptx = "1\n1\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n1 2 3 0.5\n";
  EXPECT_FALSE(is_pts_file(ptx));
  ByteSource in(ptx.data(), ptx.size());
  EXPECT_EQ(recognise_format(in), &ptx_format);
}

TEST(ScannerText, WholeNumberLines) {
  const struct {
    const char* line;
    std::int64_t value;  // -1: not a count line
  } cases[] = {
      {"42\n", 42},          {"  0007 \r\n", 7},   {"0", 0},  {"9223372036854775807", INT64_MAX},
      {"99999999999999999999999", INT64_MAX},   {"", -1},  {" \n", -1},  {"+1", -1},  {"-1", -1},
      {"1.", -1},            {"1e3", -1},          {"1 2", -1}, {"0x10", -1}, {"12a", -1},
  };
  for (const auto& c : cases) {
    const std::optional<std::int64_t> n = whole_number_line(c.line);
    EXPECT_EQ(n.value_or(-1), c.value) << '"' << c.line << '"';
  }
}

}  // namespace
}  // namespace ptdelta
