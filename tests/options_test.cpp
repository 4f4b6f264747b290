#include "driver/options.h"
#include "core/exact.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

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

TEST(CommandLine, NumbersConvertLikeStrtodRoundedToFloat) {
  EXPECT_EQ(parse({"-d", "abc"}).maxdist, 0.0f);
  EXPECT_EQ(parse({"-d", "  2.5mm"}).maxdist, 2.5f);
  EXPECT_EQ(parse({"-d", "0.1"}).maxdist, 0.1f);
}

TEST(BoxHalfWidth, DerivedFromMaxdistWithFloatRoundings) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(derive_box_half_width(5.0f)), std::bit_cast<std::uint32_t>(8.66025448f));
  EXPECT_EQ(derive_box_half_width(3.0f), 5.196152f);
  EXPECT_EQ(derive_box_half_width(2.0f), 0x1.bb67aep+1f);
  EXPECT_EQ(derive_box_half_width(1.0f), 1.7320508f);
  EXPECT_EQ(derive_box_half_width(0.0f), 0.0f);
  EXPECT_EQ(derive_box_half_width(-5.0f), derive_box_half_width(5.0f));
}

}  // namespace
}  // namespace ptdelta
