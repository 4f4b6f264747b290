#include "distance/local_surface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::Rng;

std::vector<SurfacePoint> on_plane(Rng& rng, const Vec3& n, double offset, int count) {
  // Two directions in the plane, then points c + a e1 + b e2 rounded to float.
  const Vec3 any = std::fabs(n.x) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
  Vec3 e1{n.y * any.z - n.z * any.y, n.z * any.x - n.x * any.z, n.x * any.y - n.y * any.x};
  const double l = std::sqrt(e1.x * e1.x + e1.y * e1.y + e1.z * e1.z);
  e1 = {e1.x / l, e1.y / l, e1.z / l};
  const Vec3 e2{n.y * e1.z - n.z * e1.y, n.z * e1.x - n.x * e1.z, n.x * e1.y - n.y * e1.x};
  std::vector<SurfacePoint> p;
  for (int i = 0; i < count; ++i) {
    const double a = rng.uniform(-2, 2), b = rng.uniform(-2, 2);
    p.push_back({static_cast<float>(offset * n.x + a * e1.x + b * e2.x),
                 static_cast<float>(offset * n.y + a * e1.y + b * e2.y),
                 static_cast<float>(offset * n.z + a * e1.z + b * e2.z)});
  }
  return p;
}

TEST(LocalSurface, PlanesGiveTheirNormalUpToSign) {
  struct Case {
    Vec3 n;
    double offset;
  };
  const Case cases[] = {{{0, 0, 1}, 3.0}, {{1, 0, 0}, -1.0}, {{0, 1, 0}, 0.0},
                        {{1.0 / 3, 2.0 / 3, 2.0 / 3}, 5.0}, {{0.6, -0.8, 0.0}, 2.0}};
  Rng rng(11);
  for (const Case& c : cases) {
    std::vector<SurfacePoint> p = on_plane(rng, c.n, c.offset, 50);
    const LocalPlane plane = fit_local_plane(p);
    ASSERT_TRUE(plane.valid);
    const double cosine = plane.normal.x * c.n.x + plane.normal.y * c.n.y + plane.normal.z * c.n.z;
    EXPECT_NEAR(std::fabs(cosine), 1.0, 1e-6) << c.n.x << " " << c.n.y << " " << c.n.z;
    const double along = plane.centre.x * c.n.x + plane.centre.y * c.n.y + plane.centre.z * c.n.z;
    EXPECT_NEAR(along, c.offset, 1e-5);
  }
}

TEST(LocalSurface, ClosedFormMatrices) {
  // Diagonal: no rotation at all, the smallest value's axis exactly.
  EXPECT_EQ(smallest_eigenvector({4, 0, 0, 1, 0, 9}).y, 1.0);
  // Isotropic (a blob, or the corners of a cube): equal values, the first axis.
  const Vec3 iso = smallest_eigenvector({2, 0, 0, 2, 0, 2});
  EXPECT_EQ(iso.x, 1.0);
  EXPECT_EQ(iso.y, 0.0);
  // [[2,1,0],[1,2,0],[0,0,5]]: values 1, 3, 5; the smallest along (1,-1,0)/sqrt 2.
  const Eigen3 e = solve_symmetric({2, 1, 0, 2, 0, 5});
  const Vec3 v = smallest_eigenvector({2, 1, 0, 2, 0, 5});
  EXPECT_NEAR(std::fabs(v.x), std::sqrt(0.5), 1e-15);
  EXPECT_NEAR(v.x + v.y, 0.0, 1e-15);
  EXPECT_EQ(v.z, 0.0);
  double values[3] = {e.value[0], e.value[1], e.value[2]};
  std::sort(values, values + 3);
  EXPECT_NEAR(values[0], 1.0, 1e-14);
  EXPECT_NEAR(values[1], 3.0, 1e-14);
  EXPECT_NEAR(values[2], 5.0, 1e-14);
}

TEST(LocalSurface, DegenerateNeighbourhoodsAreFixedAndFewerThanThreeHaveNoPlane) {
  std::vector<SurfacePoint> two{{0, 0, 0}, {1, 1, 1}};
  EXPECT_FALSE(fit_local_plane(two).valid);
  std::vector<SurfacePoint> same{{1, 2, 3}, {1, 2, 3}, {1, 2, 3}};
  const LocalPlane point = fit_local_plane(same);
  ASSERT_TRUE(point.valid);
  EXPECT_EQ(point.normal.x, 1.0);  // a zero covariance: the first axis
  std::vector<SurfacePoint> line{{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {3, 3, 0}};
  const LocalPlane l = fit_local_plane(line);
  ASSERT_TRUE(l.valid);
  EXPECT_NEAR(l.normal.x + l.normal.y, 0.0, 1e-12);  // some direction across the line
}

TEST(LocalSurface, TheSameBitsInAnyPointOrder) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng(seed);
    std::vector<SurfacePoint> p = on_plane(rng, {0.0, 0.6, 0.8}, 1.0, 5 + static_cast<int>(seed));
    for (SurfacePoint& q : p) q.z = static_cast<float>(static_cast<double>(q.z) + 0.01 * rng.normal());
    if (seed % 4 == 0) p.push_back(p[2]);  // a duplicate weighs twice
    std::vector<SurfacePoint> shuffled = p;
    for (std::size_t i = shuffled.size() - 1; i > 0; --i)
      std::swap(shuffled[i], shuffled[static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(i + 1)))]);
    const LocalPlane a = fit_local_plane(p), b = fit_local_plane(shuffled);
    for (const auto& [x, y] : {std::pair{a.normal.x, b.normal.x}, {a.normal.y, b.normal.y}, {a.normal.z, b.normal.z},
                               {a.centre.x, b.centre.x}, {a.centre.z, b.centre.z}})
      ASSERT_EQ(std::bit_cast<std::uint64_t>(x), std::bit_cast<std::uint64_t>(y)) << "seed=" << seed;
  }
}

