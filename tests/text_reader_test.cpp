// Text clouds: layouts (headings, rows by lines, the stream), where reading stopped, and reading under a shift.
#include "input/text_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/exact.h"
#include "input/number_stream.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

using Point = std::array<float, 3>;

struct Read {
  TextReadResult result;
  std::vector<Point> points;
  CoordinateShift shift;
};

// From memory, or (block > 0) from a stream in blocks of `block` bytes, so that
// tokens, lines and the put-back look-ahead straddle block ends.
Read read_text(const std::string& bytes, std::size_t block = 0, ShiftRule rule = {}) {
  PointColumns cloud;
  PointAppender out(cloud, no_progress(), rule);
  Read r;
  if (block == 0 || bytes.empty()) {
    ByteSource in(bytes.data(), bytes.size());
    r.result = read_text_cloud(in, out);
  } else {
    std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
    EXPECT_NE(file, nullptr);
    {
      ByteSource in(file, block);
      r.result = read_text_cloud(in, out);
    }
    std::fclose(file);
  }
  EXPECT_TRUE(out.finish());
  r.shift = out.shift();
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    r.points.push_back({cloud.x[i], cloud.y[i], cloud.z[i]});
  return r;
}

TEST(TextLayouts, HeadingsRowsAndStreamsWithTheLineWhereReadingStopped) {
  struct Case {
    const char* name;
    std::string bytes;
    TextLayout layout;
    std::vector<Point> points;
    std::int64_t stopped_at_line;
  };
  const std::vector<Case> cases = {
      {"plain rows", "1 2 3\n4 5 6\n", TextLayout::stream, {{1, 2, 3}, {4, 5, 6}}, 0},
      {"trailing blank lines", "1 2 3\n\n  \n", TextLayout::stream, {{1, 2, 3}}, 0},
      {"empty", "", TextLayout::none, {}, 0},
      {"no data line", "X Y Z\n// none\n\n", TextLayout::none, {}, 0},
      {"decimal commas", "1,5 2,5 3,5\n", TextLayout::none, {}, 0},
      {"heading", "X Y Z\n1 2 3\n4 5 6\n", TextLayout::stream, {{1, 2, 3}, {4, 5, 6}}, 0},
      {"comment heading", "//X Y Z R G B\n1 2 3 9 9 9\n4 5 6 9 9 9\n", TextLayout::lines, {{1, 2, 3}, {4, 5, 6}}, 0},
      {"x y z r g b", "1 2 3 10 20 30\n4 5 6 10 20 30\n7 8 9 1 2 3", TextLayout::lines,
       {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}, 0},
      {"x y z i with blank lines and CRLF", "1 2 3 0.5\r\n\r\n4 5 6 0.5\r\n", TextLayout::lines,
       {{1, 2, 3}, {4, 5, 6}}, 0},
      {"rows end at a short line", "1 2 3 4\n5 6 7 8\n9 10\n11 12 13 14\n", TextLayout::lines,
       {{1, 2, 3}, {5, 6, 7}}, 3},
      {"rows end at a token that converts only in part", "1 2 3 4\n5 6 7 8\n9 10 11x 12\n", TextLayout::lines,
       {{1, 2, 3}, {5, 6, 7}}, 3},
      {"rows: the rest of a line is ignored", "1 2 3 4\n5 6 7 8\n9 10 11 junk\n", TextLayout::lines,
       {{1, 2, 3}, {5, 6, 7}, {9, 10, 11}}, 0},
      {"rows: a comment between the two data lines ends them", "1 2 3 4\n# c\n5 6 7 8\n", TextLayout::lines,
       {{1, 2, 3}}, 2},
      {"rows: the first data line does not convert whole", "H\n1 2 x 4\n5 6 7 8\n", TextLayout::lines, {}, 2},
      {"different counts: a stream", "1 2 3 4\n5 6 7\n8 9\n", TextLayout::stream, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}},
       0},
      {"one data line of six: a stream", "1 2 3 4 5 6\n", TextLayout::stream, {{1, 2, 3}, {4, 5, 6}}, 0},
      {"stream ends with an incomplete group", "1 2 3\n4 5\n", TextLayout::stream, {{1, 2, 3}}, 2},
      {"stream ends at a word after blank lines", "X\n1 2 3\n\n\n  end\n", TextLayout::stream, {{1, 2, 3}}, 5},
      {"stream ends in the middle of a line", "1 2 3 4 5 x\n", TextLayout::stream, {{1, 2, 3}}, 1},
      {"stream: a group may span lines", "1\n2\n3\n", TextLayout::stream, {{1, 2, 3}}, 0},
      {"a lone line of two", "1 2\n", TextLayout::stream, {}, 1},
      {"nan first token is data", "nan 1 2\n3 4 5\n", TextLayout::stream, {{NAN, 1, 2}, {3, 4, 5}}, 0},
  };
  for (const Case& c : cases) {
    for (const std::size_t block : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{7}}) {
      const Read r = read_text(c.bytes, block);
      EXPECT_EQ(r.result.failure, Failure::none) << c.name;
      EXPECT_EQ(r.result.layout, c.layout) << c.name << " block=" << block;
      EXPECT_EQ(r.result.stopped_at_line, c.stopped_at_line) << c.name << " block=" << block;
      ASSERT_EQ(r.points.size(), c.points.size()) << c.name << " block=" << block;
      for (std::size_t i = 0; i < c.points.size(); ++i)
        for (std::size_t a = 0; a < 3; ++a) {
          if (std::isnan(c.points[i][a])) {
            EXPECT_TRUE(std::isnan(r.points[i][a])) << c.name;
          } else {
            EXPECT_EQ(r.points[i][a], c.points[i][a]) << c.name << " point " << i;
          }
        }
    }
  }
}

