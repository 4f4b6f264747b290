#include "distance/comparison_pass.h"

#include <cmath>
#include <new>
#include <algorithm>
#include <mutex>
#include <optional>

#include "core/exact.h"
#include "core/parallel.h"
#include "distance/full_scan.h"
#include "distance/query_order.h"
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
                        int threads, ProgressSink& progress, PassResult& result) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  result.method = method_for(ref, test);
  const float h = derive_box_half_width(maxdist);

  // Every point is measured on its own (method B's candidates are all set again
  // by any point that has three of them), so the points can be measured in any
  // order and on any thread; the sums are taken afterwards, in test order.
  std::vector<std::int32_t> order;
  SpatialIndex index;
  try {
    order = spatial_query_order(test);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  if (mode == SearchMode::spatial_index && test.count > 0) {
    if (build_spatial_index(ref, h, index) != Failure::none) return Failure::out_of_memory;
  }
  const Search search{ref, test, h, mode == SearchMode::spatial_index ? &index : nullptr};
  const bool method_a = result.method == Method::nearest_point;

  constexpr std::int64_t chunk = 4096;
  std::mutex progress_lock;
  std::int64_t done = 0;
  run_chunks(chunk_count(test.count, chunk), threads, [&](std::int64_t k) {
    const std::int64_t first = k * chunk;
    const std::int64_t last = std::min<std::int64_t>(first + chunk, test.count);
    PlaneCandidates candidates;
    for (std::int64_t q = first; q < last; ++q) {
      const std::int32_t i = order[static_cast<std::size_t>(q)];
      const auto slot = static_cast<std::size_t>(i);
      PointOutcome outcome = PointOutcome::accepted;
      float d = excluded_distance;
      if (method_a) {
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
      result.cd[slot] = outcome == PointOutcome::accepted ? d : excluded_distance;
    }
    const std::lock_guard<std::mutex> hold(progress_lock);
    done += last - first;
    progress.reached(done);
  });

  // The order-dependent part, serial and in test order.
  PassTotals& totals = result.totals = PassTotals{};
  for (std::size_t i = 0; i < result.cd.size(); ++i) {
    switch (result.outcome[i]) {
      case PointOutcome::accepted:
        accept(totals, result.cd[i]);
        break;
      case PointOutcome::outlier:
        ++totals.outlier_count;
        break;
      case PointOutcome::rejected:
        ++totals.rejected_count;
        break;
    }
  }
  progress.reached(test.count);
  return Failure::none;
}

}  // namespace ptdelta
