#include "distance/comparison_pass.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>

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
  NearestPoint nearest_point(const PointColumns& test, std::int32_t j) const override {
    return indexed_nearest_point(index_, test, j);
  }

 private:
  const SpatialIndex& index_;
};

// The result columns, one entry per test point; the pass writes every entry.
Failure reserve_pass_result(const PointColumns& test, PassResult& result) {
  const auto n = static_cast<std::size_t>(test.count);
  try {
    result.cd.resize(n);
    result.outcome.resize(n);
    if (result.is_signed || !result.surface.empty()) result.surface.resize(n);
  } catch (const std::bad_alloc&) {
    return Failure::cd_out_of_memory;
  }
  return Failure::none;
}

void accept(PassTotals& totals, float d) {
  ++totals.accepted_count;
  totals.distance_sum = add_rounded(totals.distance_sum, static_cast<double>(d));
  // |d|: the same as d for an unsigned run.
  if (std::fabs(d) > totals.distance_max) totals.distance_max = std::fabs(d);
}

// The pass over reserved result columns, measuring the test points in `order`
// (input order when it is empty). Every point is measured on its own (method
// B's candidates are all set again by any point that has three of them), so
// the points can be measured in any order and on any thread; the sums are
// taken afterwards, in test order. `ref` is read only by a method whose traits
// say so (otherwise it may have been let go).
void run_pass(const PointColumns& ref, Method method, const PointColumns& test, float maxdist,
              const ReferenceSearch& search, const std::vector<std::int32_t>& order, int threads,
              ProgressSink& progress, PassResult& result, const SurfaceInput* surface = nullptr) {
  result.method = method;
  const MethodTraits& traits = surface == nullptr ? method_traits(method) : measuring_traits(method, surface->settings);
  const MeasureInput input{ref, search, maxdist, surface};
  const bool extras = !result.surface.empty();
  // Point j of `points`: its distance (excluded_distance unless accepted),
  // outcome and, for a surface run, the extras of test point i.
  const auto measure = [&](const PointColumns& points, std::int32_t j, MeasureScratch& scratch, float& distance,
                           PointOutcome& outcome, std::size_t i) {
    const PointMeasure m = traits.measure(input, points, j, static_cast<std::int32_t>(i), scratch);
    distance = m.distance;
    outcome = m.outcome;
    if (extras) result.surface[i] = m.surface;
  };

  constexpr std::int64_t chunk = 4096;
  std::mutex progress_lock;
  std::int64_t done = 0;
  run_chunks(chunk_count(test.count, chunk), threads, [&](std::int64_t k) {
    const std::int64_t first = k * chunk;
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(first + chunk, test.count) - first);
    MeasureScratch scratch;
    if (order.empty() && traits.measure_block != nullptr) {
      scratch.measures.resize(n);
      traits.measure_block(input, test, static_cast<std::int32_t>(first), static_cast<std::int32_t>(n), scratch,
                           scratch.measures.data());
      for (std::size_t q = 0; q < n; ++q) {
        const auto i = static_cast<std::size_t>(first) + q;
        const PointMeasure& m = scratch.measures[q];
        result.cd[i] = m.distance;
        result.outcome[i] = m.outcome;
        if (extras) result.surface[i] = m.surface;
      }
    } else if (order.empty()) {
      for (std::size_t q = 0; q < n; ++q) {
        const auto i = static_cast<std::size_t>(first) + q;
        measure(test, static_cast<std::int32_t>(i), scratch, result.cd[i], result.outcome[i], i);
      }
    } else {
      // The chunk's points are gathered into a block of their own and their
      // results scattered back in separate tight loops: with the test cloud in
      // random order every point sits elsewhere in memory, and loads that do
      // not wait on a search overlap one another.
      const std::int32_t* const ids = order.data() + first;
      PointColumns block;
      block.x.resize(n);
      block.y.resize(n);
      block.z.resize(n);
      block.count = static_cast<std::int32_t>(n);
      for (std::size_t q = 0; q < n; ++q) {
        const auto i = static_cast<std::size_t>(ids[q]);
        block.x[q] = test.x[i];
        block.y[q] = test.y[i];
        block.z[q] = test.z[i];
      }
      std::vector<float> distance(n);
      std::vector<PointOutcome> outcome(n);
      if (traits.measure_block != nullptr) {
        scratch.measures.resize(n);
        traits.measure_block(input, block, 0, static_cast<std::int32_t>(n), scratch, scratch.measures.data());
        for (std::size_t q = 0; q < n; ++q) {
          const PointMeasure& m = scratch.measures[q];
          distance[q] = m.distance;
          outcome[q] = m.outcome;
          if (extras) result.surface[static_cast<std::size_t>(ids[q])] = m.surface;
        }
      } else {
        for (std::size_t q = 0; q < n; ++q)
          measure(block, static_cast<std::int32_t>(q), scratch, distance[q], outcome[q], static_cast<std::size_t>(ids[q]));
      }
      for (std::size_t q = 0; q < n; ++q) {
        const auto i = static_cast<std::size_t>(ids[q]);
        result.outcome[i] = outcome[q];
        result.cd[i] = distance[q];
      }
    }
    const std::lock_guard<std::mutex> hold(progress_lock);
    done += static_cast<std::int64_t>(n);
    progress.reached(done);
  });

  gather_totals(result);
  progress.reached(test.count);
}