TEST(TextLayouts, ShiftedReadingRoundsTheShiftedDoubleOnce) {
  // 5412345.3 is not a float: read as float it would be 5412345.5; shifted in
  // double first, the difference to 5412000 keeps its decimals.
  const std::string bytes = "512345.678 5412345.3 -0.0\n512345.25 5412345.75 250.1\n";
  const ShiftRule given{false, {-512000.0, -5412000.0, 0.0}};
  for (const ShiftRule rule : {given, ShiftRule{true, {}}}) {
    for (const std::size_t block : {std::size_t{0}, std::size_t{5}}) {
      const Read r = read_text(bytes, block, rule);
      ASSERT_EQ(r.points.size(), 2u);
      EXPECT_EQ(r.shift.x, -512000.0);
      EXPECT_EQ(r.shift.y, -5412000.0);
      EXPECT_EQ(r.shift.z, 0.0);
      EXPECT_EQ(r.points[0], (Point{shifted_single(512345.678, -512000.0), shifted_single(5412345.3, -5412000.0),
                                    0.0f}));
      EXPECT_FALSE(std::signbit(r.points[0][2]));  // -0 + 0 in double is +0: every axis goes through the sum
      EXPECT_EQ(r.points[1], (Point{345.25f, 345.75f, shifted_single(250.1, 0.0)}));
    }
  }
}

