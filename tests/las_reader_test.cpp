// LAS files: versions 1.2 and 1.4 with several point formats, counts in either field, short files, refused files.
#include "input/las_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/cloud_writers.h"

namespace ptdelta {
namespace {

using testing::LasFileShape;
using testing::RawXyz;

using Loaded = testing::ReadBack;

Loaded load(const std::string& bytes, CoordinateShift shift = {}) { return testing::read_back(las_format, bytes, shift); }

std::vector<RawXyz> records(int n) {
  std::vector<RawXyz> r;
  for (int i = 0; i < n; ++i) r.push_back({i * 1001 - 5000, 2147483647 - i, -2147483647 + 7 * i});
  return r;
}

// record * scale + offset in double, the shift added, then one rounding.
std::array<float, 3> expected(const LasFileShape& shape, const RawXyz& r, CoordinateShift shift = {}) {
  const double s[3] = {static_cast<double>(r.x), static_cast<double>(r.y), static_cast<double>(r.z)};
  const double shifts[3] = {shift.x, shift.y, shift.z};
  std::array<float, 3> p{};
  for (std::size_t a = 0; a < 3; ++a) p[a] = static_cast<float>((s[a] * shape.scale[a] + shape.offset[a]) + shifts[a]);
  return p;
}

TEST(LasReader, VersionsAndPointFormats) {
  const std::vector<RawXyz> raw = records(40);
  struct Case {
    int minor, format, record_length;
    std::uint32_t gap;
  };
  const Case cases[] = {
      {2, 0, -1, 0}, {2, 1, -1, 54}, {2, 3, -1, 0}, {2, 3, 40, 0},  {0, 0, -1, 0},  {3, 2, -1, 0},
      {4, 0, -1, 0}, {4, 1, -1, 0},  {4, 3, -1, 0}, {4, 6, -1, 120}, {4, 7, -1, 0}, {4, 7, 45, 0}, {4, 10, -1, 0},
  };
  for (const Case& c : cases) {
    LasFileShape shape;
    shape.minor = c.minor;
    shape.format = c.format;
    shape.record_length = c.record_length;
    shape.gap = c.gap;
    shape.scale[0] = 0.001;
    shape.scale[2] = 0.25;
    shape.offset[0] = 512000.5;
    shape.offset[1] = -3.0;
    const Loaded r = load(testing::las_file(shape, raw));
    const std::string what = "1." + std::to_string(c.minor) + " format " + std::to_string(c.format);
    ASSERT_EQ(r.failure, Failure::none) << what;
    ASSERT_EQ(r.points.size(), raw.size()) << what;
    for (std::size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(r.points[i], expected(shape, raw[i])) << what << " " << i;
    EXPECT_EQ(r.facts.format, &las_format);
    EXPECT_FALSE(r.facts.shortfall) << what;
  }
}

TEST(LasReader, CountsAndShortFiles) {
  const std::vector<RawXyz> raw = records(10);
  struct Case {
    const char* what;
    LasFileShape shape;
    std::size_t cut;  // bytes taken off the end
    std::int64_t kept, declared;  // declared 0: the file is complete
  };
  LasFileShape legacy_wins;
  legacy_wins.minor = 4;
  legacy_wins.format = 6;
  legacy_wins.legacy_count = 4;
  legacy_wins.count_64 = 9;
  LasFileShape count_64;
  count_64.minor = 4;
  count_64.format = 7;
  count_64.count_64 = 5000000000ULL;
  LasFileShape huge_legacy;
  huge_legacy.legacy_count = 4000000000U;
  LasFileShape twelve;
  twelve.format = 1;
  LasFileShape in_records = twelve;
  in_records.gap = 100;
  const Case cases[] = {
      {"1.4: the 32-bit count when it is not 0", legacy_wins, 0, 4, 0},
      {"1.4: the 64-bit count, short", count_64, 0, 10, 5000000000LL},
      {"a 32-bit count beyond the records", huge_legacy, 0, 10, 4000000000LL},
      {"cut inside record 8", twelve, 2 * 28 + 20, 7, 10},
      {"cut inside the variable-length records", in_records, 10 * 28 + 50, 0, 10},
  };
  for (const Case& c : cases) {
    std::string bytes = testing::las_file(c.shape, raw);
    bytes.resize(bytes.size() - c.cut);
    const Loaded r = load(bytes);
    ASSERT_EQ(r.failure, Failure::none) << c.what;
    ASSERT_EQ(r.points.size(), static_cast<std::size_t>(c.kept)) << c.what;
    for (std::size_t i = 0; i < r.points.size(); ++i) EXPECT_EQ(r.points[i], expected(c.shape, raw[i])) << c.what;
    EXPECT_EQ(r.facts.shortfall.has_value(), c.declared != 0) << c.what;
    if (c.declared != 0 && r.facts.shortfall) {
      EXPECT_EQ(r.facts.shortfall->read, c.kept) << c.what;
      EXPECT_EQ(r.facts.shortfall->declared, c.declared) << c.what;
      EXPECT_STREQ(r.facts.shortfall->unit, "points") << c.what;
    }
  }
}

TEST(LasReader, RefusesCompressedAndUnreadableFiles) {
  const std::vector<RawXyz> raw = records(3);
  std::vector<std::string> cases;
  for (const int format : {0x80, 0x83, 0x46, 11, 63}) {
    LasFileShape shape;
    shape.format = format;
    shape.record_length = 34;
    cases.push_back(testing::las_file(shape, raw));
  }
  LasFileShape short_record;
  short_record.format = 3;
  short_record.record_length = 33;
  cases.push_back(testing::las_file(short_record, raw));
  LasFileShape nan_scale;
  nan_scale.scale[1] = std::numeric_limits<double>::quiet_NaN();
  cases.push_back(testing::las_file(nan_scale, raw));
  std::string version_2 = testing::las_file({}, raw);
  version_2[24] = 2;
  cases.push_back(version_2);
  std::string minor_5 = testing::las_file({}, raw);
  minor_5[25] = 5;
  cases.push_back(minor_5);
  std::string offset_in_header = testing::las_file({}, raw);
  offset_in_header[96] = 100;  // points said to start inside the header
  cases.push_back(offset_in_header);
  cases.push_back(testing::las_file({}, raw).substr(0, 200));  // the header itself cut short
  LasFileShape count_64_without_room;
  count_64_without_room.minor = 4;
  count_64_without_room.format = 6;
  std::string small_header = testing::las_file(count_64_without_room, raw);
  small_header[94] = static_cast<char>(235 & 0xFF);  // a 1.4 header too short for its 64-bit count
  small_header[95] = 0;
  cases.push_back(small_header);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(load(cases[i]).failure, Failure::unsupported) << i;
}

TEST(LasReader, ShiftIsAddedToTheScaledValue) {
  LasFileShape shape;
  shape.scale[0] = shape.scale[1] = shape.scale[2] = 0.001;
  shape.offset[0] = 512000.0;
  shape.offset[1] = 5412000.0;
  const std::vector<RawXyz> raw = {{345678, 345250, 250500}, {1, 999999, -125}};
  const CoordinateShift shift{-512000.0, -5412000.0, 0.0};
  const Loaded r = load(testing::las_file(shape, raw), shift);
  ASSERT_EQ(r.failure, Failure::none);
  ASSERT_EQ(r.points.size(), 2U);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(r.points[i], expected(shape, raw[i], shift));
  EXPECT_EQ(r.points[0][0], static_cast<float>(512345.678 - 512000.0));
}

}  // namespace
}  // namespace ptdelta
