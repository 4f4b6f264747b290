#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/exact.h"
#include "distance/comparison_pass.h"
#include "distance/spatial_index.h"
#include "support/full_scan.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::Rng;

// Points spread evenly over a sphere of `radius` around the origin.
PointColumns sphere(std::int32_t n, double radius) {
  PointColumns c;
  const double golden = 2.399963229728653;
  for (std::int32_t i = 0; i < n; ++i) {
    const double z = 1.0 - (2.0 * i + 1.0) / n, r = std::sqrt(1.0 - z * z), a = golden * i;
    EXPECT_TRUE(c.append(static_cast<float>(radius * r * std::cos(a)), static_cast<float>(radius * r * std::sin(a)),
                         static_cast<float>(radius * z)));
  }
  return c;
}

// A gently rolling terrain on a grid of `step`, raised by `lift`, with normal noise of `noise` along z.
PointColumns terrain(Rng& rng, double side, double step, double offset, double lift, double noise) {
  PointColumns c;
  for (double x = offset; x < side; x += step)
    for (double y = offset; y < side; y += step) {
      const double z = 0.3 * std::sin(0.2 * x) * std::cos(0.15 * y) + lift + noise * rng.normal();
      EXPECT_TRUE(c.append(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)));
    }
  return c;
}

PassResult run(const PointColumns& ref, const PointColumns& test, Method method, float maxdist,
               const SurfaceSettings& s, int threads) {
  PassResult r;
  PointColumns copy = ref;
  EXPECT_EQ(comparison_pass(std::move(copy), test, method, maxdist, s, nullptr, threads, no_progress(), r),
            Failure::none);
  return r;
}

std::vector<std::uint32_t> bits(const PassResult& r) {
  std::vector<std::uint32_t> b;
  for (std::size_t i = 0; i < r.cd.size(); ++i) {
    b.push_back(std::bit_cast<std::uint32_t>(r.cd[i]));
    b.push_back(static_cast<std::uint32_t>(r.outcome[i]));
    for (const float n : r.surface[i].normal) b.push_back(std::bit_cast<std::uint32_t>(n));
    b.push_back(std::bit_cast<std::uint32_t>(r.surface[i].lod95));
    b.push_back(static_cast<std::uint32_t>(r.surface[i].reference_count));
    b.push_back(static_cast<std::uint32_t>(r.surface[i].test_count));
  }
  return b;
}

TEST(SurfaceMethods, M3C2FindsAKnownShiftAndALevelOfDetectionFromTheNoise) {
  Rng rng(7);
  const double noise = 0.01, shift = 0.05;
  const PointColumns ref = terrain(rng, 12.0, 0.1, 0.0, 0.0, noise);
  const PointColumns test = terrain(rng, 12.0, 0.1, 0.05, shift, noise);
  SurfaceSettings s;
  s.m3c2_radius = 0.8;
  const PassResult r = run(ref, test, Method::m3c2, 1.0f, s, 2);
  ASSERT_TRUE(r.is_signed);
  double sum = 0.0, lod = 0.0;
  std::int32_t n = 0;
  for (std::size_t i = 0; i < r.cd.size(); ++i) {
    if (r.outcome[i] != PointOutcome::accepted) continue;
    sum += static_cast<double>(r.cd[i]);
    lod += static_cast<double>(r.surface[i].lod95);
    EXPECT_TRUE(r.surface[i].significant) << i;
    ++n;
  }
  ASSERT_GT(n, test.count / 2);
  EXPECT_NEAR(sum / n, shift, 0.002);
  // Cylinders of radius 0.4 on a 0.1 grid hold about 50 points of each cloud:
  // 1.96 * sqrt(2 * noise^2 / 50) is about 0.0039.
  EXPECT_NEAR(lod / n, 1.96 * std::sqrt(2.0 * noise * noise / 50.0), 0.0015);
}

TEST(SurfaceMethods, SignedDistancesTellInsideFromOutsideOfASphere) {
  const PointColumns ref = sphere(20000, 1.0);
  SurfaceSettings s;
  s.signed_distances = true;
  s.normal_radius = 0.08;
  s.orientation = {true, {0.0, 0.0, 0.0}};  // normals point to the centre: inside is +
  for (const double radius : {0.9, 1.1}) {
    const PointColumns test = sphere(3000, radius);
    for (const Method method : {Method::nearest_point, Method::local_plane}) {
      s.plane_points = 8;
      const PassResult r = run(ref, test, method, 0.5f, s, 3);
      for (std::size_t i = 0; i < r.cd.size(); ++i) {
        ASSERT_EQ(r.outcome[i], PointOutcome::accepted) << i;
        EXPECT_NEAR(static_cast<double>(r.cd[i]), 1.0 - radius, 0.01) << i;
      }
    }
  }
}

