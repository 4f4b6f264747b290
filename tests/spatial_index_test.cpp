#include "distance/spatial_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "core/exact.h"
#include "support/clouds.h"
#include "support/full_scan.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::make_cloud;
using testing::nearest_reference_distance;
using testing::track_closer_points;
using testing::Rng;
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float denorm_min = std::numeric_limits<float>::denorm_min();
constexpr float largest = std::numeric_limits<float>::max();

std::string describe(std::uint64_t seed, const char* what, float h) {
  std::ostringstream s;
  s << "seed=" << seed << " " << what << " h=" << std::hexfloat << h;
  return s.str();
}

// Every test point through both searches and both methods, bits compared.
// Stops at the first difference, reporting `label` (which carries the seed).
// The index is built on three threads: its column sorts run in parallel.
bool matches_full_scan(const PointColumns& ref, const PointColumns& test, float h, const std::string& label) {
  SpatialIndex index;
  if (build_spatial_index(ref, h, index, 3) != Failure::none) {
    ADD_FAILURE() << label << ": build failed";
    return false;
  }
  for (std::int32_t j = 0; j < test.count; ++j) {
    const float slow = nearest_reference_distance(ref, test, j, h);
    const float fast = indexed_nearest_distance(index, test, j);
    if (std::bit_cast<std::uint32_t>(slow) != std::bit_cast<std::uint32_t>(fast)) {
      ADD_FAILURE() << label << " test point " << j << ": method A full scan " << std::hexfloat << slow << ", index "
                    << fast;
      return false;
    }
    // The scan shifts its kept indices on every improvement; only the found
    // ones are compared, and the index must leave the others as they were.
    PlaneCandidates s{-1, -2, -3}, f{-1, -2, -3};
    const std::int32_t ks = std::min(track_closer_points(ref, test, j, h, s), 3);
    const std::int32_t kf = indexed_track_closer_points(index, test, j, f);
    const bool same = ks == kf && (kf >= 1 ? f.newest == s.newest : f.newest == -1) &&
                      (kf >= 2 ? f.previous == s.previous : f.previous == -2) &&
                      (kf >= 3 ? f.oldest == s.oldest : f.oldest == -3);
    if (!same) {
      ADD_FAILURE() << label << " test point " << j << ": method B full scan " << ks << " {" << s.newest << ", "
                    << s.previous << ", " << s.oldest << "}, index " << kf << " {" << f.newest << ", " << f.previous
                    << ", " << f.oldest << "}";
      return false;
    }
  }
  return true;
}

enum class Shape { uniform, surface, shuffled_surface, integer_grid, line };

PointColumns make_shape(Rng& rng, Shape shape, std::int32_t n) {
  switch (shape) {
    case Shape::uniform:
      return testing::uniform_cloud(rng, n, -10.0, 10.0);
    case Shape::surface:
      return testing::surface_cloud(rng, n, 20.0, 0.1);
    case Shape::shuffled_surface: {
      PointColumns c = testing::surface_cloud(rng, n, 20.0, 0.1);
      testing::shuffle_points(rng, c);
      return c;
    }
    case Shape::line: {  // every point in one row of the grid
      PointColumns c = testing::uniform_cloud(rng, n, -10.0, 10.0);
      for (std::size_t i = 0; i < c.y.size(); ++i) {
        c.y[i] = 0.25f;
        c.z[i] = -3.0f;
      }
      return c;
    }
    case Shape::integer_grid:
      break;
  }
  return testing::integer_grid_cloud(rng, n, 1 + rng.below(6));
}

