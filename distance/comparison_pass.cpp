#include "distance/comparison_pass.h"

#include <cmath>
#include <new>
#include <optional>

#include "core/exact.h"
#include "distance/spatial_index.h"

namespace ptdelta {

namespace {

// The product's search: the spatial index over the reference cloud.
class IndexedSearch final : public ReferenceSearch {
 public:
  explicit IndexedSearch(const SpatialIndex& index) : index_(index) {}
  float nearest(const PointColumns& test, std::int32_t j) const override {
    return indexed_nearest_distance(index_, test, j);
  }
  std::int32_t track_closer_points(const PointColumns& test, std::int32_t j,
                                   PlaneCandidates& candidates) const override {
    return indexed_track_closer_points(index_, test, j, candidates);
  }

 private:
  const SpatialIndex& index_;
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

namespace {

// The pass over reserved result columns.
void run_pass(const PointColumns& ref, const PointColumns& test, float maxdist, const ReferenceSearch& search,
              ProgressSink& progress, PassResult& result) {
  result.method = method_for(ref, test);
  PassTotals& totals = result.totals = PassTotals{};
  PlaneCandidates candidates;  // one set for the whole pass, never reset between points

  for (std::int32_t i = 0; i < test.count; ++i) {
    if ((i & (progress_report_step - 1)) == 0) progress.reached(i);
    const auto slot = static_cast<std::size_t>(i);
    PointOutcome outcome = PointOutcome::accepted;
    float d = excluded_distance;
    if (result.method == Method::nearest_point) {
      d = search.nearest(test, i);
      // No point in the box gives +infinity, which is never a measurement: an
      // outlier whatever maxdist is.
      if (d > maxdist || std::isinf(d)) outcome = PointOutcome::outlier;
    } else {
      const std::int32_t improvements = search.track_closer_points(test, i, candidates);
      const std::optional<float> plane = plane_distance_from(ref, test, i, improvements, candidates);
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
}

}  // namespace

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, ProgressSink& progress,
                        PassResult& result) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  SpatialIndex index;
  if (test.count > 0) {
    if (build_spatial_index(ref, derive_box_half_width(maxdist), index) != Failure::none)
      return Failure::out_of_memory;
  }
  run_pass(ref, test, maxdist, IndexedSearch(index), progress, result);
  return Failure::none;
}

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist,
                        const ReferenceSearch& search, ProgressSink& progress, PassResult& result) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  run_pass(ref, test, maxdist, search, progress, result);
  return Failure::none;
}

}  // namespace ptdelta
