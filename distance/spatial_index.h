// spatial_index.h - index over the reference cloud that narrows the distance searches
// It only orders and prunes the search; every candidate still passes the exact inside_box and point_distance.
#pragma once

#include <cstdint>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/plane.h"

namespace ptdelta {

class SpatialIndex;

// Builds the index over `ref` for boxes of half-width `h`. Failure::out_of_memory
// when its memory cannot be had. `ref` must outlive the index and stay unchanged.
// The columns are sorted on up to `threads` threads; the index is the same for any number.
Failure build_spatial_index(const PointColumns& ref, float h, SpatialIndex& index, int threads = 1);

// Bit for bit nearest_reference_distance(ref, test, j, h): the smallest
// point_distance over the points inside the box, +infinity when there is none.
float indexed_nearest_distance(const SpatialIndex& index, const PointColumns& test, std::int32_t j);

// The candidates of track_closer_points(ref, test, j, h, ...) and its count of
// improvements capped at 3 (only "fewer than three" matters to a caller):
//   newest   = the in-box point with the smallest distance, smallest index among equals;
//   previous = the same over in-box points with index below newest;
//   oldest   = the same over in-box points with index below previous.
// Candidates that do not exist are left untouched, as the scan leaves them.
std::int32_t indexed_track_closer_points(const SpatialIndex& index, const PointColumns& test, std::int32_t j,
                                         PlaneCandidates& candidates);

}  // namespace ptdelta

// The class definition lives in spatial_index_impl.h so this header stays the interface.
#include "distance/spatial_index_impl.h"
