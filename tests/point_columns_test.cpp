#include "input/point_columns.h"

#include <gtest/gtest.h>

#include <limits>

namespace ptdelta {
namespace {

// Commits n points numbered 0..n-1; returns the progress text printed.
std::string fill(PointColumns& c, int n) {
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < n; ++i) {
    const auto k = static_cast<std::size_t>(c.count);
    c.x[k] = static_cast<float>(i) + 0.25f;
    c.y[k] = -static_cast<float>(i);
    c.z[k] = static_cast<float>(i) * 1e-3f;
    EXPECT_TRUE(commit_point(c));
  }
  return ::testing::internal::GetCapturedStderr();
}

TEST(PointColumns, GrowsAfterEveryFiveHundredthPointAndPrintsTheCount) {
  struct Case {
    int points;
    std::size_t capacity;
    const char* progress;
  };
  for (const Case& t : {Case{0, 500, ""}, Case{499, 500, ""}, Case{500, 1000, "\b\b\b\b\b\b\b\b     500"},
                        Case{1001, 1500, "\b\b\b\b\b\b\b\b     500\b\b\b\b\b\b\b\b    1000"}}) {
    PointColumns c;
    ASSERT_TRUE(create_point_columns(c));
    EXPECT_EQ(c.x[499], 0.0f);
    EXPECT_EQ(fill(c, t.points), t.progress) << t.points;
    EXPECT_EQ(c.count, t.points);
    EXPECT_EQ(c.x.size(), t.capacity);
    EXPECT_EQ(c.y.size(), t.capacity);
    // The slot for the next point always exists.
    EXPECT_EQ(c.x.size() - static_cast<std::size_t>(c.count), static_cast<std::size_t>(500 - c.growth_counter));
    for (int i = 0; i < t.points; ++i) {
      const auto k = static_cast<std::size_t>(i);
      ASSERT_EQ(c.x[k], static_cast<float>(i) + 0.25f);
      ASSERT_EQ(c.z[k], static_cast<float>(i) * 1e-3f);
    }
  }
}

TEST(PointColumns, RefusesToGrowBeyondTheSigned32BitCount) {
  PointColumns c;
  ASSERT_TRUE(create_point_columns(c));
  // Pretend the store holds as many points as the 32-bit count allows.
  c.count = std::numeric_limits<std::int32_t>::max() - 400;
  c.growth_counter = 499;
  EXPECT_FALSE(commit_point(c));
  EXPECT_EQ(c.y.size(), 500u);  // untouched
}

}  // namespace
}  // namespace ptdelta
