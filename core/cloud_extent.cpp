#include "core/cloud_extent.h"

#include <algorithm>
#include <vector>

#include "core/parallel.h"

namespace ptdelta {

void CloudExtent::add(float x, float y, float z) {
  const double p[3] = {static_cast<double>(x), static_cast<double>(y), static_cast<double>(z)};
  for (std::size_t a = 0; a < 3; ++a) {
    min[a] = std::min(min[a], p[a]);
    max[a] = std::max(max[a], p[a]);
  }
  ++finite_points;
}

void CloudExtent::merge(const CloudExtent& later) {
  for (std::size_t a = 0; a < 3; ++a) {
    min[a] = std::min(min[a], later.min[a]);
    max[a] = std::max(max[a], later.max[a]);
  }
  finite_points += later.finite_points;
}

CloudExtent measure_extent(const PointColumns& cloud, std::size_t first, std::size_t last) {
  CloudExtent e;
  for (std::size_t i = first; i < last; ++i)
    if (is_finite_point(cloud, i)) e.add(cloud.x[i], cloud.y[i], cloud.z[i]);
  return e;
}

CloudExtent measure_extent(const PointColumns& cloud, int threads) {
  const auto n = static_cast<std::size_t>(std::max<std::int32_t>(cloud.count, 0));
  if (threads <= 1) return measure_extent(cloud, 0, n);
  // At most 16 chunks, from the count alone; merged in order.
  const std::size_t step = std::max<std::size_t>(std::size_t{1} << 16, (n + 15) / 16);
  const std::int64_t chunks = chunk_count(static_cast<std::int64_t>(n), static_cast<std::int64_t>(step));
  std::vector<CloudExtent> parts(static_cast<std::size_t>(chunks));
  run_chunks(chunks, threads, [&](std::int64_t k) {
    const std::size_t first = static_cast<std::size_t>(k) * step;
    parts[static_cast<std::size_t>(k)] = measure_extent(cloud, first, std::min(n, first + step));
  });
  CloudExtent all;
  for (const CloudExtent& part : parts) all.merge(part);
  return all;
}

}  // namespace ptdelta
