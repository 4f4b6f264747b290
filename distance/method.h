// method.h - the distance methods: which one a run uses, what it is called, and how it measures a point
// A method is chosen once per run; every name, console line and branch goes through its traits.
#pragma once

#include <cstdint>

#include "core/point_cloud.h"
#include "distance/plane.h"

namespace ptdelta {

// Cd value of a point that takes no part in the statistics; compared by exact equality.
inline constexpr float excluded_distance = -1.0f;

enum class PointOutcome : std::uint8_t {
  accepted,  // its distance counts
  outlier,   // beyond maxdist (or, under the nearest-point method, no reference point in its box)
  rejected,  // the method found no surface to measure against (the three-point plane: no plane)
};

enum class Method { nearest_point, plane };

// What the pass asks of the reference cloud, one test point at a time. Every
// implementation gives the same bits: the product searches with the spatial
// index, the tests check it against a scan of the whole cloud. Only point j's
// coordinates matter: `test` may be a block the pass gathered the points into.
class ReferenceSearch {
 public:
  virtual ~ReferenceSearch() = default;
  // The smallest point_distance over the reference points inside the box
  // around test point j; +infinity when no point is inside.
  virtual float nearest(const PointColumns& test, std::int32_t j) const = 0;
  // The candidates of the in-order scan and its count of strict improvements
  // (any count of three or more may be given as 3). Candidates that do not
  // exist are left as they were.
  virtual std::int32_t track_closer_points(const PointColumns& test, std::int32_t j,
                                           PlaneCandidates& candidates) const = 0;
};

// What a method's measurement reads besides the point.
struct MeasureInput {
  const PointColumns& ref;  // not read by a method that keeps no reference points
  const ReferenceSearch& search;
  float maxdist;
};

// Per-thread working state a method may carry from one point to the next; a
// result never depends on it (a method sets whatever it reads again).
struct MeasureScratch {
  PlaneCandidates candidates;
};

struct PointMeasure {
  float distance = excluded_distance;  // the distance of an accepted point, excluded_distance otherwise
  PointOutcome outcome = PointOutcome::accepted;
};

struct MethodTraits {
  const char* key;          // as the JSON report names it
  const char* description;  // as the console's "Method: %s" line says it
  // Whether the measurement reads the reference cloud itself, besides the
  // index (which holds its own copy of every point): otherwise the pass may
  // let the cloud go as soon as the index is built.
  bool reads_reference;
  // Stage 1's line for the rejected count ("%s\t%d\n"), also when it is 0;
  // null for a method that rejects nothing.
  const char* rejected_label;
  PointMeasure (*measure)(const MeasureInput& in, const PointColumns& points, std::int32_t j,
                          MeasureScratch& scratch);
};

// The traits of every method, each defined beside its measurement.
const MethodTraits& method_traits(Method method);

// The nearest-point method when the reference cloud has at least as many
// points as the test cloud (equal counts included), otherwise the plane
// through three kept reference points.
inline Method method_for(std::int32_t reference_count, std::int32_t test_count) {
  return reference_count >= test_count ? Method::nearest_point : Method::plane;
}

extern const MethodTraits nearest_point_traits;
extern const MethodTraits plane_traits;

}  // namespace ptdelta
