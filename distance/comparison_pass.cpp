#include "distance/comparison_pass.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <optional>

#include "core/exact.h"
#include "core/parallel.h"
#include "distance/query_order.h"
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

// The pass over reserved result columns, measuring the test points in `order`.
// Every point is measured on its own (method B's candidates are all set again
// by any point that has three of them), so the points can be measured in any
// order and on any thread; the sums are taken afterwards, in test order.
void run_pass(const PointColumns& ref, const PointColumns& test, float maxdist, const ReferenceSearch& search,
              const std::vector<std::int32_t>& order, int threads, ProgressSink& progress, PassResult& result) {
  result.method = method_for(ref, test);
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
}

// The result columns and the query order; the order is made before any index,
// so their memory peaks do not add up.
Failure prepare(const PointColumns& test, PassResult& result, std::vector<std::int32_t>& order) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  try {
    order = spatial_query_order(test);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  return Failure::none;
}

}  // namespace

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, int threads,
                        ProgressSink& progress, PassResult& result) {
  std::vector<std::int32_t> order;
  if (const Failure f = prepare(test, result, order); f != Failure::none) return f;
  SpatialIndex index;
  if (test.count > 0) {
    if (build_spatial_index(ref, derive_box_half_width(maxdist), index, threads) != Failure::none)
      return Failure::out_of_memory;
  }
  run_pass(ref, test, maxdist, IndexedSearch(index), order, threads, progress, result);
  return Failure::none;
}

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist,
                        const ReferenceSearch& search, int threads, ProgressSink& progress, PassResult& result) {
  std::vector<std::int32_t> order;
  if (const Failure f = prepare(test, result, order); f != Failure::none) return f;
  run_pass(ref, test, maxdist, search, order, threads, progress, result);
  return Failure::none;
}

}  // namespace ptdelta
