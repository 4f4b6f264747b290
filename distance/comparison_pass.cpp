#include "distance/comparison_pass.h"

#include <cmath>
#include <new>
#include <optional>

#include "core/exact.h"
#include "distance/full_scan.h"
#include "distance/spatial_index.h"

namespace ptdelta {

namespace {

// The two searches behind one interface, so the pass loop is written once.
struct Search {
  const PointColumns& ref;
  const PointColumns& test;
  float h;
  const SpatialIndex* index;  // null: full scan

  float nearest(std::int32_t j) const {
    return index ? indexed_nearest_distance(*index, test, j) : nearest_reference_distance(ref, test, j, h);
  }
  std::optional<float> plane(std::int32_t j, PlaneCandidates& candidates) const {
    const std::int32_t k = index ? indexed_track_closer_points(*index, test, j, candidates)
                                 : track_closer_points(ref, test, j, h, candidates);
    return plane_distance_from(ref, test, j, k, candidates);
  }
};

void accept(PassTotals& totals, float d) {
  ++totals.accepted_count;
  totals.distance_sum = add_rounded(totals.distance_sum, static_cast<double>(d));
  if (d > totals.distance_max) totals.distance_max = d;
}

}  // namespace

Failure reserve_pass_result(const PointColumns& test, PassResult& result) {
  const auto n = static_cast<std::size_t>(test.count);
  try {
    result.cd.assign(n, 0.0f);
    result.outcome.assign(n, PointOutcome::accepted);
  } catch (const std::bad_alloc&) {
    return Failure::cd_out_of_memory;
  }
  return Failure::none;
}

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, SearchMode mode,
                        ProgressSink& progress, PassResult& result) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  result.method = method_for(ref, test);
  PassTotals& totals = result.totals = PassTotals{};
  const float h = derive_box_half_width(maxdist);

  SpatialIndex index;
  if (mode == SearchMode::spatial_index && test.count > 0) {
    if (build_spatial_index(ref, h, index) != Failure::none) return Failure::out_of_memory;
  }
  const Search search{ref, test, h, mode == SearchMode::spatial_index ? &index : nullptr};
  PlaneCandidates candidates;  // one set for the whole pass, never reset between points

  for (std::int32_t i = 0; i < test.count; ++i) {
    if ((i & (progress_report_step - 1)) == 0) progress.reached(i);
    const auto slot = static_cast<std::size_t>(i);
    PointOutcome outcome = PointOutcome::accepted;
    float d = excluded_distance;
    if (result.method == Method::nearest_point) {
      d = search.nearest(i);
      // No point in the box gives +infinity, which is never a measurement: an
      // outlier whatever maxdist is.
      if (d > maxdist || std::isinf(d)) outcome = PointOutcome::outlier;
    } else {
      const std::optional<float> plane = search.plane(i, candidates);
      if (!plane) {
        outcome = PointOutcome::rejected;
      } else {
        d = *plane;
        if (!(d < maxdist)) outcome = PointOutcome::outlier;  // strict under method B
      }
    }
    result.outcome[slot] = outcome;
    if (outcome == PointOutcome::accepted) {
      result.cd[slot] = d;
      accept(totals, d);
    } else {
      result.cd[slot] = excluded_distance;
      ++(outcome == PointOutcome::outlier ? totals.outlier_count : totals.rejected_count);
    }
  }
  progress.reached(test.count);
  return Failure::none;
}

}  // namespace ptdelta
