#include "distance/plane.h"

#include "distance/method.h"

namespace ptdelta {

PlaneCoefficients plane_through_points(const PointColumns& ref, const PlaneCandidates& candidates) {
  const auto p1 = static_cast<std::size_t>(candidates.newest);
  const auto p2 = static_cast<std::size_t>(candidates.previous);
  const auto p3 = static_cast<std::size_t>(candidates.oldest);
  return plane_through(ref.x[p1], ref.y[p1], ref.z[p1], ref.x[p2], ref.y[p2], ref.z[p2], ref.x[p3], ref.y[p3],
                       ref.z[p3]);
}

std::optional<float> plane_distance_from(const PointColumns& ref, const PointColumns& test, std::int32_t j,
                                         std::int32_t improvements, const PlaneCandidates& candidates) {
  if (improvements <= 2) return std::nullopt;
  const PlaneCoefficients p = plane_through_points(ref, candidates);
  // Only a normal that vanishes altogether (coincident or collinear points) has
  // no plane; z = 0 or x + y = 1 are planes with zero coefficients.
  if (p.a == 0.0f && p.b == 0.0f && p.c == 0.0f) return std::nullopt;
  const auto tj = static_cast<std::size_t>(j);
  return plane_quotient(plane_numerator(p, test.x[tj], test.y[tj], test.z[tj]), plane_norm(p));
}

namespace {

// The three-point plane method: the points the in-order scan of the box kept.
PointMeasure measure_plane(const MeasureInput& in, const PointColumns& points, std::int32_t j, std::int32_t,
                           MeasureScratch& scratch) {
  const std::int32_t improvements = in.search.track_closer_points(points, j, scratch.candidates);
  const std::optional<float> d = plane_distance_from(in.ref, points, j, improvements, scratch.candidates);
  if (!d) return {excluded_distance, PointOutcome::rejected};
  if (!(*d < in.maxdist)) return {excluded_distance, PointOutcome::outlier};  // strict: maxdist itself is out
  return {*d, PointOutcome::accepted};
}

}  // namespace

const MethodTraits plane_traits{"plane", "plane through three reference points", true, "Rejected (no plane):",
                                nullptr, true, measure_plane, nullptr};

}  // namespace ptdelta
