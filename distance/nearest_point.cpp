// The nearest-point method: the distance to the nearest reference point in the box.
#include <cmath>

#include "distance/method.h"

namespace ptdelta {

namespace {

PointMeasure measure_nearest(const MeasureInput& in, const PointColumns& points, std::int32_t j, std::int32_t,
                             MeasureScratch&) {
  const float d = in.search.nearest(points, j);
  // No point in the box gives +infinity, which is never a measurement: an
  // outlier whatever maxdist is. A distance equal to maxdist is accepted.
  if (d > in.maxdist || std::isinf(d)) return {excluded_distance, PointOutcome::outlier};
  return {d, PointOutcome::accepted};
}

}  // namespace

const MethodTraits nearest_point_traits{"nearest_point", "nearest reference point", false, nullptr, nullptr, true,
                                        measure_nearest, nullptr};

}  // namespace ptdelta
