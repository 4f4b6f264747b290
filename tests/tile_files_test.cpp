// The tile grid's reach, the plan and result formats with their damage checks, -mem values, and an
// appender that streams its cloud in blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/exact.h"
#include "driver/options.h"
#include "driver/tile_files.h"
#include "driver/tile_plan.h"
#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

TEST(TileGrid, ReachHoldsTheTileOfEveryPointInTheBox) {
  struct Case {
    float r, h;
    double size;
    std::int64_t first, last;
  };
  // Closed bounds: a point exactly h from an edge reaches both sides.
  for (const Case& c : {Case{0.0f, 0.5f, 2.0, -1, 0}, Case{0.5f, 0.5f, 2.0, 0, 0}, Case{1.5f, 0.5f, 2.0, 0, 1},
                        Case{-0.5f, 0.5f, 2.0, -1, 0}, Case{1.0f, 0.5f, 0.25, 2, 6}, Case{-3.0f, 0.0f, 2.0, -2, -2}}) {
    const TileGrid grid{c.size, c.h};
    EXPECT_EQ(grid.reach(c.r), (std::pair<std::int64_t, std::int64_t>{c.first, c.last})) << c.r << " " << c.size;
  }
  // Any pair the box test keeps has the test point's tile in the reach.
  testing::Rng rng(7);
  for (int i = 0; i < 20000; ++i) {
    const double size = rng.pick({0.1, 1.0, 3.0, 0.7});
    const auto h = static_cast<float>(rng.uniform(0.0, 2.0));
    const auto r = static_cast<float>(rng.uniform(-10.0, 10.0));
    // t at r +- h and just inside, where the rounding of the bounds decides.
    const float edge = rng.chance(0.5) ? r + h : r - h;
    const float t = rng.chance(0.5) ? edge : std::nextafter(edge, r);
    if (!inside_slab(r, t, h)) continue;
    const TileGrid grid{size, h};
    const auto [first, last] = grid.reach(r);
    const std::int64_t tile = grid.cell(static_cast<double>(t));
    ASSERT_LE(first, tile) << r << " " << t << " " << h << " " << size;
    ASSERT_LE(tile, last) << r << " " << t << " " << h << " " << size;
  }
}

TilePlan sample_plan() {
  TilePlan plan;
  plan.arguments = {"-r", "a b.txt", "-c", "t.txt", "-o", "out.ply", "-tiles", "2"};
  plan.folder = "/tmp/x";
  plan.reference = {"-r", "a b.txt", "text", {}, {}, 12};
  plan.test = {"-cp", "list.txt", "list", {"p1.ply", "p2.ply"}, {"ply", "las"}, 7};
  plan.warnings = {"Warning: one", ""};
  plan.shift = {-500000.0, 0.125, -0.0};
  plan.method = Method::plane;
  plan.maxdist = 0.3f;
  plan.tile_size = 2.5;
  plan.inputs = {{"a b.txt", 10, 20}, {"t.txt", -1, -1}};
  plan.tasks = {{-1, 0, 5, 3}, {4, -7, 0, 4}};
  plan.non_finite_points = 1;
  return plan;
}

TEST(TilePlanFile, ReadsBackAndRefusesEveryDamage) {
  const std::string bytes = encode_plan(sample_plan());
  TilePlan back;
  ASSERT_TRUE(decode_plan(bytes, back));
  EXPECT_EQ(encode_plan(back), bytes);
  EXPECT_EQ(back.test.files, sample_plan().test.files);
  EXPECT_EQ(std::signbit(back.shift.z), true);
  EXPECT_EQ(back.tasks[1].row, -7);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::string damaged = bytes;
    damaged[i] = static_cast<char>(damaged[i] ^ 0x40);
    EXPECT_FALSE(decode_plan(damaged, back)) << "byte " << i;
  }
  for (const std::size_t keep : {std::size_t{0}, std::size_t{10}, bytes.size() / 2, bytes.size() - 1})
    EXPECT_FALSE(decode_plan(bytes.substr(0, keep), back)) << keep;
  EXPECT_FALSE(decode_plan(bytes + "x", back));
}

