#include "distance/comparison_pass.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <optional>

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
  totals.distance_sum = static_cast<float>(static_cast<double>(totals.distance_sum) + static_cast<double>(d));
  if (d > totals.distance_max) totals.distance_max = d;
}

}  // namespace

Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, float box_half_width,
                        SearchMode mode, std::vector<float>& cd, PassTotals& totals) {
  try {
    cd.assign(static_cast<std::size_t>(test.count), 0.0f);
  } catch (const std::bad_alloc&) {
    return Failure::cd_out_of_memory;
  }
  std::fputs("Processing ................................", stderr);
  totals = PassTotals{};
  PlaneCandidates candidates;  // one set for the whole pass, never reset between points
  std::int32_t progress_threshold = 500;
  const bool method_a = ref.count >= test.count;  // equal counts take method A

  SpatialIndex index;
  if (mode == SearchMode::spatial_index && test.count > 0) {
    if (build_spatial_index(ref, box_half_width, index) != Failure::none) return Failure::out_of_memory;
  }
  const Search search{ref, test, box_half_width, mode == SearchMode::spatial_index ? &index : nullptr};

  for (std::int32_t i = 0; i < test.count; ++i) {
    if (i > progress_threshold) {
      print_progress(i);
      progress_threshold += 500;
    }
    const auto slot = static_cast<std::size_t>(i);
    if (method_a) {
      const float d = search.nearest(i);
      // No point in the box gives +infinity, which is never a measurement: an
      // outlier whatever maxdist is.
      if (d > maxdist || std::isinf(d)) {
        cd[slot] = excluded_distance;
        ++totals.outlier_count;
      } else {
        cd[slot] = d;
        accept(totals, d);
      }
    } else {
      const std::optional<float> d = search.plane(i, candidates);
      if (!d) {
        cd[slot] = excluded_distance;  // rejected: counted nowhere
      } else if (*d < maxdist) {       // strict under method B
        cd[slot] = *d;
        accept(totals, *d);
      } else {
        cd[slot] = excluded_distance;
        ++totals.outlier_count;
      }
    }
  }
  return Failure::none;
}

}  // namespace ptdelta
