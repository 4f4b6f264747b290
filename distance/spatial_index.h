// spatial_index.h - index over the reference cloud that narrows the distance searches
// It only orders and prunes the search; every candidate still passes the exact inside_box and point_distance.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/method.h"
#include "distance/plane.h"

namespace ptdelta {

// Layout, filled once by build_spatial_index and then only read. The index
// holds its own copies of the points it keeps, so a search never reads the
// reference cloud:
//   - Only points whose three coordinates are finite are kept: any other point
//     fails every box test, so it can never be a candidate.
//   - Exact duplicates (equal coordinates) are kept once, under the smallest
//     index among them: they have the same box test and distance everywhere,
//     and every search answer is the smallest (distance, index) over some
//     index range, which the smallest duplicate in that range always wins.
//   - Axes u and v (the two with the widest extent, u the wider) carry a grid
//     of nu x nv columns; column c = v * nu + u holds points_[column_start_[c],
//     column_start_[c + 1]), sorted by the coordinate on axis w, then by index.
//     A row (fixed v) is one run of memory, and there are at most sqrt(points) rows.
//   - The cell size comes from the data (a couple of points per occupied
//     column), never from the box half-width, and the column count never
//     exceeds the number of kept points.
//   - Blocks of block_side x block_side columns record the smallest and largest
//     w coordinate they hold, so a search skips whole blocks of a surface that
//     lie above or below its box, and their smallest point index, so a search
//     restricted to smaller indices skips blocks without any. Each row of
//     columns records its w range too, and whether it holds a tree column.
//   - A column longer than tree_threshold (points clustered in a spot far
//     smaller than a column) holds its points in k-d order: node k of its tree
//     (root 1, children 2k and 2k + 1) covers a range of them halved at each
//     level, down to leaves of at most tree_leaf points, and records their
//     bounding box and smallest index. A search descends it nearest node first
//     and skips nodes by the same bounds it uses for blocks.
class SpatialIndex {
 public:
  // Bytes held by the index: the point copies, column offsets, block and row summaries.
  [[nodiscard]] std::size_t memory_bytes() const;

  static constexpr std::int32_t block_side = 8;
  static constexpr std::uint32_t tree_threshold = 48;
  static constexpr std::uint32_t tree_leaf = 8;

 private:
  friend struct IndexBuilder;  // index_build.cpp
  friend struct IndexSearch;   // index_traversal.h

  // The column of coordinate x on an axis of n columns starting at lo,
  // `inverse` columns per unit, clamped to [0, n - 1]; build and search place
  // points and boxes by this one formula. Non-decreasing in x (each rounding
  // step is monotonic), so the columns of a range [a, b] lie between those of a and b.
  static std::int32_t column_along(double x, double lo, double inverse, std::int32_t n) {
    if (n <= 1) return 0;
    const double t = (x - lo) * inverse;
    if (!(t > 0.0)) return 0;
    if (t >= static_cast<double>(n)) return n - 1;
    return static_cast<std::int32_t>(t);
  }

  // A kept reference point: its coordinates as stored in the cloud and its index there.
  struct Point {
    float xyz[3];
    std::int32_t index;
  };

  // A node of a column tree: the bounding box of its points and their smallest index.
  struct TreeNode {
    float low[3];
    float high[3];
    std::int32_t first_index;
  };

  // The tree of one long column: its nodes are tree_nodes_[first_node + k - 1].
  struct ColumnTree {
    std::size_t column;
    std::size_t first_node;
  };

  float h_ = 0.0f;
  int u_ = 0, v_ = 1, w_ = 2;            // grid axes u, v and the column axis w (0 = x, 1 = y, 2 = z)
  std::int32_t nu_ = 1, nv_ = 1;         // columns along u and v
  std::int32_t blocks_u_ = 1;            // blocks along u
  double lo_[3] = {0.0, 0.0, 0.0};       // smallest kept coordinate on each axis (exact)
  double hi_[3] = {0.0, 0.0, 0.0};       // largest kept coordinate on each axis (exact)
  double cell_[3] = {0.0, 0.0, 0.0};     // column width along u and v
  double inverse_[3] = {0.0, 0.0, 0.0};  // columns per unit along u and v
  double slack_[3] = {0.0, 0.0, 0.0};    // how far rounding may put a point outside its column's bounds
  std::vector<Point> points_;
  std::vector<std::uint32_t> column_start_;      // nu * nv + 1 offsets into points_
  std::vector<float> block_low_w_;               // per block: smallest w held, +inf when empty
  std::vector<float> block_high_w_;              // per block: largest w held, -inf when empty
  std::vector<std::int32_t> block_first_index_;  // per block: smallest point index held, INT32_MAX when empty
  std::vector<float> row_low_w_;                 // per row of columns: smallest w held, +inf when empty
  std::vector<float> row_high_w_;                // per row of columns: largest w held, -inf when empty
  std::vector<std::uint8_t> row_has_tree_;       // per row of columns: 1 when one of its columns is a tree
  std::vector<ColumnTree> trees_;                // sorted by column
  std::vector<TreeNode> tree_nodes_;
};

// Builds the index over `ref` for boxes of half-width `h`. Failure::out_of_memory
// when its memory cannot be had. The index keeps copies of the points it needs
// and a search reads nothing else, so `ref` need not outlive the index (the
// pass still reads it for method B's plane, which the index does not give).
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

// The point of indexed_nearest_distance: the same distance, the smallest index
// among the in-box points at that (rounded) distance.
NearestPoint indexed_nearest_point(const SpatialIndex& index, const PointColumns& test, std::int32_t j);

}  // namespace ptdelta