TEST(SurfaceMethods, EveryThreadCountAndTestOrderGivesTheSameBits) {
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    Rng rng(seed);
    const PointColumns ref = testing::surface_cloud(rng, 6000, 30.0, 0.05);
    PointColumns test = testing::surface_cloud(rng, 3000, 30.0, 0.05);
    struct Case {
      Method method;
      SurfaceSettings s;
    };
    SurfaceSettings signed_nearest, plane, m3c2;
    signed_nearest.signed_distances = true;
    signed_nearest.normal_radius = 1.5;
    plane.plane_points = 6;
    plane.signed_distances = seed % 2 == 0;
    m3c2.m3c2_radius = 2.0;
    m3c2.min_points = 3;
    for (const Case& c : {Case{Method::nearest_point, signed_nearest}, Case{Method::local_plane, plane},
                          Case{Method::m3c2, m3c2}}) {
      const std::vector<std::uint32_t> one = bits(run(ref, test, c.method, 2.0f, c.s, 1));
      for (const int threads : {2, 3, 8})
        ASSERT_EQ(bits(run(ref, test, c.method, 2.0f, c.s, threads)), one) << "seed=" << seed << " threads=" << threads;
      // The test points backwards: each keeps its own bits (M3C2's test cylinders included).
      PointColumns backwards;
      for (std::int32_t i = test.count - 1; i >= 0; --i) {
        const auto k = static_cast<std::size_t>(i);
        ASSERT_TRUE(backwards.append(test.x[k], test.y[k], test.z[k]));
      }
      const std::vector<std::uint32_t> back = bits(run(ref, backwards, c.method, 2.0f, c.s, 2));
      const std::size_t per = one.size() / static_cast<std::size_t>(test.count);
      for (std::size_t i = 0; i < static_cast<std::size_t>(test.count); ++i)
        for (std::size_t f = 0; f < per; ++f)
          ASSERT_EQ(back[(static_cast<std::size_t>(test.count) - 1 - i) * per + f], one[i * per + f]) << "seed=" << seed;
    }
  }
}

TEST(SurfaceMethods, NearestPointOfTheIndexIsTheFullScansTieIncluded) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng(seed);
    const PointColumns ref = testing::integer_grid_cloud(rng, 500, 6);
    const PointColumns test = testing::integer_grid_cloud(rng, 200, 7);
    const float h = rng.pick({1.0f, 1.7320508f, 3.0f, 10.0f});
    SpatialIndex index;
    ASSERT_EQ(build_spatial_index(ref, h, index, 2), Failure::none);
    const testing::FullScanSearch scan(ref, h);
    for (std::int32_t j = 0; j < test.count; ++j) {
      const NearestPoint a = indexed_nearest_point(index, test, j), b = scan.nearest_point(test, j);
      ASSERT_EQ(std::bit_cast<std::uint32_t>(a.distance), std::bit_cast<std::uint32_t>(b.distance)) << seed;
      ASSERT_EQ(a.index, b.index) << "seed=" << seed << " j=" << j;
    }
  }
}

}  // namespace
}  // namespace ptdelta

namespace ptdelta {
namespace {

// The normals computed once per nearest reference point are those of a normal
// estimated for each test point on its own, at the full scan's nearest point:
// every normal bit, every sign, and the points without a normal (radius too
// small for 3 neighbours at some places) rejected alike.
TEST(SurfaceMethods, NormalsComputedOncePerNearestPointAreEachPointsOwn) {
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    Rng rng(seed);
    const PointColumns ref = testing::surface_cloud(rng, 3000, 20.0, 0.05);
    const PointColumns test = testing::surface_cloud(rng, 800, 20.0, 0.3);
    SurfaceSettings s;
    s.signed_distances = true;
    s.normal_radius = rng.pick({0.3, 0.8, 1.5});
    const float maxdist = 1.0f;
    const PassResult r = run(ref, test, Method::nearest_point, maxdist, s, 2);
    NeighbourGrid grid;
    ASSERT_EQ(grid.build(ref, s.normal_radius / 2.0), Failure::none);
    const testing::FullScanSearch scan(ref, derive_box_half_width(maxdist));
    std::vector<SurfacePoint> scratch;
    for (std::int32_t j = 0; j < test.count; ++j) {
      const auto i = static_cast<std::size_t>(j);
      const NearestPoint q = scan.nearest_point(test, j);
      if (!(q.distance <= maxdist)) {
        ASSERT_EQ(r.outcome[i], PointOutcome::outlier) << "seed=" << seed << " j=" << j;
        continue;
      }
      const auto k = static_cast<std::size_t>(q.index);
      const LocalPlane p = estimate_normal(grid, ref.x[k], ref.y[k], ref.z[k], s.normal_radius, s.orientation, scratch);
      ASSERT_EQ(r.outcome[i], p.valid ? PointOutcome::accepted : PointOutcome::rejected) << "seed=" << seed;
      if (!p.valid) continue;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(r.surface[i].normal[2]),
                std::bit_cast<std::uint32_t>(static_cast<float>(p.normal.z))) << "seed=" << seed << " j=" << j;
      ASSERT_EQ(std::fabs(r.cd[i]), q.distance) << "seed=" << seed << " j=" << j;
    }
  }
}

