// neighbour_grid.h - every point of a cloud, duplicates included, in columns for radius, K-nearest and cylinder searches
// It only narrows a search with bounds to spare; the exact tests of each query decide which points count.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/local_surface.h"

namespace ptdelta {

// Layout, filled once by build and then only read: the points with three
// finite coordinates (every copy of a duplicate, each under its own index), in
// a grid of nu x nv columns over the two axes of widest extent, each column
// sorted by the third axis, then by the other two, then by index. Every
// traversal visits its points in this one order (column, then position along
// it), which depends on the coordinates alone: sums over a neighbourhood in
// the order visited are the same for any input order and any thread. The column width follows the
// density of the cloud (about two points per occupied column on a surface) or
// the `cell` asked for, whichever is wider.
class NeighbourGrid {
 public:
  struct Point {
    float xyz[3];
    std::int32_t index;
  };

  // Failure::out_of_memory when the columns cannot be had.
  Failure build(const PointColumns& cloud, double cell = 0.0);

  // Calls visit(point) for every kept point whose coordinates all lie within
  // `reach` of (px, py, pz) (widened by a margin far above any rounding), and
  // for some others beyond it; each at most once, in an order fixed by the grid.
  template <class Visit>
  void around(float px, float py, float pz, double reach, Visit&& visit) const {
    const double box[3] = {reach, reach, reach};
    around(px, py, pz, box, visit);
  }
  // The same with a reach of its own along x, y and z.
  template <class Visit>
  void around(float px, float py, float pz, const double (&reach)[3], Visit&& visit) const;

  std::int32_t kept() const { return static_cast<std::int32_t>(points_.size()); }
  // The column width: about the spacing of the points, or the cell asked for.
  double typical_width() const { return width_; }

 private:
  std::int32_t column_of(int axis, double x) const;

  int axis_[3] = {0, 1, 2};  // u, v (the grid) and w (along a column)
  std::int32_t n_[2] = {1, 1};
  double lo_[2] = {0.0, 0.0};
  double inverse_[2] = {0.0, 0.0};
  double width_ = 0.0;
  std::vector<Point> points_;
  std::vector<std::uint32_t> start_;  // nu * nv + 1 offsets into points_
};

// Every point of `grid` within `radius` of p: squared_distance in double at
// most radius * radius (a point at exactly the radius counts), as stored, in
// the grid's order.
void points_within(const NeighbourGrid& grid, float px, float py, float pz, double radius,
                   std::vector<SurfacePoint>& out);

// The K points nearest to p strictly inside the box of half-width h around it
// (fewer when the box holds fewer), by (point_distance, index): the distance as
// the nearest-point method rounds it, equal distances to the smaller index.
void nearest_in_box(const NeighbourGrid& grid, float px, float py, float pz, float h, std::int32_t k,
                    std::vector<SurfacePoint>& out);

// The positions along the unit axis n of the points inside the cylinder of
// radius r and half-length L around p: with d = q - p (in double),
// a = d . n is kept when |a| <= L and |d - a n|^2 <= r * r; in the grid's order.
void cylinder_positions(const NeighbourGrid& grid, float px, float py, float pz, const Vec3& n, double r, double L,
                        std::vector<double>& out);

// ---- the traversal ----

template <class Visit>
void NeighbourGrid::around(float px, float py, float pz, const double (&reach)[3], Visit&& visit) const {
  if (points_.empty() || !(reach[0] >= 0.0 && reach[1] >= 0.0 && reach[2] >= 0.0)) return;
  const double p[3] = {static_cast<double>(px), static_cast<double>(py), static_cast<double>(pz)};
  // A point that passes an exact test lies within reach * (1 + 1e-15) or so on
  // its axis; the window p -+ wide holds it whatever the roundings of its bounds.
  const auto wide = [&](int axis) { return reach[axis] * (1.0 + 1e-9) + std::fabs(p[axis]) * 1e-15; };
  const double pu = p[axis_[0]], pv = p[axis_[1]], pw = p[axis_[2]];
  const double ru = wide(axis_[0]), rv = wide(axis_[1]), rw = wide(axis_[2]);
  const std::int32_t u_first = column_of(0, pu - ru), u_last = column_of(0, pu + ru);
  const std::int32_t v_first = column_of(1, pv - rv), v_last = column_of(1, pv + rv);
  const double w_low = pw - rw, w_high = pw + rw;
  const int w = axis_[2];
  for (std::int32_t v = v_first; v <= v_last; ++v) {
    const auto row = static_cast<std::size_t>(v) * static_cast<std::size_t>(n_[0]);
    for (std::int32_t u = u_first; u <= u_last; ++u) {
      const std::size_t c = row + static_cast<std::size_t>(u);
      const Point* q = points_.data() + start_[c];
      const Point* const end = points_.data() + start_[c + 1];
      if (end - q > 8) {
        q = std::lower_bound(q, end, w_low,
                             [w](const Point& a, double x) { return static_cast<double>(a.xyz[w]) < x; });
      }
      for (; q != end; ++q) {
        const double qw = static_cast<double>(q->xyz[w]);
        if (qw < w_low) continue;
        if (qw > w_high) break;
        visit(*q);
      }
    }
  }
}

}  // namespace ptdelta
