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
  std::int32_t too_few_count = 0;       // M3C2's second kind of rejection
  std::int32_t significant_count = 0;   // M3C2: accepted changes larger than their LoD95
  float distance_sum = 0.0f;       // rounded to float after every addition, in test order
  float distance_max = -10000.0f;  // the largest |d|; stays -10000 when nothing is accepted
};

struct PassResult {
  Method method = Method::nearest_point;
  std::vector<float> cd;               // the distance of an accepted point, excluded_distance otherwise
  std::vector<PointOutcome> outcome;   // one per test point
  PassTotals totals;
  // A signed run: every entry without a distance is no_signed_distance (NaN),
  // since any other value may be a distance.
  bool is_signed = false;
  SurfaceSettings settings;               // as the run used them (defaults resolved)
  bool stored_normals = false;            // a signed nearest-point run signed by the reference's stored normals
  std::vector<SurfaceMeasure> surface;    // one per test point for a signed or local-surface run, else empty
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

// The pass of a signed or local-surface method: `settings` as given on the
// command line (a cylinder or depth below 0 takes its default), `normals` the
// reference's stored normals or null: the signed nearest-point method uses them
// in place of -normals when they are there, the other methods never. The grids
// it needs are built first;
// Failure::out_of_memory when they cannot be had.
Failure comparison_pass(PointColumns&& ref, const PointColumns& test, Method method, float maxdist,
                        const SurfaceSettings& settings, const StoredNormals* normals, int threads,
                        ProgressSink& progress, PassResult& result);

// The totals of a pass's columns, taken serially in test order (as the pass
// itself takes them): the same sums from columns put together from tiles.
void gather_totals(PassResult& result);

// Whether a run of `method` with `settings` needs the surface pass above.
inline bool uses_surface(Method method, const SurfaceSettings& settings) {
  return settings.signed_distances || method == Method::local_plane || method == Method::m3c2;
}

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
