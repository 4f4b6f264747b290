// Header lines: what is kept of a long line, where a line or a header is refused, lines across blocks.
#include "input/header_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace ptdelta {
namespace {

struct Outcome {
  HeaderLineEnd end;
  std::string line;
  bool cut;
  bool operator==(const Outcome&) const = default;
};

// Every line of `text` (until one is not a line), read with `limits`; the
// source is a stream read in blocks of `block` bytes, so lines straddle blocks.
std::vector<Outcome> read_all(const std::string& text, HeaderLineLimits limits, std::size_t block) {
  std::vector<Outcome> lines;
  std::string copy = text;
  std::FILE* f = fmemopen(copy.data(), copy.size(), "r");
  EXPECT_NE(f, nullptr);
  {
    ByteSource in(f, block);
    std::string line;
    for (;;) {
      const HeaderLine r = read_header_line(in, line, limits);
      lines.push_back({r.end, line, r.cut});
      if (r.end != HeaderLineEnd::line) break;
    }
  }
  std::fclose(f);
  return lines;
}

constexpr auto line = HeaderLineEnd::line;
constexpr auto none = HeaderLineEnd::no_data;
constexpr auto over = HeaderLineEnd::over_limit;

TEST(HeaderLine, KeepsLengthAndAllowanceAtTheirEdges) {
  struct Case {
    const char* what;
    std::string text;
    HeaderLineLimits limits;
    std::vector<Outcome> expected;
  };
  const Case cases[] = {
      {"no limits; the last line may lack its '\\n'", "ab\n\ncd", {},
       {{line, "ab\n", false}, {line, "\n", false}, {line, "cd", false}, {none, "", false}}},
      {"keep counts the '\\n': exactly kept, then cut by it, then cut before it", "abc\nabcd\nabcde\n",
       {4, SIZE_MAX, SIZE_MAX},
       {{line, "abc\n", false}, {line, "abcd", true}, {line, "abcd", true}, {none, "", false}}},
      {"max_length does not count the '\\n'", "abcd\nabcde\nx\n", {SIZE_MAX, 4, SIZE_MAX},
       {{line, "abcd\n", false}, {over, "", false}}},
      {"max_length at the end of the data", "abcde", {SIZE_MAX, 4, SIZE_MAX}, {{over, "", false}}},
      {"allowance spans lines and counts every '\\n'", "ab\ncd\nef\n", {SIZE_MAX, SIZE_MAX, 6},
       {{line, "ab\n", false}, {line, "cd\n", false}, {over, "", false}}},
      {"allowance used up exactly by the last line", "ab\ncd\n", {SIZE_MAX, SIZE_MAX, 6},
       {{line, "ab\n", false}, {line, "cd\n", false}, {none, "", false}}},
      {"nothing at all", "", {}, {{none, "", false}}},
  };
  for (const Case& c : cases)
    for (const std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4096}})
      EXPECT_EQ(read_all(c.text, c.limits, block), c.expected) << c.what << ", blocks of " << block;
}

TEST(HeaderLine, AllowanceIsLoweredByWhatWasTaken) {
  const std::string text = "abc\ndef";
  ByteSource in(text.data(), text.size());
  HeaderLineLimits limits;
  limits.allowance = 100;
  std::string kept;
  ASSERT_EQ(read_header_line(in, kept, limits).end, line);
  EXPECT_EQ(limits.allowance, 96u);
  ASSERT_EQ(read_header_line(in, kept, limits).end, line);
  EXPECT_EQ(limits.allowance, 93u);
}

}  // namespace
}  // namespace ptdelta