TEST(TextLayouts, PointsBeforeTheAutomaticShiftIsDecidedAreReadBothWays) {
  // Non-finite points come first; the shift follows the first finite point and
  // applies to the points before it too. Without a shift they stay "%f" floats.
  const Read shifted = read_text("nan 512345.678 1\ninf 0 2\n612500.5 5000 3\n", 4, {true, {}});
  EXPECT_EQ(shifted.shift.x, -613000.0);
  EXPECT_EQ(shifted.shift.y, 0.0);
  ASSERT_EQ(shifted.points.size(), 3u);
  EXPECT_TRUE(std::isnan(shifted.points[0][0]));
  EXPECT_EQ(shifted.points[0][1], 512345.678f);  // the y shift is 0: the double rounded once
  EXPECT_EQ(shifted.points[2][0], -499.5f);
  // 1.0000000596046448 lies just above the float midpoint 1 + 2^-24: "%f" rounds
  // it up, while its double is the midpoint itself and would round to even (1).
  const Read unshifted = read_text("nan 1.0000000596046448 0.1\n1 2 3\n", 0, {true, {}});
  EXPECT_TRUE(unshifted.shift.is_zero());
  ASSERT_EQ(unshifted.points.size(), 2u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(unshifted.points[0][1]), 0x3f800001u);
  // No finite point at all: no shift.
  const Read none = read_text("nan nan nan\ninf 1e6 1e6\n", 0, {true, {}});
  EXPECT_TRUE(none.shift.is_zero());
  EXPECT_EQ(none.points.size(), 2u);
}

}  // namespace
}  // namespace ptdelta

namespace ptdelta {
namespace {

// The stream read on several threads in small windows (so that windows, chunks
// and groups meet at every kind of place) against the one-thread reader: the
// same points bit for bit, the same stop line and failure, with and without a shift.
// Lines are counted eight bytes at a time: every byte value, next to every
// other kind of byte, at every alignment and length, counts as one at a time.
TEST(NumberStream, LineEndsCountedAsByteByByte) {
  std::string bytes;
  std::mt19937 rng(7);
  for (int v = 0; v < 256; ++v) {
    bytes.push_back(static_cast<char>(v));
    bytes.push_back('\n');
    bytes.push_back(static_cast<char>(rng()));
  }
  bytes += std::string(19, '\n');
  // Runs of line ends longer than the 255 words counted at a time.
  bytes += std::string(2048 * 2 + 5, '\n') + bytes;
  for (std::size_t begin = 0; begin < 9; ++begin)
    for (std::size_t end = begin; end <= bytes.size(); end += 1 + end % 7) {
      const auto expected = std::count(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(end), '\n');
      ASSERT_EQ(count_line_ends(bytes.data() + begin, bytes.data() + end), expected) << begin << " " << end;
    }
}

TEST(NumberStream, ThreadsAndWindowsChangeNothing) {
  std::vector<std::string> texts = {
      "1 2 3\n4 5 6\n",
      "1 2 3\n4 5\n",                 // an incomplete group at the end
      "1 2 3\n4\n\n5 6 x 7\n8 9 1\n",  // a failing token inside a group, its group begun lines before
      "1 2 3\n-\n4 5 6\n",            // a failing token starting a group
      "1e+ 5 .5 -.5e3 0x1p3 inf nan(7) 4\n",
      "  \n\t\r\n1\n2\n3\n\n\n4\n5\n",
      std::string(300, '7') + " 1 2 3 4",  // a token longer than a window
      // A group open before a long token: carried on until the token ends.
      "1 2 " + std::string(20000, '7') + "\n4 5 6 7\n",
  };
  // Seeded random streams: numbers, blank runs, line ends, now and then junk.
  std::uint64_t state = 7;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::uint32_t>(state >> 33);
  };
  for (int t = 0; t < 40; ++t) {
    std::string s = "0 0 0\n";  // three numbers on the first line: a stream
    const int tokens = 30 + static_cast<int>(next() % 400);
    for (int i = 0; i < tokens; ++i) {
      const std::uint32_t kind = next() % 100;
      if (kind == 0 && t % 2 == 0) s += "junk";
      else s += std::to_string(static_cast<int>(next() % 20000) - 10000) + "." + std::to_string(next() % 1000);
      s += (next() % 7 == 0) ? "\n" : (next() % 5 == 0 ? " \t " : " ");
    }
    texts.push_back(s);
  }
  for (const std::string& text : texts) {
    for (const ShiftRule rule : {ShiftRule{}, ShiftRule{false, {-1000.0, 0.5, 0.0}}}) {
      PointColumns one;
      PointAppender out_one(one, no_progress(), rule);
      ByteSource in_one(text.data(), text.size());
      const TextReadResult expected = read_text_cloud(in_one, out_one, 1);
      ASSERT_EQ(expected.layout, TextLayout::stream) << text;
      for (const int threads : {2, 3, 8}) {
        for (const std::size_t window : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{1} << 20}) {
          PointColumns many;
          PointAppender out_many(many, no_progress(), rule);
          ByteSource in(text.data(), text.size());
          const NumberStreamEnd end = read_number_stream(in, out_many, threads, window);
          const std::string what = "threads " + std::to_string(threads) + ", window " + std::to_string(window);
          EXPECT_EQ(end.failure, expected.failure) << what << "\n" << text;
          EXPECT_EQ(end.stopped_at_line, expected.stopped_at_line) << what << "\n" << text;
          ASSERT_EQ(many.count, one.count) << what << "\n" << text;
          for (std::size_t i = 0; i < static_cast<std::size_t>(one.count); ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(many.x[i]), std::bit_cast<std::uint32_t>(one.x[i])) << what;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(many.y[i]), std::bit_cast<std::uint32_t>(one.y[i])) << what;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(many.z[i]), std::bit_cast<std::uint32_t>(one.z[i])) << what;
          }
        }
      }
    }
  }
}