// Test points aimed at what breaks a pruned search: copies of reference points
// (distance 0, ties), points one box half-width away on some axes (box faces),
// points nudged by one float step, points a fraction to a few point spacings
// away (the nearest point just beyond what a first look covers), and points
// from the same generator.
PointColumns make_queries(Rng& rng, const PointColumns& ref, Shape shape, std::int32_t n, float h) {
  PointColumns test = make_shape(rng, shape, n);
  // About the spacing of the grid's columns for a cloud spread over 20 x 20.
  const double spacing = 20.0 / std::sqrt(0.5 * static_cast<double>(ref.count) + 1.0);
  for (std::size_t j = 0; j < test.x.size() && ref.count > 0; ++j) {
    const double kind = rng.uniform();
    if (kind < 0.3) continue;
    const auto i = static_cast<std::size_t>(rng.below(ref.count));
    float p[3] = {ref.x[i], ref.y[i], ref.z[i]};
    const double scale = spacing * rng.pick({0.3, 1.0, 2.0, 5.0});
    for (float& c : p) {
      if (kind < 0.45) break;  // an exact copy
      const double x = static_cast<double>(c);
      if (kind < 0.65) {
        if (rng.chance(0.6)) c = static_cast<float>(x + (rng.chance(0.5) ? 1.0 : -1.0) * static_cast<double>(h));
      } else if (kind < 0.75) {
        if (rng.chance(0.5)) c = std::nextafter(c, rng.chance(0.5) ? inf : -inf);
      } else {
        c = static_cast<float>(x + scale * rng.uniform(-1.0, 1.0));
      }
    }
    test.x[j] = p[0];
    test.y[j] = p[1];
    test.z[j] = p[2];
  }
  return test;
}

// Replaces a few coordinates by values no box can hold or whose distances overflow.
void sprinkle_extremes(Rng& rng, PointColumns& cloud) {
  for (std::size_t i = 0; i < cloud.x.size(); ++i) {
    if (!rng.chance(0.05)) continue;
    const float value = rng.pick({nan, inf, -inf, 1e38f, -1e38f, largest, -largest, denorm_min});
    (rng.chance(0.34) ? cloud.x : rng.chance(0.5) ? cloud.y : cloud.z)[i] = value;
  }
}

TEST(SpatialIndex, MatchesFullScanOnSeededRandomClouds) {
  const Shape shapes[] = {Shape::uniform, Shape::surface, Shape::shuffled_surface, Shape::integer_grid, Shape::line};
  for (std::uint64_t seed = 1; seed <= 2500; ++seed) {
    Rng rng(seed);
    const Shape shape = shapes[rng.below(5)];
    const std::int32_t n_ref = rng.chance(0.05) ? rng.below(3) : rng.below(500);
    PointColumns ref = make_shape(rng, shape, n_ref);
    const float h =
        shape == Shape::integer_grid
            ? rng.pick({0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 0x1.bb67aep+1f, 1e30f, inf})
            : rng.pick({0.0f, denorm_min, 1e-3f, 0.05f, 0.3f, 2.0f, 5.0f, 8.660254f, 4000.0f, 1e30f, inf, nan});
    PointColumns test = make_queries(rng, ref, rng.chance(0.8) ? shape : shapes[rng.below(5)], 1 + rng.below(40), h);
    if (seed % 5 == 0) {
      sprinkle_extremes(rng, ref);
      sprinkle_extremes(rng, test);
    }
    if (!matches_full_scan(ref, test, h, describe(seed, "random clouds", h))) return;
  }
}

