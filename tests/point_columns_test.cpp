#include "core/point_cloud.h"

#include <gtest/gtest.h>

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
    // Growth leaves at most an eighth of the points as spare room once reading is done.
    EXPECT_LE(c.y.capacity() - c.y.size(), c.y.size() / 8) << n;
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

TEST(PointColumns, RefusesAPointBeyondTheSigned32BitCount) {
  PointColumns c;
  c.count = max_point_count;  // pretend the store is full
  EXPECT_FALSE(c.append(1.0f, 2.0f, 3.0f));
  EXPECT_EQ(c.count, max_point_count);
  EXPECT_TRUE(c.x.empty());
}

}  // namespace
}  // namespace ptdelta
