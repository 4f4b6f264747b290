#include "support/full_scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/exact.h"
#include "support/clouds.h"

namespace ptdelta {
namespace {

using testing::make_cloud;
using testing::nearest_reference_distance;
using testing::plane_distance;
using testing::track_closer_points;
constexpr float inf = std::numeric_limits<float>::infinity();

TEST(NearestDistance, BoxExampleWithMaxdistTwo) {
  const float h = derive_box_half_width(2.0f);
  ASSERT_EQ(h, 0x1.bb67aep+1f);
  const PointColumns ref = make_cloud({{3.5f, 0, 0}, {3, 0, 0}, {0, 2, 0}, {0, 0, -2}});
  const PointColumns test = make_cloud({{0, 0, 0}});
  EXPECT_FALSE(inside_box(ref, 0, test, 0, h));  // 3.5 - h is not below 0
  EXPECT_EQ(point_distance(ref, 1, test, 0), 3.0f);
  EXPECT_EQ(nearest_reference_distance(ref, test, 0, h), 2.0f);
}

TEST(NearestDistance, BoxFacesAreOutsideAndNothingIsInsideAZeroBox) {
  const float h = derive_box_half_width(2.0f);
  const PointColumns test = make_cloud({{0, 0, 0}});
  for (const auto& p : {std::array<float, 3>{h, 0, 0}, {-h, 0, 0}, {0, h, 0}, {0, -h, 0}, {0, 0, h}, {0, 0, -h}}) {
    const PointColumns ref = make_cloud({p});
    EXPECT_FALSE(inside_box(ref, 0, test, 0, h));
    EXPECT_EQ(nearest_reference_distance(ref, test, 0, h), inf);
  }
  const PointColumns same = make_cloud({{0, 0, 0}});
  EXPECT_EQ(nearest_reference_distance(same, test, 0, 1.0f), 0.0f);
  EXPECT_EQ(nearest_reference_distance(same, test, 0, 0.0f), inf);  // maxdist 0
  EXPECT_EQ(nearest_reference_distance(make_cloud({}), test, 0, h), inf);
}

TEST(NearestDistance, LargeRealDistancesAreNotHiddenBySentinels) {
  // A reference point 20000 away inside a box of maxdist 20000.
  const PointColumns ref = make_cloud({{20000, 0, 0}});
  const PointColumns test = make_cloud({{0, 0, 0}});
  EXPECT_EQ(nearest_reference_distance(ref, test, 0, derive_box_half_width(20000.0f)), 20000.0f);
}

TEST(PlaneDistance, KeepsTheLastThreeImprovementsNotTheThreeNearest) {
  const float h = derive_box_half_width(10.0f);
  const PointColumns ref = make_cloud({{6, 0, 0}, {0, 5, 0}, {0, 0, 1}, {2, 0, 0}, {0, 3, 0}});
  const PointColumns test = make_cloud({{0, 0, 0}});
  PlaneCandidates c;
  EXPECT_EQ(track_closer_points(ref, test, 0, h, c), 3);
  EXPECT_EQ(c.newest, 2);
  EXPECT_EQ(c.previous, 1);
  EXPECT_EQ(c.oldest, 0);
  const PlaneCoefficients p = plane_through_points(ref, c);
  EXPECT_EQ(p.a, -5.0f);
  EXPECT_EQ(p.b, -6.0f);
  EXPECT_EQ(p.c, -30.0f);
  EXPECT_EQ(p.d, 30.0f);
  const auto d = plane_distance(ref, test, 0, h, c);
  ASSERT_TRUE(d);
  EXPECT_EQ(*d, static_cast<float>(30.0 / 31.0));
}

TEST(PlaneDistance, PlaneXPlusYPlusZEqualsOne) {
  const float h = derive_box_half_width(1.0f);
  const PointColumns ref = make_cloud({{0, 0, 1}, {0, 1, 0}, {1, 0, 0}});
  const PointColumns test = make_cloud({{0.3f, 0.2f, 0.1f}});
  PlaneCandidates c;
  const auto d = plane_distance(ref, test, 0, h, c);
  ASSERT_TRUE(d);
  const PlaneCoefficients p = plane_through_points(ref, c);
  EXPECT_EQ(p.a, 1.0f);
  EXPECT_EQ(p.b, 1.0f);
  EXPECT_EQ(p.c, 1.0f);
  EXPECT_EQ(p.d, -1.0f);
  // |0.3 + 0.2 + 0.1 - 1| rounds to 0.39999998; the norm is sqrt(3) in float.
  EXPECT_EQ(*d, static_cast<float>(static_cast<double>(0.39999998f) / static_cast<double>(1.7320508f)));
  EXPECT_NEAR(*d, 0.2309401, 1e-7);
}

TEST(PlaneDistance, PlanesWithZeroCoefficientsAreMeasured) {
  const PointColumns test = make_cloud({{0.5f, 0.5f, 2.0f}});
  PlaneCandidates c;
  // Scanned in order of falling distance, so all three are improvements: the plane z = 0.
  const PointColumns flat = make_cloud({{3, 0, 0}, {0, 2, 0}, {1, 1, 0}});
  const auto z0 = plane_distance(flat, test, 0, 100.0f, c);
  ASSERT_TRUE(z0);
  EXPECT_EQ(c.newest, 2);
  EXPECT_EQ(*z0, 2.0f);
  // x + y = 1 through (0, 1, 5), (1, 0, 0), (0.5, 0.5, 0): C = 0.
  const PointColumns wall = make_cloud({{0, 1, 5}, {1, 0, 0}, {0.5f, 0.5f, 0}});
  const auto d = plane_distance(wall, make_cloud({{0, 0, 0}}), 0, 100.0f, c);
  ASSERT_TRUE(d);
  EXPECT_EQ(plane_through_points(wall, c).c, 0.0f);
  EXPECT_NEAR(*d, std::sqrt(0.5), 1e-7);
}

TEST(PlaneDistance, RejectsTooFewImprovementsAndCollinearPoints) {
  const PointColumns test = make_cloud({{0, 0, 0}});
  PlaneCandidates c;
  EXPECT_FALSE(plane_distance(make_cloud({}), test, 0, 10.0f, c));
  EXPECT_FALSE(plane_distance(make_cloud({{1, 0, 0}, {2, 0, 0}}), test, 0, 10.0f, c));
  // Increasing distance in index order: one improvement only.
  EXPECT_FALSE(plane_distance(make_cloud({{1, 0, 0}, {0, 2, 0}, {0, 0, 3}}), test, 0, 10.0f, c));
  // Equal distances: only the first counts.
  EXPECT_EQ(track_closer_points(make_cloud({{0, 0, 2}, {0, 2, 0}, {2, 0, 0}}), test, 0, 10.0f, c), 1);
  // Collinear: A = B = C = 0.
  EXPECT_FALSE(plane_distance(make_cloud({{3, 3, 3}, {2, 2, 2}, {1, 1, 1}}), test, 0, 10.0f, c));
}

TEST(Det3, FollowsTheFirstColumnExpansion) {
  EXPECT_EQ(det3(1, 0, 0, 0, 1, 0, 0, 0, 1), 1.0f);
  EXPECT_EQ(det3(2, 0, 0, 0, 3, 0, 0, 0, 4), 24.0f);
  EXPECT_EQ(det3(1, 2, 3, 4, 5, 6, 7, 8, 9), 0.0f);
  EXPECT_EQ(det3(0, 1, 0, 1, 0, 0, 0, 0, 1), -1.0f);
}

}  // namespace
}  // namespace ptdelta
