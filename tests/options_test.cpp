#include "driver/options.h"

#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <vector>

#include "core/exact.h"

namespace ptdelta {
namespace {

RunOptions parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ptdelta");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, RecordsPositionsFlagsAndLastWins) {
  const RunOptions o = parse({"-r", "a.txt", "-c", "b.txt", "-o", "out.ply"});
  EXPECT_EQ(o.reference_index, 2);
  EXPECT_EQ(o.test_index, 4);
  EXPECT_EQ(o.output_index, 6);
  EXPECT_EQ(o.reference_kind, InputKind::text);
  EXPECT_EQ(o.test_kind, InputKind::text);
  EXPECT_EQ(o.maxdist, 5.0f);

  const RunOptions last = parse({"-r", "a", "-r", "b", "-d", "2", "-d", "4"});
  EXPECT_EQ(last.reference_index, 4);
  EXPECT_EQ(last.maxdist, 4.0f);

  // Flags stay set: -rp a -r b reads b as PLY; -cp x -cpl y reads y as a list.
  const RunOptions flags = parse({"-rp", "a", "-r", "b", "-cp", "x", "-cpl", "y"});
  EXPECT_EQ(flags.reference_kind, InputKind::ply);
  EXPECT_EQ(flags.reference_index, 4);
  EXPECT_EQ(flags.test_kind, InputKind::ply_list);
  EXPECT_EQ(flags.test_index, 8);
}

TEST(CommandLine, ValuesAreTestedAsOptionsToo) {
  // "-o -d 3": the export is named "-d", and "-d" is also the option.
  const RunOptions o = parse({"-o", "-d", "3"});
  EXPECT_EQ(o.output_index, 2);
  EXPECT_EQ(o.maxdist, 3.0f);
}

TEST(CommandLine, OnlyExactOptionWordsMatch) {
  const RunOptions o = parse({"-R", "a", "-r=x", "b", "-rpx", "c", "-filter", "-rpl", "list.txt", "-b", "3"});
  EXPECT_EQ(o.reference_index, 0);
  EXPECT_EQ(o.test_index, 0);
  EXPECT_EQ(o.reference_kind, InputKind::text);
}

TEST(CommandLine, OptionInLastPositionIsNotGiven) {
  EXPECT_EQ(parse({"-c", "b.txt", "-r"}).reference_index, 0);
  EXPECT_EQ(parse({"-o"}).output_index, 0);
  EXPECT_EQ(parse({"-d", "3", "-d"}).maxdist, 3.0f);
}

TEST(CommandLine, MaxdistValuesMustConvertWholeAndNotBeNegativeOrNan) {
  struct Case {
    const char* text;
    bool valid;
    float maxdist;
  };
  const float inf = std::numeric_limits<float>::infinity();
  for (const Case& c : std::vector<Case>{{"0.1", true, 0.1f}, {"  2.5", true, 2.5f}, {"0", true, 0.0f},
                                         {"-0", true, 0.0f}, {"inf", true, inf}, {"1e39", true, inf},
                                         {"0x10", true, 16.0f}, {"0,002", false, 0}, {"2.5mm", false, 0},
                                         {"2.5 ", false, 0}, {"abc", false, 0}, {"", false, 0},
                                         {"nan", false, 0}, {"-5", false, 0}, {"-inf", false, 0}}) {
    float maxdist = 7.0f;
    EXPECT_EQ(parse_maxdist(c.text, maxdist), c.valid) << c.text;
    EXPECT_EQ(maxdist, c.valid ? c.maxdist : 7.0f) << c.text;
  }
}

TEST(CommandLine, ShiftValuesAreNoneOrThreeFiniteFields) {
  struct Case {
    const char* text;
    bool valid;
    CoordinateShift shift;
  };
  for (const Case& c : std::vector<Case>{{"none", true, {}},
                                         {"0,0,0", true, {}},
                                         {"-512000,-5412000,0", true, {-512000.0, -5412000.0, 0.0}},
                                         {"1.5, 2e3,-0.25", true, {1.5, 2000.0, -0.25}},
                                         {"1,2", false, {}},
                                         {"1,2,3,", false, {}},
                                         {"1,2,3,4", false, {}},
                                         {"1,,3", false, {}},
                                         {"1,2,inf", false, {}},
                                         {"1,nan,3", false, {}},
                                         {"1,2,3m", false, {}},
                                         {"None", false, {}},
                                         {"", false, {}}}) {
    ShiftRule rule{true, {9.0, 9.0, 9.0}};
    EXPECT_EQ(parse_shift(c.text, rule), c.valid) << c.text;
    if (!c.valid) continue;
    EXPECT_FALSE(rule.automatic) << c.text;
    EXPECT_EQ(rule.value.x, c.shift.x) << c.text;
    EXPECT_EQ(rule.value.y, c.shift.y) << c.text;
    EXPECT_EQ(rule.value.z, c.shift.z) << c.text;
  }
  EXPECT_TRUE(parse({"-r", "a"}).shift.automatic);
}

TEST(CommandLine, TheFirstInvalidValueOnTheCommandLineIsKept) {
  RunOptions o = parse({"-d", "1", "-shift", "1,2", "-d", "x", "-o", "out"});
  EXPECT_EQ(o.invalid, RunOptions::Invalid::shift);
  EXPECT_EQ(o.invalid_index, 4);
  o = parse({"-d", "-1", "-shift", "bad"});
  EXPECT_EQ(o.invalid, RunOptions::Invalid::maxdist);
  EXPECT_EQ(o.invalid_index, 2);
  // A valid value after an invalid one does not make the command line valid.
  EXPECT_EQ(parse({"-d", "nan", "-d", "3"}).invalid, RunOptions::Invalid::maxdist);
  EXPECT_EQ(parse({"-d", "3", "-shift", "none"}).invalid, RunOptions::Invalid::none);
}

TEST(CommandLine, SurfaceOptionsAreCheckedAndReportedByTheirWord) {
  struct Case {
    const char* word;
    const char* value;
    bool valid;
  };
  const Case cases[] = {
      {"-normals", "0.5", true},  {"-normals", "0", false},    {"-normals", "-1", false}, {"-normals", "inf", false},
      {"-normals", "1x", false},  {"-m3c2", "2", true},        {"-m3c2", "nan", false},   {"-cylinder", "-1", false},
      {"-cylinder", "0.1", true}, {"-depth", "0", true},       {"-depth", "-0.5", false}, {"-regerror", "0", true},
      {"-regerror", "1e400", false}, {"-plane", "3", true},    {"-plane", "2", false},    {"-plane", "6.0", false},
      {"-plane", "99999999999", false}, {"-minpoints", "1", true}, {"-minpoints", "0", false},
      {"-orient", "up", true},    {"-orient", "1,2,3", true},  {"-orient", "1,2", false}, {"-orient", "down", false},
  };
  for (const Case& c : cases) {
    const RunOptions o = parse({"-r", "a", c.word, c.value, "-c", "b"});
    EXPECT_EQ(o.invalid == RunOptions::Invalid::none, c.valid) << c.word << " " << c.value;
    if (!c.valid) {
      EXPECT_STREQ(o.invalid_name, c.word + 1);
      EXPECT_EQ(o.invalid_index, 4);
    }
  }
  const RunOptions o = parse({"-plane", "8", "-orient", "1,-2,3.5", "-cylinder", "0.25", "-signed"});
  EXPECT_TRUE(o.surface.signed_distances);  // a flag, also in the last position
  EXPECT_EQ(o.surface.plane_points, 8);
  EXPECT_TRUE(o.surface.orientation.towards_viewpoint);
  EXPECT_EQ(o.surface.orientation.viewpoint.y, -2.0);
  EXPECT_EQ(o.surface.cylinder_radius, 0.25);
  EXPECT_EQ(chosen_method(o, 10, 1), Method::local_plane);
  EXPECT_EQ(chosen_method(parse({"-m3c2", "1", "-plane", "4"}), 1, 10), Method::m3c2);
  EXPECT_EQ(chosen_method(parse({}), 1, 10), Method::plane);
}

TEST(CommandLine, StoredNormalsAreReadOnlyForASignedNearestPointRun) {
  struct Case {
    std::vector<const char*> args;
    bool reads;
  };
  const Case cases[] = {{{"-signed"}, true},           {{"-signed", "-normals", "2"}, true}, {{}, false},
                        {{"-normals", "2"}, false},    {{"-signed", "-plane", "5"}, false},
                        {{"-signed", "-m3c2", "1"}, false}, {{"-m3c2", "1"}, false}};
  for (const Case& c : cases) EXPECT_EQ(reads_stored_normals(parse(c.args)), c.reads) << c.args.size();
}

TEST(BoxHalfWidth, DerivedFromMaxdistWithFloatRoundings) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(derive_box_half_width(5.0f)), std::bit_cast<std::uint32_t>(8.66025448f));
  EXPECT_EQ(derive_box_half_width(3.0f), 5.196152f);
  EXPECT_EQ(derive_box_half_width(2.0f), 0x1.bb67aep+1f);
  EXPECT_EQ(derive_box_half_width(1.0f), 1.7320508f);
  EXPECT_EQ(derive_box_half_width(0.0f), 0.0f);
  EXPECT_EQ(derive_box_half_width(-5.0f), derive_box_half_width(5.0f));
}

TEST(AutomaticShift, NearestMultipleOfAThousandHalvesAwayFromZero) {
  struct Case {
    double coordinate, shift;
  };
  for (const Case& c : std::vector<Case>{{512345.678, -512000.0},
                                         {5412345.0, -5412000.0},
                                         {250.0, 0.0},
                                         {99999.999, 0.0},
                                         {-99999.0, 0.0},
                                         {100000.0, -100000.0},
                                         {-100000.0, 100000.0},
                                         {512500.0, -513000.0},
                                         {-512500.0, 513000.0},
                                         {512499.99999999994, -512000.0},  // just below the half: fmod keeps it exact
                                         {512500.00000000006, -513000.0},
                                         {-512999.5, 513000.0},
                                         {1e15 + 500.0, -(1e15 + 1000.0)}}) {
    EXPECT_EQ(automatic_axis_shift(c.coordinate), c.shift) << std::to_string(c.coordinate);
  }
}

}  // namespace
}  // namespace ptdelta