// A block of points measured together gives each point the bits of its own
// measurement: blocks of every length around the groups the eigen solver
// takes, starting anywhere, with points that have no plane or normal (far
// off the cloud, or not finite) among the others.
TEST(SurfaceMethods, BlocksGiveEachPointItsOwnMeasurement) {
  Rng rng(21);
  const PointColumns ref = testing::surface_cloud(rng, 4000, 20.0, 0.05);
  PointColumns test = testing::surface_cloud(rng, 700, 20.0, 0.2);
  for (std::int32_t j = 0; j < test.count; j += 37) test.z[static_cast<std::size_t>(j)] += 12.0f;
  test.x[5] = std::nanf("");
  NeighbourGrid ref_grid, test_grid;
  for (const Method method : {Method::local_plane, Method::m3c2}) {
    SurfaceInput surface;
    surface.settings.plane_points = 6;
    surface.settings.signed_distances = true;
    surface.settings.m3c2_radius = 1.0;
    surface.settings.cylinder_radius = 0.5;
    surface.settings.depth = 2.0;
    surface.box_half_width = derive_box_half_width(2.0f);
    const double cell = method == Method::m3c2 ? 0.5 : 0.0;
    ASSERT_EQ(ref_grid.build(ref, cell), Failure::none);
    ASSERT_EQ(test_grid.build(test, cell), Failure::none);
    surface.reference = &ref_grid;
    surface.test = &test_grid;
    const testing::FullScanSearch search(ref, surface.box_half_width);
    const MeasureInput in{ref, search, 2.0f, &surface};
    const MethodTraits& traits = method_traits(method);
    ASSERT_NE(traits.measure_block, nullptr);
    MeasureScratch scratch;
    const auto bits = [](const PointMeasure& m) {
      return std::vector<std::uint32_t>{std::bit_cast<std::uint32_t>(m.distance), static_cast<std::uint32_t>(m.outcome),
                                        std::bit_cast<std::uint32_t>(m.surface.normal[0]),
                                        std::bit_cast<std::uint32_t>(m.surface.normal[2]),
                                        std::bit_cast<std::uint32_t>(m.surface.lod95),
                                        static_cast<std::uint32_t>(m.surface.reference_count),
                                        static_cast<std::uint32_t>(m.surface.test_count)};
    };
    std::vector<std::vector<std::uint32_t>> own;
    for (std::int32_t j = 0; j < test.count; ++j) own.push_back(bits(traits.measure(in, test, j, j, scratch)));
    for (const std::int32_t length : {1, 15, 16, 17, 33, 100}) {
      for (std::int32_t first = 0; first + length <= test.count; first += 3 * length + 1) {
        std::vector<PointMeasure> out(static_cast<std::size_t>(length));
        traits.measure_block(in, test, first, length, scratch, out.data());
        for (std::int32_t q = 0; q < length; ++q)
          ASSERT_EQ(bits(out[static_cast<std::size_t>(q)]), own[static_cast<std::size_t>(first + q)])
              << "length=" << length << " point " << first + q;
      }
    }
  }
}

}  // namespace
}  // namespace ptdelta

