// point_columns.h - the column store of one point cloud
// Three parallel float columns filled by one reader, then only read; progress is shown per 500 points.
#pragma once

#include <cstdint>
#include <vector>

namespace ptdelta {

// Point i is (x[i], y[i], z[i]) for 0 <= i < count, in input order.
// While a reader fills the store, x.size() is its capacity and the slot at
// `count` always exists (capacity - count == 500 - growth_counter), so a reader
// converts straight into x[count], y[count], z[count] and then commits.
struct PointColumns {
  std::vector<float> x, y, z;
  std::int32_t count = 0;
  std::int32_t growth_counter = 0;  // points committed since creation or the last growth
};

inline constexpr std::int32_t growth_step = 500;

// Room for 500 zero-filled points in each column. False when memory runs out.
[[nodiscard]] bool create_point_columns(PointColumns& cloud);

// Adds 500 points of room to all three columns. False (columns untouched) when
// memory runs out or the count would leave the signed 32-bit range.
[[nodiscard]] bool grow_columns(PointColumns& cloud);

// Prints the progress counter "\b\b\b\b\b\b\b\b%8d" on standard error.
void print_progress(std::int32_t value);

// Commits the point converted into slot `count`. Growth follows the commit of
// every 500th point (not the attempt at a 501st), and prints the new count.
[[nodiscard]] inline bool commit_point(PointColumns& cloud) {
  ++cloud.count;
  if (++cloud.growth_counter > growth_step - 1) {
    if (!grow_columns(cloud)) return false;
    print_progress(cloud.count);
    cloud.growth_counter = 0;
  }
  return true;
}

}  // namespace ptdelta