TEST(SpatialIndex, MatchesFullScanWhenManyPointsAreAlmostEquallyFar) {
  // Points on a sphere or a flat circle around the test point, their radii
  // jittered by a hair: every bound a search prunes with is tight, and the
  // nearest point is wherever the jitter puts it. Radii sweep across the
  // grid's cell size, set by a sparse background.
  for (std::uint64_t seed = 1; seed <= 400; ++seed) {
    Rng rng(seed);
    const std::int32_t ring = 20 + rng.below(150), background = rng.below(300);
    PointColumns ref = testing::uniform_cloud(rng, ring + background, -10.0, 10.0);
    const double c[3] = {rng.uniform(-5, 5), rng.uniform(-5, 5), rng.uniform(-5, 5)};
    const double radius = std::exp(rng.uniform(std::log(0.05), std::log(15.0)));
    const double jitter = rng.pick({0.0, 1e-7, 1e-5, 1e-3});
    const bool flat = rng.chance(0.5);
    for (std::int32_t i = 0; i < ring; ++i) {
      const auto k = static_cast<std::size_t>(rng.below(ring + background));  // spread through the index order
      double v[3] = {rng.normal(), rng.normal(), flat ? 0.0 : rng.normal()};
      const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
      const double r = radius * (1.0 + jitter * rng.uniform(-1.0, 1.0)) / norm;
      ref.x[k] = static_cast<float>(c[0] + r * v[0]);
      ref.y[k] = static_cast<float>(c[1] + r * v[1]);
      ref.z[k] = static_cast<float>(c[2] + r * v[2]);
    }
    PointColumns test = testing::zero_cloud(3);
    for (std::size_t j = 0; j < 3; ++j) {
      const double nudge = j == 0 ? 0.0 : radius * 1e-3;
      test.x[j] = static_cast<float>(c[0] + nudge * rng.uniform(-1, 1));
      test.y[j] = static_cast<float>(c[1] + nudge * rng.uniform(-1, 1));
      test.z[j] = static_cast<float>(c[2] + nudge * rng.uniform(-1, 1));
    }
    const float h = rng.pick({1e30f, 8.660254f, static_cast<float>(radius * 1.2)});
    if (!matches_full_scan(ref, test, h, describe(seed, "points around the test point", h))) return;
  }
}

TEST(SpatialIndex, MatchesFullScanOnDegenerateClouds) {
  const std::uint64_t seed = 20240601;
  Rng rng(seed);
  const auto fill = [](std::int32_t n, auto point) {
    PointColumns c = testing::zero_cloud(n);
    for (std::int32_t i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i);
      point(i, c.x[k], c.y[k], c.z[k]);
    }
    return c;
  };
  struct Case {
    const char* what;
    PointColumns ref;
  };
  const Case cases[] = {
      {"empty", testing::zero_cloud(0)},
      {"one point", make_cloud({{1, 2, 3}})},
      {"all the same point", fill(300, [](std::int32_t, float& x, float& y, float& z) { x = y = z = 0.5f; })},
      {"a line along x", fill(300,
                              [](std::int32_t i, float& x, float& y, float& z) {
                                x = static_cast<float>(i % 37) * 0.25f;
                                y = 1;
                                z = 2;
                              })},
      {"a long line in random order (one row, sorted in place)",
       fill(70000,
            [](std::int32_t i, float& x, float& y, float& z) {
              x = static_cast<float>(static_cast<std::int64_t>(i) * 7919 % 60000) * 0.01f;  // some repeated
              y = 1;
              z = 2;
            })},
      {"a flat integer plane", fill(400,
                                    [](std::int32_t i, float& x, float& y, float& z) {
                                      x = static_cast<float>(i % 20);
                                      y = static_cast<float>(i / 20 % 7);
                                      z = 0;
                                    })},
      {"a vertical wall", fill(400,
                               [](std::int32_t i, float& x, float& y, float& z) {
                                 x = static_cast<float>(i % 3) * 0.1f;
                                 y = static_cast<float>(i % 17);
                                 z = static_cast<float>(i % 23);
                               })},
      {"two far clusters", fill(300,
                                [&](std::int32_t i, float& x, float& y, float& z) {
                                  const double far = i % 2 == 0 ? 0.0 : 1e30;
                                  x = static_cast<float>(far + rng.uniform(-1, 1));
                                  y = static_cast<float>(rng.uniform(-1, 1));
                                  z = static_cast<float>(far + rng.uniform(-1, 1));
                                })},
      {"extreme coordinates", fill(200,
                                   [&](std::int32_t, float& x, float& y, float& z) {
                                     x = rng.pick({-largest, largest, 1e38f, -3e38f, 0.0f, 1.0f});
                                     y = rng.pick({-largest, largest, 0.0f});
                                     z = static_cast<float>(rng.uniform(-1, 1));
                                   })},
      {"subnormal coordinates", fill(200,
                                     [&](std::int32_t, float& x, float& y, float& z) {
                                       x = static_cast<float>(rng.below(5)) * denorm_min;
                                       y = static_cast<float>(rng.below(5)) * denorm_min;
                                       z = static_cast<float>(rng.below(3)) * 1e-40f;
                                     })},
      {"nothing finite", fill(50,
                              [](std::int32_t i, float& x, float& y, float& z) {
                                x = i % 2 ? nan : inf;
                                y = 0;
                                z = -inf;
                              })},
  };
  for (const Case& c : cases) {
    for (const float h :
         {0.0f, -2.0f, denorm_min, 1e-40f, 1e-3f, 0.5f, 1.0f, 2.0f, 8.660254f, 1e30f, 3e38f, inf, nan}) {
      // Queries: the reference points themselves, face points, and far, extreme and non-finite points.
      PointColumns test = make_queries(rng, c.ref, Shape::uniform, 30, h);
      for (std::size_t j = 0; j < test.x.size(); j += 3) {
        test.x[j] = rng.pick({0.0f, 1e30f, -1e38f, largest, nan, inf, denorm_min, 3.0f});
        test.z[j] = rng.pick({0.0f, 1e30f, 2.0f, -largest, denorm_min});
      }
      if (!matches_full_scan(c.ref, test, h, describe(seed, c.what, h))) return;
    }
  }
}

