// M3C2 (Lague, Brodu and Leroux 2013): the signed change along a local normal and its level of detection.
#include <algorithm>
#include <cmath>

#include "core/exact.h"
#include "distance/method.h"

namespace ptdelta {

namespace {

// The count, mean and population standard deviation of positions along the
// axis, summed in the order the grid visits them (fixed by the coordinates
// alone, whatever the input order or thread): mean = sum / n,
// deviation = sqrt(sum (a - mean)^2 / n).
struct Spread {
  std::int32_t count = 0;
  double mean = 0.0;
  double deviation = 0.0;
};

Spread spread_of(const std::vector<double>& along) {
  Spread s;
  s.count = static_cast<std::int32_t>(along.size());
  if (s.count == 0) return s;
  double sum = 0.0;
  for (const double a : along) sum += a;
  s.mean = mean_of(sum, s.count);
  double squares = 0.0;
  for (const double a : along) squares += (a - s.mean) * (a - s.mean);
  s.deviation = std::sqrt(mean_of(squares, s.count));
  return s;
}

// spread_of(a) and spread_of(b) side by side, the same bits: each sum is a
// chain of additions that waits on the one before, so the two cylinders'
// chains are run together as far as the shorter goes.
void spreads_of(const std::vector<double>& a, const std::vector<double>& b, Spread& sa, Spread& sb) {
  if (a.empty() || b.empty()) {
    sa = spread_of(a);
    sb = spread_of(b);
    return;
  }
  const std::size_t common = std::min(a.size(), b.size());
  DoublePair sum = {0.0, 0.0};
  for (std::size_t i = 0; i < common; ++i) sum += DoublePair{a[i], b[i]};
  double sum_a = sum[0], sum_b = sum[1];
  for (std::size_t i = common; i < a.size(); ++i) sum_a += a[i];
  for (std::size_t i = common; i < b.size(); ++i) sum_b += b[i];
  sa.count = static_cast<std::int32_t>(a.size());
  sb.count = static_cast<std::int32_t>(b.size());
  sa.mean = mean_of(sum_a, sa.count);
  sb.mean = mean_of(sum_b, sb.count);
  const DoublePair mean = {sa.mean, sb.mean};
  DoublePair squares = {0.0, 0.0};
  for (std::size_t i = 0; i < common; ++i) {
    const DoublePair d = DoublePair{a[i], b[i]} - mean;
    squares += d * d;
  }
  double squares_a = squares[0], squares_b = squares[1];
  for (std::size_t i = common; i < a.size(); ++i) squares_a += (a[i] - sa.mean) * (a[i] - sa.mean);
  for (std::size_t i = common; i < b.size(); ++i) squares_b += (b[i] - sb.mean) * (b[i] - sb.mean);
  sa.deviation = std::sqrt(mean_of(squares_a, sa.count));
  sb.deviation = std::sqrt(mean_of(squares_b, sb.count));
}

// The cylinders and the change of core point p along its oriented normal n.
void measure_along(const MeasureInput& in, float px, float py, float pz, const Vec3& n, MeasureScratch& scratch,
                   PointMeasure& m) {
  const SurfaceInput& surface = *in.surface;
  const SurfaceSettings& o = surface.settings;
  m.surface.normal[0] = static_cast<float>(n.x);
  m.surface.normal[1] = static_cast<float>(n.y);
  m.surface.normal[2] = static_cast<float>(n.z);
  cylinder_positions(*surface.reference, px, py, pz, n, o.cylinder_radius, o.depth, scratch.along);
  cylinder_positions(*surface.test, px, py, pz, n, o.cylinder_radius, o.depth, scratch.along_test);
  Spread ref, test;
  spreads_of(scratch.along, scratch.along_test, ref, test);
  m.surface.reference_count = ref.count;
  m.surface.test_count = test.count;
  if (ref.count < o.min_points || test.count < o.min_points) {
    m.outcome = PointOutcome::too_few;
    return;
  }
  m.distance = rounded_distance(test.mean - ref.mean);
  m.surface.lod95 = level_of_detection(ref.deviation, ref.count, test.deviation, test.count, o.registration_error);
  m.surface.significant = std::fabs(m.distance) > m.surface.lod95;
  m.outcome = PointOutcome::accepted;
}

// Core points of a block in groups: each group's normals up to their
// covariance (estimate_normal's steps), then its eigen solver at once, then
// each normal oriented and its cylinders.
void measure_m3c2_block(const MeasureInput& in, const PointColumns& points, std::int32_t first, std::int32_t count,
                        MeasureScratch& scratch, PointMeasure* out) {
  const SurfaceSettings& o = in.surface->settings;
  constexpr std::int32_t group = 16;
  Vec3 centre, normal[group];
  Symmetric3 covariance[group];
  std::int32_t which[group];
  for (std::int32_t g = 0; g < count; g += group) {
    const std::int32_t end = std::min(count, g + group);
    std::size_t normals = 0;
    for (std::int32_t q = g; q < end; ++q) {
      out[q] = PointMeasure(no_signed_distance, PointOutcome::rejected);
      const auto t = static_cast<std::size_t>(first + q);
      if (!is_finite_point(points, t)) continue;
      points_within(*in.surface->reference, points.x[t], points.y[t], points.z[t], o.m3c2_radius, scratch.neighbours);
      if (ordered_moments(scratch.neighbours, centre, covariance[normals])) which[normals++] = q;
    }
    smallest_eigenvectors(covariance, normals, normal);
    for (std::size_t i = 0; i < normals; ++i) {
      const auto t = static_cast<std::size_t>(first + which[i]);
      const float px = points.x[t], py = points.y[t], pz = points.z[t];
      measure_along(in, px, py, pz, orient_normal(normal[i], o.orientation, px, py, pz), scratch, out[which[i]]);
    }
  }
}

PointMeasure measure_m3c2(const MeasureInput& in, const PointColumns& points, std::int32_t j, std::int32_t,
                          MeasureScratch& scratch) {
  PointMeasure m;
  measure_m3c2_block(in, points, j, 1, scratch, &m);
  return m;
}

}  // namespace

const MethodTraits m3c2_traits{"m3c2", "M3C2", false, "Rejected (no normal):", "Rejected (too few points):", false,
                               measure_m3c2, measure_m3c2_block};

}  // namespace ptdelta
