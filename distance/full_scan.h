// full_scan.h - the two distance methods as plain scans of the whole reference cloud
// Method A (nearest point in the box) and method B (plane through three kept points); the oracle of every faster search.
#pragma once

#include <cstdint>
#include <optional>

#include "core/point_cloud.h"

namespace ptdelta {

// Reference indices kept by the in-order scan of method B: the last three strict
// improvements of the running minimum, newest last.
struct PlaneCandidates {
  std::int32_t newest = 0;
  std::int32_t previous = 0;
  std::int32_t oldest = 0;
};

// The plane A*x + B*y + C*z + D = 0.
struct PlaneCoefficients {
  float a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
};

// Smallest point_distance over the reference points inside the box of
// half-width h around test point j; +infinity when no point is inside.
float nearest_reference_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h);

// Scans the reference cloud in index order and returns the number of strict
// improvements of the running minimum (started at +infinity) over the points
// inside the box; each improvement shifts newest -> previous -> oldest.
std::int32_t track_closer_points(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                 PlaneCandidates& candidates);

// Determinant of the rows (a, b, c), (d, e, f), (g, h, l) in double, rounded once.
float det3(float a, float b, float c, float d, float e, float f, float g, float h, float l);

// The plane through P1 = newest, P2 = previous, P3 = oldest.
PlaneCoefficients plane_through_points(const PointColumns& ref, const PlaneCandidates& candidates);

// Distance of test point j to the plane of the kept points, given their count of
// improvements; nullopt (a rejection) for fewer than three improvements or a
// plane whose A, B and C are all zero.
std::optional<float> plane_distance_from(const PointColumns& ref, const PointColumns& test, std::int32_t j,
                                         std::int32_t improvements, const PlaneCandidates& candidates);

// Method B by the full scan: track_closer_points, then plane_distance_from.
std::optional<float> plane_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                    PlaneCandidates& candidates);

}  // namespace ptdelta