TEST(LocalSurface, Orientation) {
  struct Case {
    Vec3 n;
    Orientation o;
    float p[3];
    Vec3 expected;
  };
  const Orientation up{};
  const Orientation at{true, {0.0, 0.0, 10.0}};
  const Case cases[] = {
      {{0, 0, -1}, up, {0, 0, 0}, {0, 0, 1}},         {{0, 0.5, 0.5}, up, {0, 0, 0}, {0, 0.5, 0.5}},
      {{0, -1, 0}, up, {0, 0, 0}, {0, 1, 0}},         {{-1, 0, 0}, up, {0, 0, 0}, {1, 0, 0}},
      {{1, 0, 0}, up, {0, 0, 0}, {1, 0, 0}},          {{0, 0, 1}, at, {0, 0, 20}, {0, 0, -1}},
      {{0, 0, 1}, at, {0, 0, 0}, {0, 0, 1}},          {{1, 0, 0}, at, {0, 0, 0}, {1, 0, 0}},  // 0 keeps it
  };
  for (const Case& c : cases) {
    const Vec3 n = orient_normal(c.n, c.o, c.p[0], c.p[1], c.p[2]);
    EXPECT_EQ(n.x, c.expected.x);
    EXPECT_EQ(n.y, c.expected.y);
    EXPECT_EQ(n.z, c.expected.z);
  }
}

// The solver taking several matrices at once gives each one's bits: random
// covariances of point sets, matrices with zero and negative-zero entries (a
// rotation skipped in one lane while its neighbours rotate), diagonal, equal
// eigenvalues, all zero; groups of every length around the lane count.
TEST(LocalSurface, SolvingManyAtOnceGivesEachMatrixItsOwnBits) {
  Rng rng(11);
  std::vector<Symmetric3> all = {{0, 0, 0, 0, 0, 0},  {2, 0, 0, 2, 0, 2}, {4, -0.0, 0, 1, 0, 9}, {1, 1e-300, 0, 1, 0, 1},
                                 {3, 0, 1, 3, 0, 3},  {1, 2, 3, 4, 5, 6}, {1, -0.0, -0.0, 1, -0.0, 1},
                                 // a tangent of 0 from a huge theta, a theta of -0 (equal diagonal, negative
                                 // entry), entries that are not finite
                                 {1e300, 1e-300, 0, -1e300, 0, 1}, {2, -1e-300, 0, 2, -3, 1}, {1, NAN, 0, 1, 0, 1},
                                 {INFINITY, 1, 2, 1, 0, 1}};
  for (int i = 0; i < 60; ++i) {
    std::vector<SurfacePoint> p = on_plane(rng, {rng.normal(), rng.normal(), rng.normal() + 2.0}, 1.0, 3 + i % 9);
    for (SurfacePoint& q : p) q.z += static_cast<float>(0.01 * rng.normal());
    Vec3 centre;
    Symmetric3 c;
    ASSERT_TRUE(ordered_moments(p, centre, c));
    all.push_back(c);
    if (i % 5 == 0) all.push_back({c.xx, 0.0, c.xz, c.yy, 0.0, c.zz});
  }
  const auto bits = [](const Vec3& v) {
    return std::vector<std::uint64_t>{std::bit_cast<std::uint64_t>(v.x), std::bit_cast<std::uint64_t>(v.y),
                                      std::bit_cast<std::uint64_t>(v.z)};
  };
  for (std::size_t first = 0; first < all.size(); first += 3) {
    for (const std::size_t count : {std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{9}}) {
      const std::size_t n = std::min(count, all.size() - first);
      std::vector<Vec3> out(n);
      smallest_eigenvectors(all.data() + first, n, out.data());
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(bits(out[i]), bits(smallest_eigenvector(all[first + i]))) << "matrix " << first + i;
    }
  }
  smallest_eigenvectors(all.data(), 0, nullptr);  // nothing to solve, nothing written
}

// The moments and the plane fitted from them agree with fit_ordered_plane.
TEST(LocalSurface, MomentsAreThePlanesOwn) {
  Rng rng(5);
  for (const int count : {0, 2, 3, 7, 40}) {
    const std::vector<SurfacePoint> p = on_plane(rng, {0.3, -0.2, 0.9}, 2.0, count);
    Vec3 centre{-1.0, -1.0, -1.0};
    Symmetric3 c;
    const LocalPlane plane = fit_ordered_plane(p);
    ASSERT_EQ(ordered_moments(p, centre, c), plane.valid) << count;
    if (!plane.valid) {
      EXPECT_EQ(centre.x, -1.0);  // nothing set
      continue;
    }
    EXPECT_EQ(std::bit_cast<std::uint64_t>(centre.y), std::bit_cast<std::uint64_t>(plane.centre.y));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(smallest_eigenvector(c).z), std::bit_cast<std::uint64_t>(plane.normal.z));
  }
}

}  // namespace
}  // namespace ptdelta
