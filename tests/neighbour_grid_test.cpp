#include "distance/neighbour_grid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "core/exact.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::Rng;

using Key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;

std::vector<Key> keys(const std::vector<SurfacePoint>& points) {
  std::vector<Key> k;
  for (const SurfacePoint& p : points)
    k.emplace_back(std::bit_cast<std::uint32_t>(p.x), std::bit_cast<std::uint32_t>(p.y), std::bit_cast<std::uint32_t>(p.z));
  std::sort(k.begin(), k.end());
  return k;
}

// The plain scans the grid must agree with.
std::vector<SurfacePoint> scan_within(const PointColumns& c, float px, float py, float pz, double radius) {
  std::vector<SurfacePoint> out;
  for (std::size_t i = 0; i < static_cast<std::size_t>(c.count); ++i)
    if (is_finite_point(c, i) && squared_distance(c.x[i], c.y[i], c.z[i], px, py, pz) <= radius * radius)
      out.push_back({c.x[i], c.y[i], c.z[i]});
  return out;
}

std::vector<SurfacePoint> scan_nearest(const PointColumns& c, float px, float py, float pz, float h, std::int32_t k) {
  std::vector<std::pair<std::pair<float, std::int32_t>, SurfacePoint>> all;
  for (std::size_t i = 0; i < static_cast<std::size_t>(c.count); ++i)
    if (inside_box(c.x[i], c.y[i], c.z[i], px, py, pz, h))
      all.push_back({{point_distance(c.x[i], c.y[i], c.z[i], px, py, pz), static_cast<std::int32_t>(i)},
                     {c.x[i], c.y[i], c.z[i]}});
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<SurfacePoint> out;
  for (std::size_t i = 0; i < all.size() && i < static_cast<std::size_t>(k); ++i) out.push_back(all[i].second);
  return out;
}