// ---- rows read by lines on several threads ----

struct LineOutcome {
  TextReadResult result;
  std::vector<std::array<std::uint32_t, 3>> bits;
  CoordinateShift shift;
  bool operator==(const LineOutcome& o) const {
    return result.failure == o.result.failure && result.layout == o.result.layout &&
           result.stopped_at_line == o.result.stopped_at_line && bits == o.bits && shift.x == o.shift.x &&
           shift.y == o.shift.y && shift.z == o.shift.z;
  }
};

// From memory, or from `file` (a pipe: a source that is not bounded).
LineOutcome read_lines_with(const std::string& bytes, int threads, std::size_t window, ShiftRule rule,
                            std::FILE* file = nullptr) {
  PointColumns cloud;
  PointAppender out(cloud, no_progress(), rule);
  LineOutcome o;
  if (file == nullptr) {
    ByteSource in(bytes.data(), bytes.size());
    o.result = read_text_cloud(in, out, threads, window);
  } else {
    ByteSource in(file, 4096);
    o.result = read_text_cloud(in, out, threads, window);
  }
  EXPECT_TRUE(out.finish());
  o.shift = out.shift();
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    o.bits.push_back({std::bit_cast<std::uint32_t>(cloud.x[i]), std::bit_cast<std::uint32_t>(cloud.y[i]),
                      std::bit_cast<std::uint32_t>(cloud.z[i])});
  return o;
}

// Lines on 2 and 3 threads in windows from one byte up, undecided, automatic and
// fixed shifts: the same points bit for bit and the same stop line as one thread.
void expect_lines_as_on_one_thread(const std::string& text, const std::string& what,
                                   const std::vector<std::size_t>& windows) {
  for (const ShiftRule rule : {ShiftRule{}, ShiftRule{true, {}}, ShiftRule{false, {-1000.0, 0.5, 0.0}}}) {
    const LineOutcome one = read_lines_with(text, 1, 0, rule);
    ASSERT_EQ(one.result.layout, TextLayout::lines) << what;
    for (const int threads : {2, 3})
      for (const std::size_t window : windows)
        ASSERT_TRUE(read_lines_with(text, threads, window, rule) == one)
            << what << ": threads " << threads << ", window " << window << ", automatic " << rule.automatic << "\n"
            << text;
  }
}

