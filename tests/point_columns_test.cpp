#include "core/point_cloud.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace ptdelta {
namespace {

// Counts what the appender tells its sink.
struct Recorder final : ProgressSink {
  std::vector<std::int64_t> told;
  void reached(std::int64_t done) override { told.push_back(done); }
};

TEST(PointColumns, AppendKeepsTheColumnsExactlyAsLongAsTheCount) {
  for (const int n : {0, 1, 1023, 1024, 1025, 100000}) {
    PointColumns c;
    Recorder progress;
    PointAppender out(c, progress);
    for (int i = 0; i < n; ++i)
      ASSERT_TRUE(out.add(static_cast<float>(i) + 0.25f, -static_cast<float>(i), static_cast<float>(i) * 1e-3f));
    ASSERT_TRUE(out.finish());
    // Growth leaves at most a 32nd of the points as spare room once reading is done.
    EXPECT_LE(c.y.capacity() - c.y.size(), c.y.size() / 32) << n;
    EXPECT_EQ(c.count, n);
    EXPECT_EQ(c.x.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(c.z.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i);
      ASSERT_EQ(c.x[k], static_cast<float>(i) + 0.25f);
      ASSERT_EQ(c.z[k], static_cast<float>(i) * 1e-3f);
    }
    // The sink hears of every whole step, in order.
    std::vector<std::int64_t> expected;
    for (std::int64_t k = progress_report_step; k <= n; k += progress_report_step) expected.push_back(k);
    EXPECT_EQ(progress.told, expected) << n;
  }
}

// Blocks of points store and tell exactly what one point at a time does,
// whatever the block sizes and wherever they cross a progress step.
TEST(PointColumns, BlocksOfPointsAreTheSameAsOneAtATime) {
  constexpr int n = 3 * progress_report_step + 17;
  std::vector<float> xyz(3 * static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < xyz.size(); ++i) xyz[i] = static_cast<float>(i) * 0.5f - 7.0f;
  PointColumns one;
  Recorder one_told;
  PointAppender single(one, one_told);
  for (int i = 0; i < n; ++i) {
    const auto k = 3 * static_cast<std::size_t>(i);
    ASSERT_TRUE(single.add(xyz[k], xyz[k + 1], xyz[k + 2]));
  }
  for (const std::size_t block : {std::size_t{1}, std::size_t{1000}, std::size_t{70000}, std::size_t{n}}) {
    PointColumns many;
    Recorder told;
    PointAppender out(many, told);
    for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += block)
      ASSERT_TRUE(out.add_block(xyz.data() + 3 * at, std::min(block, static_cast<std::size_t>(n) - at)));
    EXPECT_EQ(many.count, n);
    EXPECT_EQ(many.x, one.x) << block;
    EXPECT_EQ(many.y, one.y) << block;
    EXPECT_EQ(many.z, one.z) << block;
    EXPECT_EQ(told.told, one_told.told) << block;
  }
  PointColumns full;
  full.count = max_point_count - 1;  // pretend the store is nearly full
  PointAppender near_limit(full, no_progress());
  EXPECT_FALSE(near_limit.add_block(xyz.data(), 2));
}

TEST(PointColumns, RefusesAPointBeyondTheSigned32BitCount) {
  PointColumns c;
  c.count = max_point_count;  // pretend the store is full
  EXPECT_FALSE(c.append(1.0f, 2.0f, 3.0f));
  EXPECT_EQ(c.count, max_point_count);
  EXPECT_TRUE(c.x.empty());
}

}  // namespace
}  // namespace ptdelta