TEST(SpatialIndex, MatchesFullScanOnLargerSurfaces) {
  // The intended use at a reduced size: a scanned surface, both ways round,
  // with the default box and with boxes that clip the nearest neighbour.
  for (std::uint64_t seed = 1; seed <= 4; ++seed) {
    Rng rng(seed * 7919);
    const bool method_b_sized = seed % 2 == 0;
    PointColumns ref = testing::surface_cloud(rng, method_b_sized ? 4000 : 20000, 60.0, 0.1);
    if (seed >= 3) testing::shuffle_points(rng, ref);
    PointColumns test = testing::surface_cloud(rng, 150, 70.0, 0.1);  // overhangs the reference
    for (std::size_t j = 0; j < test.x.size(); j += 10) test.z[j] += static_cast<float>(rng.uniform(-30, 30));
    for (const float h : {8.660254f, 0.2f, 3.0f}) {
      if (!matches_full_scan(ref, test, h, describe(seed, "surface", h))) return;
    }
  }
}

TEST(SpatialIndex, MatchesFullScanWithRepeatedAndClusteredPoints) {
  // Scanners write missing returns as 0 0 0: a third of both clouds at one
  // spot, spread through the index order. Exact duplicates (with -0 among
  // them) are held once in the index; points at nearly one spot fill one
  // column and are held as a tree. Test points sit on the spot, next to it and
  // elsewhere.
  struct Spot {
    const char* what;
    double spread;  // 0: exact duplicates
  };
  for (const Spot spot : {Spot{"a third at (0,0,0)", 0.0}, Spot{"a third within 1e-6 of (0,0,0)", 1e-6},
                          Spot{"a third within 1e-3 of (0,0,0)", 1e-3}}) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
      Rng rng(seed);
      const auto at_spot = [&](PointColumns& c) {
        for (std::size_t i = 0; i < c.x.size(); ++i) {
          if (!rng.chance(1.0 / 3.0)) continue;
          float* p[3] = {&c.x[i], &c.y[i], &c.z[i]};
          for (float* v : p)
            *v = spot.spread == 0.0 ? rng.pick({0.0f, -0.0f}) : static_cast<float>(spot.spread * rng.uniform(-1, 1));
        }
      };
      const bool surface = seed % 2 == 0;
      const std::int32_t n_ref = 300 + rng.below(3000);
      PointColumns ref = surface ? testing::surface_cloud(rng, n_ref, 20.0, 0.1) : testing::uniform_cloud(rng, n_ref, -10, 10);
      at_spot(ref);
      PointColumns test = make_queries(rng, ref, surface ? Shape::surface : Shape::uniform, 120, 1.0f);
      at_spot(test);
      for (std::size_t j = 0; j < test.x.size(); j += 7) test.x[j] = static_cast<float>(rng.uniform(-0.01, 0.01));
      for (const float h : {8.660254f, 0.5f, 1e-5f}) {
        if (!matches_full_scan(ref, test, h, describe(seed, spot.what, h))) return;
      }
    }
  }
}