Failure query_order(const PointColumns& test, int threads, std::vector<std::int32_t>& order) {
  try {
    order = spatial_query_order(test, threads);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  return Failure::none;
}

// The result columns and the query order (unless `have_order`: had before);
// then the sink hears that the pass has its memory and starts measuring.
Failure prepare(const PointColumns& test, int threads, ProgressSink& progress, PassResult& result,
                std::vector<std::int32_t>& order, bool have_order = false) {
  if (const Failure f = reserve_pass_result(test, result); f != Failure::none) return f;
  if (!have_order) {
    if (const Failure f = query_order(test, threads, order); f != Failure::none) return f;
  }
  progress.started();
  return Failure::none;
}

// The indexed pass. The index comes first, so that a reference cloud the
// caller gives up (`release`, for a method that reads only the index, which
// holds every point the search needs) is let go before the result columns are
// had: the peak is then one copy of the reference points, not two.
Failure indexed_pass(const PointColumns& ref, PointColumns* release, const PointColumns& test, Method method,
                     float maxdist, int threads, ProgressSink& progress, PassResult& result) {
  SpatialIndex index;
  if (test.count > 0) {
    if (build_spatial_index(ref, derive_box_half_width(maxdist), index, threads) != Failure::none)
      return Failure::out_of_memory;
  }
  if (release != nullptr && !method_traits(method).reads_reference) *release = PointColumns{};
  std::vector<std::int32_t> order;
  if (const Failure f = prepare(test, threads, progress, result, order); f != Failure::none) return f;
  run_pass(ref, method, test, maxdist, IndexedSearch(index), order, threads, progress, result);
  return Failure::none;
}

// The normal at each reference point that is the nearest of some test point
// within maxdist, each computed once: the nearest points first (each test
// point writes its own entry, kept for the pass, which then searches no more;
// taken in the pass's query order, or input order when it is empty), then the
// distinct indices marked in one serial sweep, then their normals in index
// order, each on its own. Which thread computes one never matters: a normal
// depends on its point alone.
Failure estimate_used_normals(const PointColumns& ref, const PointColumns& test, const SpatialIndex& index,
                              float maxdist, const SurfaceInput& surface, const std::vector<std::int32_t>& order,
                              int threads, std::vector<NearestPoint>& nearest, std::vector<Vec3>& normals) {
  try {
    constexpr std::int64_t chunk = 4096;
    nearest.assign(static_cast<std::size_t>(test.count), NearestPoint{});
    run_chunks(chunk_count(test.count, chunk), threads, [&](std::int64_t k) {
      const std::int64_t last = std::min<std::int64_t>((k + 1) * chunk, test.count);
      for (std::int64_t q = k * chunk; q < last; ++q) {
        const auto j = order.empty() ? static_cast<std::int32_t>(q) : order[static_cast<std::size_t>(q)];
        nearest[static_cast<std::size_t>(j)] = indexed_nearest_point(index, test, j);
      }
    });
    std::vector<std::uint8_t> used(static_cast<std::size_t>(ref.count), 0);
    for (const NearestPoint& q : nearest)
      if (q.distance <= maxdist) used[static_cast<std::size_t>(q.index)] = 1;
    std::vector<std::int32_t> wanted;
    for (std::size_t i = 0; i < used.size(); ++i)
      if (used[i] != 0) wanted.push_back(static_cast<std::int32_t>(i));
    const double none = std::numeric_limits<double>::quiet_NaN();
    normals.assign(static_cast<std::size_t>(ref.count), Vec3{none, none, none});
    const auto count = static_cast<std::int64_t>(wanted.size());
    run_chunks(chunk_count(count, chunk), threads, [&](std::int64_t k) {
      // estimate_normal's steps, the eigen solver taking a group's
      // covariances at once.
      constexpr std::size_t group = 16;
      std::vector<SurfacePoint> scratch;
      Symmetric3 covariance[group];
      Vec3 solved[group];
      std::size_t place[group];
      const std::int64_t last = std::min<std::int64_t>((k + 1) * chunk, count);
      for (std::int64_t w = k * chunk; w < last; w += static_cast<std::int64_t>(group)) {
        const auto end = static_cast<std::size_t>(std::min<std::int64_t>(w + static_cast<std::int64_t>(group), last));
        std::size_t valid = 0;
        for (auto g = static_cast<std::size_t>(w); g < end; ++g) {
          const auto r = static_cast<std::size_t>(wanted[g]);
          points_within(*surface.reference, ref.x[r], ref.y[r], ref.z[r], surface.settings.normal_radius, scratch);
          Vec3 centre;
          if (ordered_moments(scratch, centre, covariance[valid])) place[valid++] = r;
        }
        smallest_eigenvectors(covariance, valid, solved);
        for (std::size_t i = 0; i < valid; ++i) {
          const std::size_t r = place[i];
          normals[r] = orient_normal(solved[i], surface.settings.orientation, ref.x[r], ref.y[r], ref.z[r]);
        }
      }
    });
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  return Failure::none;
}

// The grids a surface run needs, then the indexed pass with them.
Failure surface_pass(const PointColumns& ref, const PointColumns& test, Method method, float maxdist,
                     const SurfaceSettings& given, const StoredNormals* normals, int threads, ProgressSink& progress,
                     PassResult& result) {
  SurfaceInput surface;
  surface.settings = given;
  SurfaceSettings& o = surface.settings;
  if (method == Method::m3c2) {
    if (o.cylinder_radius < 0.0) o.cylinder_radius = o.m3c2_radius / 2.0;
    if (o.depth < 0.0) o.depth = static_cast<double>(maxdist);
  }
  surface.box_half_width = derive_box_half_width(maxdist);
  surface.normals = normals;
  result.is_signed = o.signed_distances || method == Method::m3c2;
  result.settings = o;
  result.surface.assign(1, SurfaceMeasure{});  // marks the run as one with extras; sized with the columns
  const bool stored = normals != nullptr && normals->present() && method == Method::nearest_point;
  result.stored_normals = stored;
  const double cell = method == Method::m3c2 ? o.m3c2_radius / 2.0 : method == Method::local_plane ? 0.0
                                                                                                     : o.normal_radius / 2.0;
  NeighbourGrid reference_grid, test_grid;
  if (!stored && reference_grid.build(ref, cell) != Failure::none) return Failure::out_of_memory;
  if (method == Method::m3c2 && test_grid.build(test, cell) != Failure::none) return Failure::out_of_memory;
  surface.reference = &reference_grid;
  surface.test = &test_grid;
  SpatialIndex index;
  if (test.count > 0 && method == Method::nearest_point) {
    if (build_spatial_index(ref, derive_box_half_width(maxdist), index, threads) != Failure::none)
      return Failure::out_of_memory;
  }
  std::vector<Vec3> estimated;
  std::vector<NearestPoint> nearest;
  std::vector<std::int32_t> order;
  const bool estimate = test.count > 0 && method == Method::nearest_point && !stored;
  if (estimate) {
    if (const Failure f = query_order(test, threads, order); f != Failure::none) return f;
    if (estimate_used_normals(ref, test, index, maxdist, surface, order, threads, nearest, estimated) != Failure::none)
      return Failure::out_of_memory;
    surface.estimated = &estimated;
    surface.nearest = &nearest;
  }
  if (const Failure f = prepare(test, threads, progress, result, order, estimate); f != Failure::none) return f;
  run_pass(ref, method, test, maxdist, IndexedSearch(index), order, threads, progress, result, &surface);
  return Failure::none;
}

}  // namespace

void gather_totals(PassResult& result) {
  const bool extras = !result.surface.empty();
  // The order-dependent part, serial and in test order.
  PassTotals& totals = result.totals = PassTotals{};
  for (std::size_t i = 0; i < result.cd.size(); ++i) {
    switch (result.outcome[i]) {
      case PointOutcome::accepted:
        accept(totals, result.cd[i]);
        if (extras && result.surface[i].significant) ++totals.significant_count;
        break;
      case PointOutcome::too_few:
        ++totals.too_few_count;
        break;
      case PointOutcome::outlier:
        ++totals.outlier_count;
        break;
      case PointOutcome::rejected:
        ++totals.rejected_count;
        break;
    }
  }
}

Failure comparison_pass(PointColumns&& ref, const PointColumns& test, Method method, float maxdist,
                        const SurfaceSettings& settings, const StoredNormals* normals, int threads,
                        ProgressSink& progress, PassResult& result) {
  if (!uses_surface(method, settings)) return comparison_pass(std::move(ref), test, method, maxdist, threads, progress, result);
  return surface_pass(ref, test, method, maxdist, settings, normals, threads, progress, result);
}

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, Method method, float maxdist,
                        int threads, ProgressSink& progress, PassResult& result) {
  return indexed_pass(ref, nullptr, test, method, maxdist, threads, progress, result);
}

Failure comparison_pass(PointColumns&& ref, const PointColumns& test, Method method, float maxdist, int threads,
                        ProgressSink& progress, PassResult& result) {
  return indexed_pass(ref, &ref, test, method, maxdist, threads, progress, result);
}

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist,
                        const ReferenceSearch& search, int threads, ProgressSink& progress, PassResult& result) {
  std::vector<std::int32_t> order;
  if (const Failure f = prepare(test, threads, progress, result, order); f != Failure::none) return f;
  run_pass(ref, method_for(ref.count, test.count), test, maxdist, search, order, threads, progress, result);
  return Failure::none;
}

}  // namespace ptdelta
