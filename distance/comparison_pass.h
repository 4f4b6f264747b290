// comparison_pass.h - one distance per test point, outliers and rejections marked, totals gathered
// A pure function of the two clouds, the method and maxdist: results in test order, sums taken serially.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/method.h"

namespace ptdelta {

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

// Fills `result` by `method` for box half-width derive_box_half_width(maxdist),
// searching the reference cloud with the spatial index. The nearest-point
// method accepts d <= maxdist (no point in the box, d infinite, is an outlier);
// the three-point plane accepts d < maxdist and rejects a point without a plane.
// Runs on up to `threads` threads; the result is the same for any number.
// The index is built first, then the result columns and the query order are
// had; `progress` is told started() once all of that memory is there (so a
// run that cannot have it shows no processing banner), then how many test
// points are done. Failure::cd_out_of_memory when the result columns cannot
// be had, Failure::out_of_memory when the index or the query order cannot;
// otherwise one entry per test point.
Failure comparison_pass(const PointColumns& ref, const PointColumns& test, Method method, float maxdist,
                        int threads, ProgressSink& progress, PassResult& result);

// The same pass for a caller that needs the reference cloud no more: unless the
// method reads the reference cloud itself, its columns are let go (left empty)
// as soon as the index holds its points, before the result columns are had,
// which lowers the run's peak memory by a third of the clouds.
Failure comparison_pass(PointColumns&& ref, const PointColumns& test, Method method, float maxdist, int threads,
                        ProgressSink& progress, PassResult& result);

// The method chosen by the point counts (method_for).
inline Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, int threads,
                               ProgressSink& progress, PassResult& result) {
  return comparison_pass(ref, test, method_for(ref.count, test.count), maxdist, threads, progress, result);
}
inline Failure comparison_pass(PointColumns&& ref, const PointColumns& test, float maxdist, int threads,
                               ProgressSink& progress, PassResult& result) {
  const Method method = method_for(ref.count, test.count);
  return comparison_pass(std::move(ref), test, method, maxdist, threads, progress, result);
}

// The same pass with the given search and the method chosen by the point
// counts; the search must search `ref` with boxes of half-width
// derive_box_half_width(maxdist) and may be called from several threads at once.
Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist,
                        const ReferenceSearch& search, int threads, ProgressSink& progress, PassResult& result);

}  // namespace ptdelta