TEST(TextLines, ThreadsAndWindowsChangeNothing) {
  const std::string two = "1 2 3 9 9 9\n4 5 6 9 9 9\n";  // two data lines of six tokens: rows by lines
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"plain", two + "7 8 9 1 2 3\n"},
      {"heading, CRLF, blank lines", "X Y Z R G B\r\n" + two + "\r\n\r\n  \t\r\n7 8 9 1 2 3\r\n\n"},
      {"no line end at the end", two + "7 8 9 1"},
      {"a line of two tokens stops", two + "7 8 9 1 2 3\n7 8\n1 2 3 4 5 6\n"},
      {"a token that does not convert whole", two + "7 8 9\n1 2 3abc 4\n1 2 3 4 5 6\n"},
      {"%f takes all of 1e+ but not 1.5.5", two + "1e+ .5 -.5e3 x\n1 2 1.5.5\n"},
      {"the rest of a line is ignored", two + "7 8 9 junk , ;\n1 2 3\n"},
      {"a NUL byte in a token", two + std::string("7 8 9\n1 2\0 3\n4 5 6\n", 19)},
      {"stop on the last line", two + "7 8 9\n-\n"},
      {"large coordinates", "512345.678 5412345.3 250.1 0\n512346.5 5412344.25 251 0\n512347 5412343 252.75 0\n"},
      {"undecided first points", "nan 1 2 3\ninf 4 5 6\n512345.678 5412345.3 250.1 0\n1 2 3 4\n"},
      {"a line longer than a window", two + std::string(300, ' ') + "7 8 9 " + std::string(200, '5') + "\n1 2 3\n"},
  };
  for (const auto& c : cases) expect_lines_as_on_one_thread(c.text, c.name, {1, 6, 64, std::size_t{16} << 20});

  // Seeded random rows: numbers, blank lines, CRLF, now and then a line that stops the cloud.
  std::mt19937 rng(11);
  for (int t = 0; t < 20; ++t) {
    std::string text = two;
    const int lines = 5 + static_cast<int>(rng() % 80);
    for (int i = 0; i < lines; ++i) {
      const auto kind = rng() % 40;
      if (kind == 0 && t % 2 == 0) text += "1 2";
      else if (kind == 1 && t % 2 == 0) text += "1 2 x 4";
      else if (kind < 5) text += " \t";
      else
        for (int k = 0; k < 4; ++k)
          text += std::to_string(static_cast<int>(rng() % 20001) - 10000) + "." + std::to_string(rng() % 100) + " ";
      text += rng() % 4 == 0 ? "\r\n" : "\n";
    }
    expect_lines_as_on_one_thread(text, "random " + std::to_string(t), {13, 300});
  }
}

// A source that is not bounded (a pipe) is looked at only 1 MiB of a line at a
// time: a line that long without its end stops the cloud, on any thread count.
TEST(TextLines, ALineBeyondTheLimitOfAnEndlessSourceStopsTheCloudOnThreadsToo) {
  const std::size_t limit = std::size_t{1} << 20;
  const std::string two = "1 2 3 9\n4 5 6 9\n";
  const struct {
    const char* name;
    std::string text;
    std::size_t points;
  } cases[] = {
      {"one byte short of the limit", two + "7 8 9" + std::string(limit - 6, ' ') + "\n1 1 1 1\n", 4},
      {"as long as the limit", two + "7 8 9" + std::string(limit - 5, ' ') + "\n1 1 1 1\n", 2},
      {"the limit at the end without a line end", two + "7 8 9" + std::string(limit - 5, ' '), 2},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    testing::write_file(dir / "rows.txt", c.text);
    const std::string command = "cat " + (dir / "rows.txt");
    LineOutcome one;
    for (const int threads : {1, 2, 3}) {
      for (const std::size_t window : {std::size_t{4096}, std::size_t{16} << 20}) {
        std::FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        const LineOutcome got = read_lines_with("", threads, window, ShiftRule{}, pipe);
        pclose(pipe);
        if (threads == 1 && window == 4096) {
          one = got;
          EXPECT_EQ(one.bits.size(), c.points) << c.name;
        }
        EXPECT_TRUE(got == one) << c.name << ": threads " << threads << ", window " << window;
      }
    }
  }
}

}  // namespace
}  // namespace ptdelta
