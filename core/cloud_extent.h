// cloud_extent.h - the box of a cloud's finite points, and how many they are
// Used by the query order, the index build and the report's top view; the bounds are exact (floats widened to double).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/point_cloud.h"

namespace ptdelta {

// The smallest and largest coordinate on each axis over the points counted.
// Empty (finite_points 0): min is +infinity and max -infinity on every axis.
// A minimum or maximum met more than once keeps the first value met (so -0 and
// +0 keep the sign seen first); measuring in chunks and merging them in order
// gives the same bits as one pass.
struct CloudExtent {
  static constexpr double infinity = std::numeric_limits<double>::infinity();
  std::array<double, 3> min{infinity, infinity, infinity};
  std::array<double, 3> max{-infinity, -infinity, -infinity};
  std::int64_t finite_points = 0;

  // Counts one point, whose three coordinates the caller knows to be finite.
  void add(float x, float y, float z);
  // Takes in an extent measured over points after those counted so far.
  void merge(const CloudExtent& later);
};

// The extent of the finite points among first .. last - 1.
CloudExtent measure_extent(const PointColumns& cloud, std::size_t first, std::size_t last);

// The extent of the cloud's finite points, measured on up to `threads` threads
// (the same for any number). Throws std::bad_alloc only when threads > 1.
CloudExtent measure_extent(const PointColumns& cloud, int threads = 1);

}  // namespace ptdelta
