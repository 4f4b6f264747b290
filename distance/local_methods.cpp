// The signed nearest point and the least-squares plane through the K nearest reference points.
#include <algorithm>
#include <cmath>

#include "core/exact.h"
#include "distance/method.h"

namespace ptdelta {

namespace {

void keep_normal(SurfaceMeasure& m, const Vec3& n) {
  m.normal[0] = static_cast<float>(n.x);
  m.normal[1] = static_cast<float>(n.y);
  m.normal[2] = static_cast<float>(n.z);
}

// The nearest point's distance, with the sign of (t - q) . n at the nearest
// reference point q; a product of exactly 0 gives +.
PointMeasure measure_signed_nearest(const MeasureInput& in, const PointColumns& points, std::int32_t j,
                                    std::int32_t own, MeasureScratch& scratch) {
  const SurfaceInput& surface = *in.surface;
  const NearestPoint q = surface.nearest != nullptr ? (*surface.nearest)[static_cast<std::size_t>(own)]
                                                    : in.search.nearest_point(points, j);
  PointMeasure m(no_signed_distance, PointOutcome::outlier);
  if (q.distance > in.maxdist || std::isinf(q.distance)) return m;
  const auto r = static_cast<std::size_t>(q.index);
  const float qx = in.ref.x[r], qy = in.ref.y[r], qz = in.ref.z[r];
  Vec3 n;
  if (surface.normals != nullptr && surface.normals->present()) {
    // Used as stored: the file's orientation is its own, and only the sign of
    // the product is taken, so neither its length nor its direction is changed.
    n = {static_cast<double>(surface.normals->x[r]), static_cast<double>(surface.normals->y[r]),
         static_cast<double>(surface.normals->z[r])};
    const bool zero = n.x == 0.0 && n.y == 0.0 && n.z == 0.0;
    if (zero || !std::isfinite(n.x) || !std::isfinite(n.y) || !std::isfinite(n.z)) {
      m.outcome = PointOutcome::rejected;
      return m;
    }
  } else if (surface.estimated != nullptr) {
    n = (*surface.estimated)[r];
    if (std::isnan(n.x)) {
      m.outcome = PointOutcome::rejected;
      return m;
    }
  } else {
    const LocalPlane plane = estimate_normal(*surface.reference, qx, qy, qz,
                                             surface.settings.normal_radius, surface.settings.orientation,
                                             scratch.neighbours);
    if (!plane.valid) {
      m.outcome = PointOutcome::rejected;
      return m;
    }
    n = plane.normal;
  }
  const auto t = static_cast<std::size_t>(j);
  const double side = dot3(difference(points.x[t], static_cast<double>(qx)), difference(points.y[t], static_cast<double>(qy)),
                           difference(points.z[t], static_cast<double>(qz)), n.x, n.y, n.z);
  m.distance = side < 0.0 ? -q.distance : q.distance;
  m.outcome = PointOutcome::accepted;
  keep_normal(m.surface, n);
  return m;
}

// |(t - c) . n| to the least-squares plane of the K nearest reference points
// in the box, rounded once; with signs, the sign of (t - c) . n, n oriented at
// t. Points of a block in groups: each group's planes up to their covariance,
// then its eigen solver at once, then each distance.
void measure_local_planes(const MeasureInput& in, const PointColumns& points, std::int32_t first, std::int32_t count,
                          MeasureScratch& scratch, PointMeasure* out) {
  const SurfaceInput& surface = *in.surface;
  const bool with_sign = surface.settings.signed_distances;
  const float none = with_sign ? no_signed_distance : excluded_distance;
  constexpr std::int32_t group = 16;
  Vec3 centre[group], normal[group];
  Symmetric3 covariance[group];
  std::int32_t which[group];
  for (std::int32_t g = 0; g < count; g += group) {
    const std::int32_t end = std::min(count, g + group);
    std::size_t planes = 0;
    for (std::int32_t q = g; q < end; ++q) {
      out[q] = PointMeasure(none, PointOutcome::rejected);
      const auto t = static_cast<std::size_t>(first + q);
      if (!is_finite_point(points, t)) continue;
      nearest_in_box(*surface.reference, points.x[t], points.y[t], points.z[t], surface.box_half_width,
                     surface.settings.plane_points, scratch.neighbours, scratch.ranked);
      canonical_order(scratch.neighbours);  // fit_local_plane's order
      if (ordered_moments(scratch.neighbours, centre[planes], covariance[planes])) which[planes++] = q;
    }
    smallest_eigenvectors(covariance, planes, normal);
    for (std::size_t i = 0; i < planes; ++i) {
      PointMeasure& m = out[which[i]];
      const auto t = static_cast<std::size_t>(first + which[i]);
      const float tx = points.x[t], ty = points.y[t], tz = points.z[t];
      const Vec3 n = orient_normal(normal[i], surface.settings.orientation, tx, ty, tz);
      keep_normal(m.surface, n);
      const double side = dot3(difference(tx, centre[i].x), difference(ty, centre[i].y),
                               difference(tz, centre[i].z), n.x, n.y, n.z);
      const float d = rounded_distance(std::fabs(side));
      if (d > in.maxdist || std::isnan(d)) {
        m.outcome = PointOutcome::outlier;
        continue;
      }
      m.outcome = PointOutcome::accepted;
      m.distance = with_sign && side < 0.0 ? -d : d;
    }
  }
}

PointMeasure measure_local_plane(const MeasureInput& in, const PointColumns& points, std::int32_t j, std::int32_t,
                                 MeasureScratch& scratch) {
  PointMeasure m;
  measure_local_planes(in, points, j, 1, scratch, &m);
  return m;
}

}  // namespace

const MethodTraits signed_nearest_traits{"nearest_point", "nearest reference point", true, "Rejected (no normal):",
                                         nullptr, true, measure_signed_nearest, nullptr};
const MethodTraits local_plane_traits{"least_squares_plane", "least-squares plane through K nearest reference points",
                                      false, "Rejected (no plane):", nullptr, true, measure_local_plane,
                                      measure_local_planes};

}  // namespace ptdelta