std::vector<double> scan_cylinder(const PointColumns& c, float px, float py, float pz, const Vec3& n, double r,
                                  double L) {
  std::vector<double> out;
  for (std::size_t i = 0; i < static_cast<std::size_t>(c.count); ++i) {
    if (!is_finite_point(c, i)) continue;
    const double dx = difference(c.x[i], px), dy = difference(c.y[i], py), dz = difference(c.z[i], pz);
    const double a = dot3(dx, dy, dz, n.x, n.y, n.z);
    const double ex = dx - a * n.x, ey = dy - a * n.y, ez = dz - a * n.z;
    if (std::fabs(a) <= L && dot3(ex, ey, ez, ex, ey, ez) <= r * r) out.push_back(a);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint64_t> bits(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::vector<std::uint64_t> b;
  for (const double d : v) b.push_back(std::bit_cast<std::uint64_t>(d));
  return b;
}

// Clouds aimed at the edge cases: integer grids with many duplicates and many
// points at exactly a whole radius, half-length or box face; a noisy surface;
// a cloud with a few non-finite points.
PointColumns make(Rng& rng, int shape) {
  switch (shape) {
    case 0:
      return testing::integer_grid_cloud(rng, 600, 7);
    case 1:
      return testing::surface_cloud(rng, 1500, 20.0, 0.05);
    default: {
      PointColumns c = testing::uniform_cloud(rng, 400, -3.0, 3.0);
      c.x[5] = std::nanf("");
      c.z[9] = INFINITY;
      return c;
    }
  }
}

TEST(NeighbourGrid, RadiusNearestAndCylinderMatchPlainScansBitForBit) {
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    Rng rng(seed);
    const int shape = static_cast<int>(seed % 3);
    const PointColumns ref = make(rng, shape);
    const PointColumns places = make(rng, shape);
    NeighbourGrid grid;
    const double cell = rng.pick({0.0, 0.5, 3.0});
    ASSERT_EQ(grid.build(ref, cell), Failure::none);
    const double radius = rng.pick({1.0, 2.0, 3.0, 1.5, 0.25, 40.0});
    const float h = rng.pick({1.0f, 2.0f, 0.5f, 3.0f});
    const std::int32_t k = rng.pick({1, 3, 6, 20});
    const Vec3 axis = rng.pick({Vec3{0.0, 0.0, 1.0}, Vec3{1.0, 0.0, 0.0}, Vec3{0.6, 0.0, 0.8}, Vec3{0.0, -0.8, 0.6}});
    const double r = rng.pick({1.0, 2.0, 0.5}), L = rng.pick({0.0, 1.0, 3.0, 2.5});
    std::vector<SurfacePoint> found;
    std::vector<double> along;
    for (std::int32_t j = 0; j < places.count; j += 7) {
      const auto i = static_cast<std::size_t>(j);
      const float px = places.x[i], py = places.y[i], pz = places.z[i];
      points_within(grid, px, py, pz, radius, found);
      ASSERT_EQ(keys(found), keys(scan_within(ref, px, py, pz, radius))) << "seed=" << seed << " j=" << j;
      nearest_in_box(grid, px, py, pz, h, k, found);
      ASSERT_EQ(keys(found), keys(scan_nearest(ref, px, py, pz, h, k))) << "seed=" << seed << " j=" << j;
      cylinder_positions(grid, px, py, pz, axis, r, L, along);
      ASSERT_EQ(bits(along), bits(scan_cylinder(ref, px, py, pz, axis, r, L))) << "seed=" << seed << " j=" << j;
    }
  }
}

TEST(NeighbourGrid, CountsDuplicatesAndPointsExactlyAtTheBounds) {
  PointColumns c;
  for (const auto& p : std::vector<std::array<float, 3>>{
           {0, 0, 0}, {0, 0, 0}, {3, 4, 0}, {0, 0, 5}, {0, 0, 5.0001f}, {2, 0, 3}, {2, 0, -3}, {2.0001f, 0, 0}})
    ASSERT_TRUE(c.append(p[0], p[1], p[2]));
  NeighbourGrid grid;
  ASSERT_EQ(grid.build(c), Failure::none);
  std::vector<SurfacePoint> found;
  points_within(grid, 0, 0, 0, 5.0, found);
  EXPECT_EQ(found.size(), 7u);  // all but (0,0,5.0001): both copies of the origin, (3,4,0) and (0,0,5) at exactly 5
  std::vector<double> along;
  cylinder_positions(grid, 0, 0, 0, {0.0, 0.0, 1.0}, 2.0, 3.0, along);
  EXPECT_EQ(bits(along), bits({0.0, 0.0, 3.0, -3.0}));  // r = 2 and L = 3 exactly count
  // Box half-width 3: (3,4,0) and (0,0,5) are outside; a tie at distance 0 keeps both copies.
  nearest_in_box(grid, 0, 0, 0, 3.0f, 2, found);
  EXPECT_EQ(keys(found), keys({{0, 0, 0}, {0, 0, 0}}));
}

// The plain full scan in the grid's order: every kept point (around() with a
// reach beyond the cloud visits all of them, column by column), then the exact
// tests. The narrowed searches must give these points in this order, since
// the sums over a neighbourhood are taken in it.
std::vector<std::uint32_t> ordered_within(const NeighbourGrid& grid, float px, float py, float pz, double radius) {
  std::vector<std::uint32_t> out;
  grid.around(px, py, pz, 1e30, [&](const NeighbourGrid::Point& q) {
    if (squared_distance(q.xyz[0], q.xyz[1], q.xyz[2], px, py, pz) <= radius * radius)
      for (const float c : q.xyz) out.push_back(std::bit_cast<std::uint32_t>(c));
  });
  return out;
}

std::vector<std::uint64_t> ordered_cylinder(const NeighbourGrid& grid, float px, float py, float pz, const Vec3& n,
                                            double r, double L) {
  std::vector<std::uint64_t> out;
  grid.around(px, py, pz, 1e30, [&](const NeighbourGrid::Point& q) {
    const double dx = difference(q.xyz[0], px), dy = difference(q.xyz[1], py), dz = difference(q.xyz[2], pz);
    const double a = dot3(dx, dy, dz, n.x, n.y, n.z);
    const double ex = dx - a * n.x, ey = dy - a * n.y, ez = dz - a * n.z;
    if (std::fabs(a) <= L && dot3(ex, ey, ez, ex, ey, ez) <= r * r) out.push_back(std::bit_cast<std::uint64_t>(a));
  });
  return out;
}

Vec3 unit_axis(double x, double y, double z) {
  const double norm = std::sqrt(dot3(x, y, z, x, y, z));
  return {x / norm, y / norm, z / norm};
}

TEST(NeighbourGrid, RadiusAndCylinderKeepTheFullScansPointsInItsOrderAndKNearestItsSet) {
  for (std::uint64_t seed = 1; seed <= 90; ++seed) {
    Rng rng(seed);
    const int shape = static_cast<int>(seed % 3);
    PointColumns ref = make(rng, shape);
    if (seed % 2 == 0) testing::shuffle_points(rng, ref);
    const PointColumns places = make(rng, shape);
    NeighbourGrid grid;
    ASSERT_EQ(grid.build(ref, rng.pick({0.0, 0.3, 0.5, 1.0, 3.0})), Failure::none);
    const double radius = rng.pick({1.0, 2.0, 3.0, 1.5, 0.25, 40.0, 0.0});
    // Axes along the grid, barely off it, tilted and at random; radii and
    // half-lengths that integer points meet exactly, and 0.
    const Vec3 axis = rng.pick({Vec3{0.0, 0.0, 1.0}, Vec3{0.0, 0.0, -1.0}, Vec3{1.0, 0.0, 0.0}, Vec3{0.6, 0.0, 0.8},
                                Vec3{0.0, -0.8, 0.6}, unit_axis(1e-9, 0.0, 1.0), unit_axis(1.0, 1e-12, -1e-7),
                                unit_axis(4e-320, -1.0, 1e-310),  // shares whose inverse overflows
                                unit_axis(rng.normal(), rng.normal(), rng.normal())});
    const double r = rng.pick({1.0, 2.0, 0.5, 0.0, 3.0}), L = rng.pick({0.0, 1.0, 3.0, 2.5, 30.0});
    // Every third place lifted off the cloud, so that whole blocks of columns
    // lie below the search.
    const float lift = rng.pick({0.0f, 2.5f, 6.0f, 15.0f});
    const float h = rng.pick({1.0f, 2.0f, 4.0f, 9.0f});
    const std::int32_t k = rng.pick({1, 3, 6, 20});
    std::vector<SurfacePoint> found;
    std::vector<double> along;
    for (std::int32_t j = 0; j < places.count; j += 5) {
      const auto i = static_cast<std::size_t>(j);
      const float px = places.x[i], py = places.y[i], pz = places.z[i] + (j % 3 == 0 ? lift : 0.0f);
      nearest_in_box(grid, px, py, pz, h, k, found);
      ASSERT_EQ(keys(found), keys(scan_nearest(ref, px, py, pz, h, k))) << "seed=" << seed << " j=" << j;
      points_within(grid, px, py, pz, radius, found);
      std::vector<std::uint32_t> got;
      for (const SurfacePoint& q : found)
        for (const float c : {q.x, q.y, q.z}) got.push_back(std::bit_cast<std::uint32_t>(c));
      ASSERT_EQ(got, ordered_within(grid, px, py, pz, radius)) << "seed=" << seed << " j=" << j;
      cylinder_positions(grid, px, py, pz, axis, r, L, along);
      std::vector<std::uint64_t> positions;
      for (const double a : along) positions.push_back(std::bit_cast<std::uint64_t>(a));
      ASSERT_EQ(positions, ordered_cylinder(grid, px, py, pz, axis, r, L)) << "seed=" << seed << " j=" << j;
    }
  }
}

TEST(NeighbourGrid, CylinderWithAnAxisThatIsNotFiniteHoldsNothing) {
  Rng rng(3);
  const PointColumns ref = testing::integer_grid_cloud(rng, 300, 5);
  NeighbourGrid grid;
  ASSERT_EQ(grid.build(ref), Failure::none);
  std::vector<double> along{1.0};
  for (const Vec3& axis : {Vec3{std::nan(""), 0.0, 1.0}, Vec3{0.0, INFINITY, 0.0}}) {
    cylinder_positions(grid, 2.0f, 2.0f, 2.0f, axis, 2.0, 2.0, along);
    EXPECT_TRUE(along.empty());
  }
}

}  // namespace
}  // namespace ptdelta