TEST(TileResultFile, WholeMissingOrDamaged) {
  testing::TempDir dir;
  const std::vector<std::int32_t> index{2, 5, 9};
  const std::vector<float> cd{0.5f, excluded_distance, std::nanf("")};
  const std::vector<PointOutcome> outcome{PointOutcome::accepted, PointOutcome::outlier, PointOutcome::rejected};
  const std::string bytes = encode_result(77, 3, index, cd, outcome);
  const std::string path = dir / "result-3";
  struct Case {
    std::string bytes;  // empty: no file
    std::uint64_t hash;
    std::int64_t task, count, test_points;
    ResultState state;
  };
  std::string out_of_order = bytes;
  out_of_order[bytes.size() - 8 - 9] = 1;  // the last index below the one before (the checksum then fails too)
  const Case cases[] = {
      {bytes, 77, 3, 3, 10, ResultState::whole},
      {"", 77, 3, 3, 10, ResultState::missing},
      {bytes, 78, 3, 3, 10, ResultState::damaged},   // another plan
      {bytes, 77, 4, 3, 10, ResultState::damaged},   // another task
      {bytes, 77, 3, 2, 10, ResultState::damaged},   // another count
      {bytes, 77, 3, 3, 9, ResultState::damaged},    // an index beyond the cloud
      {bytes.substr(0, bytes.size() - 1), 77, 3, 3, 10, ResultState::damaged},
      {bytes + '\0', 77, 3, 3, 10, ResultState::damaged},
      {out_of_order, 77, 3, 3, 10, ResultState::damaged},
  };
  for (const Case& c : cases) {
    std::remove(path.c_str());
    if (!c.bytes.empty()) testing::write_file(path, c.bytes);
    std::vector<std::int32_t> seen;
    std::vector<std::uint32_t> bits;
    const ResultState state = read_result(path, c.hash, c.task, c.count, c.test_points,
                                          [&](std::int32_t i, float d, PointOutcome) {
                                            seen.push_back(i);
                                            bits.push_back(std::bit_cast<std::uint32_t>(d));
                                          });
    EXPECT_EQ(state, c.state) << &c - cases;
    if (state == ResultState::whole) {
      EXPECT_EQ(seen, index);
      EXPECT_EQ(bits[2], std::bit_cast<std::uint32_t>(cd[2]));  // NaN kept bit for bit
    }
  }
}

TEST(TileOptions, MemorySizes) {
  struct Case {
    const char* text;
    bool valid;
    std::int64_t bytes;
  };
  for (const Case& c : {Case{"2G", true, std::int64_t{2} << 30}, Case{"512M", true, std::int64_t{512} << 20},
                        Case{"64k", true, 65536}, Case{"1000", true, 1000}, Case{"0", false, 0}, Case{"0G", false, 0},
                        Case{"G", false, 0}, Case{"2GB", false, 0}, Case{"-1", false, 0}, Case{"1.5G", false, 0},
                        Case{"4294967297G", false, 0}, Case{"4294967296G", true, std::int64_t{1} << 62}, Case{"", false, 0}}) {
    std::int64_t bytes = 0;
    EXPECT_EQ(parse_memory_size(c.text, bytes), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

// Hands blocks to a cloud of its own, with the index each block starts at.
class Collect final : public BlockSink {
 public:
  bool take(const PointColumns& block, std::int64_t first) override {
    starts.push_back(first);
    EXPECT_EQ(first, all.count);
    for (std::size_t i = 0; i < static_cast<std::size_t>(block.count); ++i)
      if (!all.append(block.x[i], block.y[i], block.z[i])) return false;
    return true;
  }
  PointColumns all;
  std::vector<std::int64_t> starts;
};

class Counts final : public ProgressSink {
 public:
  void reached(std::int64_t done) override { seen.push_back(done); }
  std::vector<std::int64_t> seen;
};

TEST(StreamingAppender, HandsOnBlocksInInputOrderWithTheSameCounts) {
  const std::int32_t n = 2 * stream_block_points + 1234;
  testing::Rng rng(3);
  PointColumns source = testing::uniform_cloud(rng, n, -5.0, 5.0);
  PointColumns held, block;
  Counts held_counts, streamed_counts;
  PointAppender whole(held, held_counts), streamed(block, streamed_counts);
  Collect sink;
  streamed.stream_to(sink);
  std::vector<float> xyz;
  for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
    ASSERT_TRUE(whole.add(source.x[i], source.y[i], source.z[i]));
    // Half the points one by one, half as blocks of 1000.
    if (i < static_cast<std::size_t>(n) / 2) {
      ASSERT_TRUE(streamed.add(source.x[i], source.y[i], source.z[i]));
      continue;
    }
    xyz.insert(xyz.end(), {source.x[i], source.y[i], source.z[i]});
    if (xyz.size() == 3000 || i + 1 == static_cast<std::size_t>(n)) {
      ASSERT_TRUE(streamed.add_block(xyz.data(), xyz.size() / 3));
      xyz.clear();
    }
    EXPECT_LE(block.count, stream_block_points + 1000);
  }
  ASSERT_TRUE(whole.finish());
  ASSERT_TRUE(streamed.finish());
  EXPECT_EQ(streamed.total(), n);
  EXPECT_EQ(block.count, 0);
  EXPECT_EQ(sink.all.x, held.x);
  EXPECT_EQ(sink.all.y, held.y);
  EXPECT_EQ(sink.all.z, held.z);
  EXPECT_EQ(streamed_counts.seen, held_counts.seen);
  EXPECT_GE(sink.starts.size(), 3u);
}

}  // namespace
}  // namespace ptdelta
