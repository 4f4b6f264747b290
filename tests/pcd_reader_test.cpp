// PCD files: every data kind with several field layouts, points without coordinates, short bodies, refused headers.
#include "input/pcd_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/cloud_writers.h"

namespace ptdelta {
namespace {

using testing::PcdField;
using testing::PcdFileShape;
using testing::Xyz;

using Loaded = testing::ReadBack;

Loaded load(const std::string& bytes, CoordinateShift shift = {}) { return testing::read_back(pcd_format, bytes, shift); }

const char* const data_kinds[] = {"ascii", "binary", "binary_compressed"};

// What a float32 field or the rounding of any other type stores.
std::array<float, 3> as_floats(const Xyz& p) {
  return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
}

TEST(PcdReader, EveryFieldLayoutInEveryDataKind) {
  struct Layout {
    const char* what;
    std::vector<PcdField> fields;
    bool integers;  // the axes are of integer types: integer coordinates
    std::string version;
  };
  const Layout layouts[] = {
      {"x y z float", {{"x"}, {"y"}, {"z"}}, false, "0.7"},
      {"reordered, double z, a field of three values before y",
       {{"rgb", 'U', 4}, {"z", 'F', 8}, {"normal", 'F', 4, 3}, {"y"}, {"x"}, {"curvature"}}, false, "0.7"},
      {"integer axes among padding and a field of 33 values",
       {{"_", 'U', 1, 3}, {"x", 'I', 2}, {"fpfh", 'F', 4, 33}, {"y", 'U', 4}, {"z", 'I', 8}, {"i", 'U', 1}}, true, "0.7"},
      {"all double, 0.6 header without VERSION and VIEWPOINT",
       {{"x", 'F', 8}, {"y", 'F', 8}, {"z", 'F', 8}, {"intensity", 'U', 2}}, false, ""},
  };
  for (const Layout& layout : layouts) {
    std::vector<Xyz> points;
    for (int i = 0; i < 50; ++i) {
      if (layout.integers)
        points.push_back({i - 20.0, i * 3.0, -1000003.0 * i});
      else
        points.push_back({i * 0.375 - 7.25, i * 1.5 + 0.1, 1.0 / (i + 1)});
    }
    for (const char* kind : data_kinds) {
      PcdFileShape shape{layout.fields, kind};
      shape.version = layout.version;
      const Loaded r = load(testing::pcd_file(shape, points));
      ASSERT_EQ(r.failure, Failure::none) << layout.what << ", " << kind;
      ASSERT_EQ(r.points.size(), points.size()) << layout.what << ", " << kind;
      for (std::size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(r.points[i], as_floats(points[i])) << layout.what << ", " << kind << ", point " << i;
      EXPECT_EQ(r.facts.format, &pcd_format);
      EXPECT_EQ(r.facts.skipped_points, 0);
      EXPECT_FALSE(r.facts.shortfall);
    }
  }
}

TEST(PcdReader, OrganisedCloudSkipsPointsWithoutCoordinates) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Xyz> grid = {{0, 0, 1},   {nan, nan, nan}, {2, 0, 1}, {0, 1, nan},
                                 {1, 1, 1.5}, {nan, 1, 1},     {0, 2, 1}, {1, 2, 1}};
  for (const char* kind : data_kinds) {
    PcdFileShape shape{{{"x"}, {"y"}, {"z"}, {"rgb"}}, kind};
    shape.width = 4;
    shape.height = 2;
    shape.declared = -2;  // the count comes from WIDTH x HEIGHT
    const Loaded r = load(testing::pcd_file(shape, grid));
    ASSERT_EQ(r.failure, Failure::none) << kind;
    EXPECT_EQ(r.facts.skipped_points, 3) << kind;
    const std::vector<std::array<float, 3>> kept = {{0, 0, 1}, {2, 0, 1}, {1, 1, 1.5f}, {0, 2, 1}, {1, 2, 1}};
    EXPECT_EQ(r.points, kept) << kind;
  }
}

TEST(PcdReader, ShortBodiesKeepTheirCompletePoints) {
  std::vector<Xyz> points;
  for (int i = 0; i < 10; ++i) points.push_back({i + 0.5, 2.0 * i, -i - 0.25});
  struct Case {
    const char* what;
    std::string bytes;
    std::int64_t complete, declared;
  };
  const PcdFileShape ascii{{{"x"}, {"y"}, {"z"}}, "ascii"};
  const PcdFileShape binary{{{"x"}, {"y"}, {"z"}}, "binary"};
  const PcdFileShape compressed{{{"x"}, {"y"}, {"z"}}, "binary_compressed"};
  const std::string full_ascii = testing::pcd_file(ascii, points);
  const std::string full_binary = testing::pcd_file(binary, points);
  const std::string full_compressed = testing::pcd_file(compressed, points);
  PcdFileShape huge = binary;
  huge.declared = 3000000000;
  PcdFileShape huge_ascii = ascii;
  huge_ascii.declared = 3000000000;
  const std::size_t packed_start = full_compressed.size() - 124;  // 120 bytes as four literal runs
  const Case cases[] = {
      // Line 7 holds two of its three values.
      {"ascii", full_ascii.substr(0, full_ascii.find("6.5 12 -6.25")) + "6.5 12\n", 6, 10},
      {"binary, cut inside point 7", full_binary.substr(0, full_binary.size() - 4 * 12 + 5), 6, 10},
      {"binary, 3000000000 declared", testing::pcd_file(huge, points), 10, 3000000000},
      {"ascii, 3000000000 declared", testing::pcd_file(huge_ascii, points), 10, 3000000000},
      // Three whole runs decode 96 of 120 bytes: all x, all y, and z of the first four points.
      {"compressed, cut inside the block", full_compressed.substr(0, packed_start + 99), 4, 10},
      {"compressed, without its sizes", full_compressed.substr(0, packed_start - 8 + 3), 0, 10},
  };
  for (const Case& c : cases) {
    const Loaded r = load(c.bytes);
    ASSERT_EQ(r.failure, Failure::none) << c.what;
    ASSERT_TRUE(r.facts.shortfall) << c.what;
    EXPECT_EQ(r.facts.shortfall->read, c.complete) << c.what;
    EXPECT_EQ(r.facts.shortfall->declared, c.declared) << c.what;
    EXPECT_STREQ(r.facts.shortfall->unit, "points") << c.what;
    ASSERT_EQ(r.points.size(), static_cast<std::size_t>(c.complete)) << c.what;
    for (std::size_t i = 0; i < r.points.size(); ++i) EXPECT_EQ(r.points[i], as_floats(points[i])) << c.what;
  }
}

TEST(PcdReader, RefusesWhatItCannotRead) {
  const std::vector<Xyz> points = {{1, 2, 3}, {4, 5, 6}};
  std::string wrong_size = testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "binary_compressed"}, points);
  const std::size_t sizes_at = wrong_size.size() - testing::lzf_literals(std::string(24, 'x')).size() - 4;
  wrong_size[sizes_at] = 23;  // uncompressed size 23 instead of 24
  std::string bad_reference = testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "binary_compressed"}, points);
  bad_reference.replace(bad_reference.size() - 25, 1, "\x20");  // the run's control byte: a copy from before the start
  const std::string header = "# .PCD v0.7\nVERSION 0.7\n";
  const std::string cases[] = {
      testing::pcd_file({{{"x"}, {"y"}, {"intensity"}}, "ascii"}, points),
      testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "binary_lzma"}, points),
      testing::pcd_file({{{"x"}, {"y"}, {"z", 'F', 2}}, "binary"}, points),
      testing::pcd_file({{{"x"}, {"y"}, {"z", 'Q', 4}}, "binary"}, points),
      testing::pcd_file({{{"x"}, {"y"}, {"z", 'F', 4, 0}}, "binary"}, points),
      wrong_size,
      bad_reference,
      header + "FIELDS x y z\nSIZE 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n1 2 3\n",
      header + "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\n",                 // no DATA line
      header + "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nDATA ascii\n1 2 3\n",       // no count of points
      header + "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS -1\nDATA ascii\n",
      header + "FIELDS x y z\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 1\nDATA ascii\n",
      "# .PCD v0.7\n1 2 3\n4 5 6\n",                                                  // a text file with that heading
  };
  for (const std::string& bytes : cases) EXPECT_EQ(load(bytes).failure, Failure::unsupported) << bytes;
}