TEST(SpatialIndex, KeepsTheLastThreeImprovementsWithTiesToTheSmallerIndex) {
  const float h = derive_box_half_width(10.0f);
  // Distances 6, 5, 1, 2, 3 in index order: improvements at 0, 1, 2.
  const PointColumns ref = make_cloud({{6, 0, 0}, {0, 5, 0}, {0, 0, 1}, {2, 0, 0}, {0, 3, 0}});
  const PointColumns test = make_cloud({{0, 0, 0}});
  SpatialIndex index;
  ASSERT_EQ(build_spatial_index(ref, h, index), Failure::none);
  PlaneCandidates c;
  EXPECT_EQ(indexed_track_closer_points(index, test, 0, c), 3);
  EXPECT_EQ(c.newest, 2);
  EXPECT_EQ(c.previous, 1);
  EXPECT_EQ(c.oldest, 0);
  EXPECT_EQ(indexed_nearest_distance(index, test, 0), 1.0f);

  // Equal distances: the first in index order is the improvement, so the
  // candidates are 1 (distance 2, first of three), then 0 (distance 3).
  const PointColumns ties = make_cloud({{3, 0, 0}, {0, 2, 0}, {2, 0, 0}, {0, 0, -2}, {0, 0, 3}});
  ASSERT_EQ(build_spatial_index(ties, h, index), Failure::none);
  PlaneCandidates t{7, 8, 9};
  EXPECT_EQ(indexed_track_closer_points(index, test, 0, t), 2);
  EXPECT_EQ(t.newest, 1);
  EXPECT_EQ(t.previous, 0);
  EXPECT_EQ(t.oldest, 9);  // not found: left as it was
}

TEST(SpatialIndex, SizeStaysBoundedByThePointCount) {
  // Whatever the spread, at most one column per finite point: 16 bytes per
  // point, 4 per column offset, 12 per block of 8 x 8 columns (at most one
  // per 8 columns when the grid is a single row), 9 per row of columns (rows
  // run along the longer axis, so there are at most sqrt(points) of them);
  // a cluster that fills a column (shapes 0 and 2) is held as a tree: under
  // 14 bytes per point held and 16 per tree (of more than 48 points).
  Rng rng(99);
  const std::size_t n = 5000;
  for (int shape = 0; shape < 5; ++shape) {
    PointColumns ref = testing::uniform_cloud(rng, static_cast<std::int32_t>(n), -1, 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (shape == 0 && i % 2) ref.x[i] += 1e30f;                     // two clusters far apart
      if (shape == 1) ref.x[i] = ref.z[i] = 0;                        // a line
      if (shape == 2 && i % 100 == 0) ref.x[i] = ref.y[i] = largest;  // a few far points
      if (shape == 3) ref.y[i] = static_cast<float>(i % 2) * 1e-30f;  // two thin sheets
      if (shape == 4) ref.x[i] = ref.y[i] = ref.z[i] = 7;             // one point, many times
    }
    SpatialIndex index;
    ASSERT_EQ(build_spatial_index(ref, 1.0f, index), Failure::none);
    const auto rows = static_cast<std::size_t>(std::sqrt(static_cast<double>(n)));
    EXPECT_LE(index.memory_bytes(), n * 16 + (n + 1) * 4 + (n / 8 + 2) * 12 + rows * 9 + n * 14 + n / 49 * 16)
        << "shape " << shape;
  }
}

}  // namespace
}  // namespace ptdelta
