// comparison_pass.h - one distance per test point, outliers and rejections marked, totals gathered
// A pure function of the two clouds and maxdist: method A or B once per run, results in test order.
#pragma once

#include <cstdint>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/plane.h"

namespace ptdelta {

// Cd value of a point that takes no part in the statistics; compared by exact equality.
inline constexpr float excluded_distance = -1.0f;

enum class PointOutcome : std::uint8_t {
  accepted,  // its distance counts
  outlier,   // beyond maxdist (or, under method A, no reference point in its box)
  rejected,  // method B found no plane
};

enum class Method { nearest_point, plane };

struct PassTotals {
  std::int32_t accepted_count = 0;
  std::int32_t outlier_count = 0;
  std::int32_t rejected_count = 0;
  float distance_sum = 0.0f;       // rounded to float after every addition, in test order
  float distance_max = -10000.0f;  // stays -10000 when nothing is accepted
};

struct PassResult {
  Method method = Method::nearest_point;
  std::vector<float> cd;               // the distance of an accepted point, excluded_distance otherwise
  std::vector<PointOutcome> outcome;   // one per test point
  PassTotals totals;
};

// What the pass asks of the reference cloud, one test point at a time. Every
// implementation gives the same bits: the product searches with the spatial
// index, the tests check it against a scan of the whole cloud. Only point j's
// coordinates matter: `test` may be a block the pass gathered the points into.
class ReferenceSearch {
 public:
  virtual ~ReferenceSearch() = default;
  // Method A: the smallest point_distance over the reference points inside the
  // box around test point j; +infinity when no point is inside.
  virtual float nearest(const PointColumns& test, std::int32_t j) const = 0;
  // Method B: the candidates of the in-order scan and its count of strict
  // improvements (any count of three or more may be given as 3). Candidates
  // that do not exist are left as they were.
  virtual std::int32_t track_closer_points(const PointColumns& test, std::int32_t j,
                                           PlaneCandidates& candidates) const = 0;
};

// Method A (nearest point) when the reference cloud has at least as many points
// as the test cloud, otherwise method B (plane through three kept points).
inline Method method_for(const PointColumns& ref, const PointColumns& test) {
  return ref.count >= test.count ? Method::nearest_point : Method::plane;  // equal counts take method A
}

// Sizes result.cd and result.outcome for `test` (left as they are when they have
// that size already); Failure::cd_out_of_memory when they cannot be had.
Failure reserve_pass_result(const PointColumns& test, PassResult& result);

// Fills `result` for box half-width derive_box_half_width(maxdist), searching
// the reference cloud with the spatial index.
// A: accepted when d <= maxdist; no point in the box (d infinite) is an outlier.
// B: accepted when d < maxdist; no plane is a rejection.
// Runs on up to `threads` threads; the result is the same for any number.
// `progress` hears how many test points are done. Failure::cd_out_of_memory
// when the result columns cannot be had, Failure::out_of_memory when the index
// or the query order cannot; otherwise one entry per test point.
Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, int threads,
                        ProgressSink& progress, PassResult& result);

// The same pass for a caller that needs the reference cloud no more: under
// method A its columns are let go (left empty) as soon as the index holds its
// points, which lowers the run's peak memory by a third of the clouds.
Failure comparison_pass(PointColumns&& ref, const PointColumns& test, float maxdist, int threads,
                        ProgressSink& progress, PassResult& result);

// The same pass with the given search, which must search `ref` with boxes of
// half-width derive_box_half_width(maxdist) and may be called from several
// threads at once.
Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist,
                        const ReferenceSearch& search, int threads, ProgressSink& progress, PassResult& result);

}  // namespace ptdelta