TEST(PcdReader, AsciiLinesAsWritersWriteThem) {
  const std::string bytes =
      "VERSION .7\r\nFIELDS x y z\r\nSIZE 4 4 4\r\nTYPE F F F\r\nWIDTH 4\r\nHEIGHT 1\r\nPOINTS 4\r\nDATA ascii\r\n"
      "+1.5 2 3e1\r\n\r\n  4 5 6 7 8\n-nan nan 1\ninf -0 1e-50\n";
  const Loaded r = load(bytes);
  ASSERT_EQ(r.failure, Failure::none);
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::array<float, 3>> expected = {{1.5f, 2, 30}, {4, 5, 6}, {inf, -0.0f, 0.0f}};
  EXPECT_EQ(r.points, expected);
  EXPECT_TRUE(std::signbit(r.points[2][1]));
  EXPECT_EQ(r.facts.skipped_points, 1);
  EXPECT_FALSE(r.facts.shortfall);
}

// Ascii values take the "%f" grammar of text clouds, whole tokens only: "1e+"
// reads as 1 there too, "nan(1)" is "nan" and a payload, so it does not
// convert. Float fields convert as "%f" does, other fields as "%lf" and then
// round once.
TEST(PcdReader, AsciiValuesTakeTheTextGrammar) {
  struct Row {
    const char* token;
    bool converts;
  };
  const Row rows[] = {
      {"1e+", true},    {"1e", true},        {"2.5E-", true},  {"0x1p", true},   {"0x1.8p1", true},
      {"+.5", true},    {"-0", true},        {"infinity", true}, {"-INF", true},  {"1e40", true},
      {"0.1000000000000000055511151231257827", true},           {"16777217", true}, {"nan(1)", false},
      {".", false},     {"0x", false},       {"1e+5x", false}, {"infin", false}, {"+", false},
  };
  for (const char type : {'f', 'd', 'i'}) {
    const char* const field = type == 'f' ? "F 4" : type == 'd' ? "F 8" : "I 4";
    for (const Row& row : rows) {
      const std::string header = std::string("VERSION .7\nFIELDS x y z\nSIZE ") + field[2] + " 4 4\nTYPE " +
                                 field[0] + " F F\nPOINTS 1\nDATA ascii\n";
      const Loaded r = load(header + row.token + " 2 3\n");
      ASSERT_EQ(r.failure, Failure::none) << row.token << " as " << field;
      if (!row.converts) {
        EXPECT_TRUE(r.points.empty()) << row.token << " as " << field;
        EXPECT_TRUE(r.facts.shortfall.has_value()) << row.token << " as " << field;
        continue;
      }
      float expected = 0.0f;
      if (type == 'f') {
        ASSERT_EQ(std::sscanf(row.token, "%f", &expected), 1) << row.token;
      } else {
        double wide = 0.0;
        ASSERT_EQ(std::sscanf(row.token, "%lf", &wide), 1) << row.token;
        expected = static_cast<float>(wide);
      }
      ASSERT_EQ(r.points.size(), 1U) << row.token << " as " << field;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(r.points[0][0]), std::bit_cast<std::uint32_t>(expected))
          << row.token << " as " << field;
    }
  }
}

TEST(PcdReader, ShiftIsAddedInDoubleBeforeTheRounding) {
  const std::vector<Xyz> points = {{512345.678, 5412345.25, 250.5}, {512000.001, 5412999.999, -0.125}};
  const CoordinateShift shift{-512000.0, -5412000.0, 0.0};
  for (const char* kind : data_kinds) {
    const Loaded r = load(testing::pcd_file({{{"x", 'F', 8}, {"y", 'F', 8}, {"z"}}, kind}, points), shift);
    ASSERT_EQ(r.failure, Failure::none) << kind;
    ASSERT_EQ(r.points.size(), 2U);
    for (std::size_t i = 0; i < 2; ++i) {
      const std::array<float, 3> expected = {
          static_cast<float>(points[i].x + shift.x), static_cast<float>(points[i].y + shift.y),
          static_cast<float>(static_cast<double>(static_cast<float>(points[i].z)) + shift.z)};
      EXPECT_EQ(r.points[i], expected) << kind << ", point " << i;
    }
  }
}

}  // namespace
}  // namespace ptdelta
