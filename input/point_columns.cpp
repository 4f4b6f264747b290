#include "input/point_columns.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <new>

namespace ptdelta {

bool create_point_columns(PointColumns& cloud) {
  cloud = PointColumns{};
  try {
    cloud.x.assign(growth_step, 0.0f);
    cloud.y.assign(growth_step, 0.0f);
    cloud.z.assign(growth_step, 0.0f);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool grow_columns(PointColumns& cloud) {
  // The count is a signed 32-bit value: refuse the room it could never index.
  if (cloud.count > std::numeric_limits<std::int32_t>::max() - growth_step) return false;
  const std::size_t size = cloud.x.size();
  try {
    // Reserve all three first, so a failure leaves every column as it was.
    const std::size_t wanted = size + growth_step;
    for (auto* column : {&cloud.x, &cloud.y, &cloud.z})
      if (column->capacity() < wanted) column->reserve(std::max(wanted, 2 * column->capacity()));
    cloud.x.resize(wanted);
    cloud.y.resize(wanted);
    cloud.z.resize(wanted);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void print_progress(std::int32_t value) { std::fprintf(stderr, "\b\b\b\b\b\b\b\b%8d", value); }

}  // namespace ptdelta
