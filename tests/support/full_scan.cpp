#include "support/full_scan.h"

#include <limits>

#include "core/exact.h"

namespace ptdelta::testing {

namespace {
constexpr float no_neighbour = std::numeric_limits<float>::infinity();
}

float nearest_reference_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h) {
  // Start at +infinity: any real distance, however large, replaces it.
  float best = no_neighbour;
  for (std::int32_t i = 0; i < ref.count; ++i) {
    if (!inside_box(ref, i, test, j, h)) continue;
    const float d = point_distance(ref, i, test, j);
    if (d < best) best = d;  // strict: the first of equal distances sets the minimum
  }
  return best;
}

std::int32_t track_closer_points(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                 PlaneCandidates& candidates) {
  float best = no_neighbour;
  std::int32_t improvements = 0;
  for (std::int32_t i = 0; i < ref.count; ++i) {
    if (!inside_box(ref, i, test, j, h)) continue;
    const float d = point_distance(ref, i, test, j);
    if (d < best) {
      best = d;
      candidates.oldest = candidates.previous;
      candidates.previous = candidates.newest;
      candidates.newest = i;
      ++improvements;
    }
  }
  return improvements;
}

std::optional<float> plane_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                    PlaneCandidates& candidates) {
  const std::int32_t k = track_closer_points(ref, test, j, h, candidates);
  return plane_distance_from(ref, test, j, k, candidates);
}

float FullScanSearch::nearest(const PointColumns& test, std::int32_t j) const {
  return nearest_reference_distance(ref_, test, j, h_);
}

std::int32_t FullScanSearch::track_closer_points(const PointColumns& test, std::int32_t j,
                                                 PlaneCandidates& candidates) const {
  return testing::track_closer_points(ref_, test, j, h_, candidates);
}

NearestPoint FullScanSearch::nearest_point(const PointColumns& test, std::int32_t j) const {
  // In index order with a strict comparison: the first of equal distances stays.
  NearestPoint found;
  for (std::int32_t i = 0; i < ref_.count; ++i) {
    if (!inside_box(ref_, i, test, j, h_)) continue;
    const float d = point_distance(ref_, i, test, j);
    if (d < found.distance) found = {d, i};
  }
  return found;
}

Failure full_scan_pass(const PointColumns& ref, const PointColumns& test, float maxdist, ProgressSink& progress,
                       PassResult& result) {
  const FullScanSearch search(ref, derive_box_half_width(maxdist));
  return comparison_pass(ref, test, maxdist, search, 1, progress, result);  // the oracle runs on one thread
}

}  // namespace ptdelta::testing
