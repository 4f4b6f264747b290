// The LZF decompressor: literal runs, overlapping and long back-references, and every way hostile input stops it.
#include "input/lzf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ptdelta {
namespace {

struct LzfCase {
  const char* what;
  std::string in;
  std::size_t capacity;
  LzfStatus status;
  std::string out;  // the bytes produced
};

TEST(Lzf, DecodesAndStopsAtEveryFault) {
  const std::string long_run = "a" + std::string(264, 'a');
  const LzfCase cases[] = {
      {"literal run", std::string("\x02xyz", 4), 16, LzfStatus::complete, "xyz"},
      {"overlapping copy repeats one byte", std::string("\x00" "a\x20\x00", 4), 16, LzfStatus::complete, "aaaa"},
      {"distance two", std::string("\x01" "ab\x40\x01", 5), 16, LzfStatus::complete, "ababab"},
      {"long copy: length byte", std::string("\x00" "a\xE0\xFF\x00", 5), 300, LzfStatus::complete, long_run},
      {"copy before the start", std::string("\x00" "a\x20\x01", 4), 16, LzfStatus::bad_reference, "a"},
      {"copy with nothing written", std::string("\x20\x00", 2), 16, LzfStatus::bad_reference, ""},
      {"literal run cut short", std::string("\x00" "a\x05xy", 5), 16, LzfStatus::input_ended, "a"},
      {"copy without its distance", std::string("\x00" "a\x20", 3), 16, LzfStatus::input_ended, "a"},
      {"long copy without its length", std::string("\x00" "a\xE0", 3), 16, LzfStatus::input_ended, "a"},
      {"literal beyond the output", std::string("\x02xyz", 4), 2, LzfStatus::output_full, ""},
      {"copy beyond the output", std::string("\x00" "a\xE0\xFF\x00", 5), 100, LzfStatus::output_full, "a"},
      {"empty input", "", 0, LzfStatus::complete, ""},
  };
  for (const LzfCase& c : cases) {
    std::vector<unsigned char> out(c.capacity + 1, 0xEE);  // one guard byte past the capacity
    const LzfResult r = lzf_decompress(reinterpret_cast<const unsigned char*>(c.in.data()), c.in.size(), out.data(),
                                       c.capacity);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.produced)), c.out) << c.what;
    EXPECT_EQ(out[c.capacity], 0xEE) << c.what;
  }
}

}  // namespace
}  // namespace ptdelta
