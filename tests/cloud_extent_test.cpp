#include "core/cloud_extent.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "support/clouds.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

std::array<std::uint64_t, 7> bits(const CloudExtent& e) {
  std::array<std::uint64_t, 7> b{};
  for (std::size_t a = 0; a < 3; ++a) {
    b[a] = std::bit_cast<std::uint64_t>(e.min[a]);
    b[3 + a] = std::bit_cast<std::uint64_t>(e.max[a]);
  }
  b[6] = static_cast<std::uint64_t>(e.finite_points);
  return b;
}

TEST(CloudExtent, CountsFinitePointsOnlyAndKeepsTheFirstOfEqualBounds) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const PointColumns cloud =
      testing::make_cloud({{nan, 9, 9}, {-0.0f, 1, 2}, {0.0f, -inf, 5}, {0.0f, 3, 0.0f}, {2, 1, -0.0f}});
  const CloudExtent e = measure_extent(cloud);
  EXPECT_EQ(e.finite_points, 3);
  EXPECT_TRUE(std::signbit(e.min[0]));   // -0 met before +0
  EXPECT_FALSE(std::signbit(e.min[2]));  // +0 met before -0
  EXPECT_EQ(e.max, (std::array<double, 3>{2, 3, 2}));
  const CloudExtent none = measure_extent(testing::make_cloud({{nan, 0, 0}}));
  EXPECT_EQ(none.finite_points, 0);
  EXPECT_EQ(none.min[1], std::numeric_limits<double>::infinity());
  EXPECT_EQ(none.max[1], -std::numeric_limits<double>::infinity());
}

TEST(CloudExtent, ChunksOnThreadsGiveTheBitsOfOnePass) {
  // Several chunks; x is a zero of either sign (its bounds are ties from the
  // first point on), y ties at -1 and 1, every 997th point is not finite.
  testing::Rng rng(11);
  PointColumns cloud = testing::uniform_cloud(rng, 300000, -1.0, 1.0);
  for (std::size_t i = 0; i < cloud.x.size(); ++i) {
    cloud.x[i] = rng.chance(0.5) ? -0.0f : 0.0f;
    if (i % 101 == 0) cloud.y[i] = rng.chance(0.5) ? -1.0f : 1.0f;
    if (i % 997 == 0) cloud.z[i] = std::numeric_limits<float>::quiet_NaN();
  }
  const auto serial = bits(measure_extent(cloud, 0, cloud.x.size()));
  for (const int threads : {1, 2, 3, 8}) EXPECT_EQ(bits(measure_extent(cloud, threads)), serial) << threads;
}

}  // namespace
}  // namespace ptdelta
