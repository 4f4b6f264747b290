// full_scan.h - the two distance methods as plain scans of the whole reference cloud
// Method A (nearest point in the box) and method B (the last three improvements); the oracle of every faster search.
#pragma once

#include <cstdint>
#include <optional>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "distance/plane.h"

namespace ptdelta::testing {

// Smallest point_distance over the reference points inside the box of
// half-width h around test point j; +infinity when no point is inside.
float nearest_reference_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h);

// Scans the reference cloud in index order and returns the number of strict
// improvements of the running minimum (started at +infinity) over the points
// inside the box; each improvement shifts newest -> previous -> oldest.
std::int32_t track_closer_points(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                 PlaneCandidates& candidates);

// Method B by the full scan: track_closer_points, then plane_distance_from.
std::optional<float> plane_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                    PlaneCandidates& candidates);

// The full scan as the search of a comparison pass.
class FullScanSearch final : public ReferenceSearch {
 public:
  FullScanSearch(const PointColumns& ref, float h) : ref_(ref), h_(h) {}
  float nearest(const PointColumns& test, std::int32_t j) const override;
  std::int32_t track_closer_points(const PointColumns& test, std::int32_t j,
                                   PlaneCandidates& candidates) const override;
  NearestPoint nearest_point(const PointColumns& test, std::int32_t j) const override;

 private:
  const PointColumns& ref_;
  float h_;
};

// comparison_pass with the full scan in place of the spatial index.
Failure full_scan_pass(const PointColumns& ref, const PointColumns& test, float maxdist, ProgressSink& progress,
                       PassResult& result);

}  // namespace ptdelta::testing
