// query_order.h - the order in which the pass measures the test points
// Nearby points one after another, so consecutive queries touch the same part of the index; results still go to input order.
#pragma once

#include <cstdint>
#include <vector>

#include "core/point_cloud.h"

namespace ptdelta {

// Every index 0 .. test.count - 1 once: the points sorted by their cell on a
// Z-order curve over a 256 x 256 grid spanning the two widest axes of the
// finite points, points of one cell (and all points with a non-finite
// coordinate, first) in input order. Empty when the points are in such an order
// already, judged on 16 runs of consecutive points spread over the cloud (no
// more than one in 16 lies beyond the cells next to the one before, on a grid
// of about 16 points a cell for a small cloud): the pass then measures them as
// they stand. Worked out on up to `threads`
// threads, the same for any number. Throws std::bad_alloc.
std::vector<std::int32_t> spatial_query_order(const PointColumns& test, int threads = 1);

}  // namespace ptdelta