namespace ptdelta {
namespace {

// A plain M3C2 of one core point, every sum a scalar loop in the grid's
// order, the normal by the one-matrix solver: what the pass's groups, lanes
// and paired cylinders must give bit for bit.
struct PlainM3C2 {
  std::int32_t ref_count = 0, test_count = 0;
  float distance = 0.0f, lod95 = 0.0f;
  bool valid = false;
};

PlainM3C2 plain_m3c2(const NeighbourGrid& ref, const NeighbourGrid& test, float px, float py, float pz,
                     const SurfaceSettings& s) {
  PlainM3C2 out;
  std::vector<SurfacePoint> near;
  points_within(ref, px, py, pz, s.m3c2_radius, near);
  if (near.size() < 3) return out;
  const auto n = static_cast<std::int32_t>(near.size());
  double sx = 0.0, sy = 0.0, sz = 0.0;
  for (const SurfacePoint& q : near) {
    sx += static_cast<double>(q.x);
    sy += static_cast<double>(q.y);
    sz += static_cast<double>(q.z);
  }
  const double cx = mean_of(sx, n), cy = mean_of(sy, n), cz = mean_of(sz, n);
  Symmetric3 c;
  for (const SurfacePoint& q : near) {
    const double dx = difference(q.x, cx), dy = difference(q.y, cy), dz = difference(q.z, cz);
    c.xx += dx * dx;
    c.xy += dx * dy;
    c.xz += dx * dz;
    c.yy += dy * dy;
    c.yz += dy * dz;
    c.zz += dz * dz;
  }
  c = {mean_of(c.xx, n), mean_of(c.xy, n), mean_of(c.xz, n), mean_of(c.yy, n), mean_of(c.yz, n), mean_of(c.zz, n)};
  const Vec3 axis = orient_normal(smallest_eigenvector(c), s.orientation, px, py, pz);
  double mean[2] = {0.0, 0.0}, deviation[2] = {0.0, 0.0};
  std::int32_t count[2] = {0, 0};
  std::vector<double> along;
  for (int k = 0; k < 2; ++k) {
    cylinder_positions(k == 0 ? ref : test, px, py, pz, axis, s.cylinder_radius, s.depth, along);
    count[k] = static_cast<std::int32_t>(along.size());
    if (along.empty()) continue;
    double sum = 0.0, squares = 0.0;
    for (const double a : along) sum += a;
    mean[k] = mean_of(sum, count[k]);
    for (const double a : along) squares += (a - mean[k]) * (a - mean[k]);
    deviation[k] = std::sqrt(mean_of(squares, count[k]));
  }
  out.ref_count = count[0];
  out.test_count = count[1];
  out.valid = true;
  out.distance = rounded_distance(mean[1] - mean[0]);
  out.lod95 = level_of_detection(deviation[0], count[0], deviation[1], count[1], s.registration_error);
  return out;
}

TEST(SurfaceMethods, M3C2MatchesAPlainMeasurementOfEachCorePoint) {
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    Rng rng(seed);
    // The test cloud sparser or denser than the reference, so that either
    // cylinder may hold more points, or none.
    const PointColumns ref = terrain(rng, 8.0, 0.1, 0.0, 0.0, 0.01);
    const PointColumns test = terrain(rng, 8.0, seed % 2 == 0 ? 0.23 : 0.07, 0.03, 0.04, 0.02);
    SurfaceSettings s;
    s.m3c2_radius = rng.pick({0.4, 0.7, 1.1});
    s.cylinder_radius = rng.pick({0.05, 0.2, 0.5});
    s.depth = rng.pick({0.02, 0.5, 1.0});
    s.min_points = 0;
    s.registration_error = 0.001;
    const PassResult r = run(ref, test, Method::m3c2, 1.0f, s, 2);
    NeighbourGrid ref_grid, test_grid;
    ASSERT_EQ(ref_grid.build(ref, s.m3c2_radius / 2.0), Failure::none);
    ASSERT_EQ(test_grid.build(test, s.m3c2_radius / 2.0), Failure::none);
    for (std::size_t i = 0; i < static_cast<std::size_t>(test.count); ++i) {
      const PlainM3C2 m = plain_m3c2(ref_grid, test_grid, test.x[i], test.y[i], test.z[i], s);
      ASSERT_EQ(r.outcome[i] == PointOutcome::accepted, m.valid) << "seed=" << seed << " i=" << i;
      if (!m.valid) continue;
      ASSERT_EQ(r.surface[i].reference_count, m.ref_count) << "seed=" << seed << " i=" << i;
      ASSERT_EQ(r.surface[i].test_count, m.test_count) << "seed=" << seed << " i=" << i;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(r.cd[i]), std::bit_cast<std::uint32_t>(m.distance)) << "seed=" << seed;
      ASSERT_EQ(std::bit_cast<std::uint32_t>(r.surface[i].lod95), std::bit_cast<std::uint32_t>(m.lod95)) << "seed=" << seed;
    }
  }
}

}  // namespace
}  // namespace ptdelta
