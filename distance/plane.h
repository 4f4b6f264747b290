// plane.h - method B's three kept reference points and the distance to their plane
// The candidates every search of method B fills, and the plane distance computed from them.
#pragma once

#include <cstdint>
#include <optional>

#include "core/exact.h"
#include "core/point_cloud.h"

namespace ptdelta {

// Reference indices kept by the in-order scan of method B: the last three strict
// improvements of the running minimum of point_distance over the points inside
// the box, newest last.
struct PlaneCandidates {
  std::int32_t newest = 0;
  std::int32_t previous = 0;
  std::int32_t oldest = 0;
};

// The plane through P1 = newest, P2 = previous, P3 = oldest.
PlaneCoefficients plane_through_points(const PointColumns& ref, const PlaneCandidates& candidates);

// Distance of test point j to the plane of the kept points, given their count of
// improvements; nullopt (a rejection) for fewer than three improvements or a
// plane whose A, B and C are all zero.
std::optional<float> plane_distance_from(const PointColumns& ref, const PointColumns& test, std::int32_t j,
                                         std::int32_t improvements, const PlaneCandidates& candidates);

}  // namespace ptdelta
