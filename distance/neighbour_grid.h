// neighbour_grid.h - every point of a cloud, duplicates included, in columns for radius, K-nearest and cylinder searches
// It only narrows a search with bounds to spare; the exact tests of each query decide which points count.
#pragma once

#include <algorithm>
#include <utility>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

  // Calls take(first, last) for stretches of columns, one after another,
  // that hold every kept point within `radius` of p (squared distance at most
  // radius^2, widened by a margin far above any rounding) and some others:
  // the points around(p, radius) visits, in the same order, less columns and
  // stretches of columns the ball cannot reach.
  template <class Take>
  void within(float px, float py, float pz, double radius, Take&& take) const;

  // The same for the cylinder of radius r and half-length L around p along
  // the unit axis n, as cylinder_positions tests it: a subset of what around()
  // visits in a box holding the cylinder, in the same order. For each row and
  // column it narrows the positions a along n that reach it, so a column is
  // entered only over the stretch of the third axis the cylinder can cross
  // there. Nothing for an axis that is not finite.
  template <class Take>
  void through(float px, float py, float pz, const Vec3& n, double r, double L, Take&& take) const;

  std::int32_t kept() const { return static_cast<std::int32_t>(points_.size()); }
  // The column width: about the spacing of the points, or the cell asked for.
  double typical_width() const { return width_; }

 private:
  std::int32_t column_of(int axis, double x) const;
  // Bounds of the coordinates on grid axis g of the points in column k of that
  // axis, wider than they are by more than the roundings of column_of and of a
  // difference with a place in the cloud; unbounded outwards for the first
  // and the last column.
  void column_span(int g, std::int32_t k, double& low, double& high) const;
  // Calls take(first, last) for the points of column c whose third
  // coordinate lies in [w_low, w_high], unless there are none.
  template <class Take>
  void scan_column(std::size_t c, double w_low, double w_high, Take& take) const;

  int axis_[3] = {0, 1, 2};  // u, v (the grid) and w (along a column)
  std::int32_t n_[2] = {1, 1};
  double lo_[2] = {0.0, 0.0};
  double inverse_[2] = {0.0, 0.0};
  double width_ = 0.0;
  // Columns of at most this many points on average are searched as one run.
  static constexpr std::uint32_t short_columns = 32;
  double cell_[2] = {0.0, 0.0};   // the width of a column along u and v
  double slack_[2] = {0.0, 0.0};  // what column_span widens by
  std::vector<Point> points_;
  std::vector<std::uint32_t> start_;  // nu * nv + 1 offsets into points_
  // Blocks of block_side x block_side columns, blocks_u_ to a row of blocks:
  // the lowest and highest third coordinate of their points (+inf and -inf
  // when empty), so that a search skips a block its window along w misses.
  static constexpr std::int32_t block_side = 8;
  std::int32_t blocks_u_ = 1;
  std::vector<float> block_low_w_, block_high_w_;
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

// A candidate of nearest_in_box: its rank as one number that orders like
// (point_distance, index), and the point.
struct RankedPoint {
  std::uint64_t key = 0;
  SurfacePoint point;
};

// The same, with the candidates' room given (kept between calls, so that a
// search allocates nothing once it has grown); the result never depends on it.
void nearest_in_box(const NeighbourGrid& grid, float px, float py, float pz, float h, std::int32_t k,
                    std::vector<SurfacePoint>& out, std::vector<RankedPoint>& found);

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
    const std::size_t block_row = static_cast<std::size_t>(v / block_side) * static_cast<std::size_t>(blocks_u_);
    for (std::int32_t u = u_first; u <= u_last; ++u) {
      // Entering a block: past this row's columns of it when its points all
      // lie above or below the window.
      if (u == u_first || u % block_side == 0) {
        const std::size_t b = block_row + static_cast<std::size_t>(u / block_side);
        if (static_cast<double>(block_high_w_[b]) < w_low || static_cast<double>(block_low_w_[b]) > w_high) {
          u = (u / block_side + 1) * block_side - 1;
          continue;
        }
      }
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

template <class Take>
void NeighbourGrid::scan_column(std::size_t c, double w_low, double w_high, Take& take) const {
  const int w = axis_[2];
  const Point* const begin = points_.data() + start_[c];
  const auto n = static_cast<std::ptrdiff_t>(start_[c + 1] - start_[c]);
  if (n == 0) return;
  // The first point at or above w_low, then the first above w_high (the
  // column is sorted along w): a long column is entered by halving.
  const Point* const end = begin + n;
  // Most often the window holds the whole column: its ends alone say so.
  if (w_low <= static_cast<double>(begin->xyz[w]) && static_cast<double>(end[-1].xyz[w]) <= w_high) {
    take(begin, end);
    return;
  }
  const Point* first = begin;
  if (n > 8) {
    first = std::lower_bound(begin, end, w_low, [w](const Point& a, double x) { return static_cast<double>(a.xyz[w]) < x; });
  } else {
    while (first != end && static_cast<double>(first->xyz[w]) < w_low) ++first;
  }
  const Point* last = first;
  while (last != end && !(w_high < static_cast<double>(last->xyz[w]))) ++last;
  if (first < last) take(first, last);
}

template <class Take>
void NeighbourGrid::within(float px, float py, float pz, double radius, Take&& take) const {
  if (points_.empty() || !(radius >= 0.0)) return;
  const double p[3] = {static_cast<double>(px), static_cast<double>(py), static_cast<double>(pz)};
  const double pu = p[axis_[0]], pv = p[axis_[1]], pw = p[axis_[2]];
  // A point within the radius by the computed squared distance is within
  // radius * (1 + 1e-15) or so; 1e-9 leaves room for the roundings below too.
  const double reach = radius * (1.0 + 1e-9);
  const double reach_sq = reach * reach;
  const double w_slack = std::fabs(pw) * 1e-15;
  const auto gap = [](double x, double low, double high) { return x < low ? low - x : x > high ? x - high : 0.0; };
  const std::int32_t v_first = column_of(1, pv - reach - slack_[1]), v_last = column_of(1, pv + reach + slack_[1]);
  for (std::int32_t v = v_first; v <= v_last; ++v) {
    double low = 0.0, high = 0.0;
    column_span(1, v, low, high);
    const double gv = gap(pv, low, high);
    const double rest_v = reach_sq - gv * gv;  // what is left for u and w
    if (!(rest_v >= 0.0)) continue;
    const double ru = std::sqrt(rest_v);
    const std::int32_t u_first = column_of(0, pu - ru - slack_[0]), u_last = column_of(0, pu + ru + slack_[0]);
    const auto row = static_cast<std::size_t>(v) * static_cast<std::size_t>(n_[0]);
    // The row's columns u_first .. u_last are one run of points: taken whole
    // when they hold a few points each, where the bounds of each column would
    // cost more than they save, less the blocks that lie above or below the ball.
    const std::uint32_t run_first = start_[row + static_cast<std::size_t>(u_first)];
    const std::uint32_t run_end = start_[row + static_cast<std::size_t>(u_last) + 1];
    if (run_end - run_first <= static_cast<std::uint32_t>(u_last - u_first + 1) * short_columns) {
      const std::size_t block_row = static_cast<std::size_t>(v / block_side) * static_cast<std::size_t>(blocks_u_);
      std::uint32_t from = run_first;
      for (std::int32_t u = u_first; u <= u_last;) {
        const std::int32_t next = std::min(u_last + 1, (u / block_side + 1) * block_side);  // past this block
        const std::size_t b = block_row + static_cast<std::size_t>(u / block_side);
        if (static_cast<double>(block_high_w_[b]) < pw - reach - w_slack ||
            static_cast<double>(block_low_w_[b]) > pw + reach + w_slack) {
          const std::uint32_t skip_from = start_[row + static_cast<std::size_t>(u)];
          if (from != skip_from) take(points_.data() + from, points_.data() + skip_from);
          from = start_[row + static_cast<std::size_t>(next)];
        }
        u = next;
      }
      if (from != run_end) take(points_.data() + from, points_.data() + run_end);
      continue;
    }
    for (std::int32_t u = u_first; u <= u_last; ++u) {
      column_span(0, u, low, high);
      const double gu = gap(pu, low, high);
      const double rest = rest_v - gu * gu;
      if (!(rest >= 0.0)) continue;
      const double window = std::sqrt(rest) + w_slack;
      scan_column(row + static_cast<std::size_t>(u), pw - window, pw + window, take);
    }
  }
}

template <class Take>
void NeighbourGrid::through(float px, float py, float pz, const Vec3& n, double r, double L, Take&& take) const {
  const double axis[3] = {n.x, n.y, n.z};
  if (points_.empty() || !(r >= 0.0) || !(L >= 0.0)) return;
  for (const double c : axis)
    if (!std::isfinite(c)) return;
  const double p[3] = {static_cast<double>(px), static_cast<double>(py), static_cast<double>(pz)};
  const double pu = p[axis_[0]], pv = p[axis_[1]], pw = p[axis_[2]];
  const double nu = axis[axis_[0]], nv = axis[axis_[1]], nw = axis[axis_[2]];
  // With d = q - p = a n + e (a = d . n, e the part across the axis): a point
  // inside has |a| <= L, |e| <= r, and e's share of axis k is at most
  // |e| sqrt(1 - n_k^2). Every bound is widened for the roundings of the tests
  // (and of a unit axis that is unit to a few bits).
  const double margin = (L + r) * 1e-6;
  const double half = L * (1.0 + 1e-6) + margin;
  const double across = r * (1.0 + 1e-6) + margin;
  if (!std::isfinite(margin)) {  // no bound to narrow by: every point
    for (std::size_t c = 0; c + 1 < start_.size(); ++c) {
      if (start_[c] != start_[c + 1]) take(points_.data() + start_[c], points_.data() + start_[c + 1]);
    }
    return;
  }
  const auto share = [&](double c) { return across * std::sqrt(std::max(0.0, 1.0 - c * c)) + margin; };
  const double eu = share(nu), ev = share(nv), ew = share(nw);
  // Narrows [a_low, a_high] to the a whose a * c can lie in [low, high];
  // false when none can. The bounds are taken with c's inverse (one rounding
  // more than a division, far inside the widening), so a column costs no
  // division; an inverse that overflows gives an infinite or undefined bound,
  // which narrows nothing.
  const auto narrow = [margin](double& a_low, double& a_high, double c, double inverse, double low, double high) {
    if (c == 0.0) return low <= 0.0 && 0.0 <= high;
    double x = low * inverse, y = high * inverse;
    if (c < 0.0) std::swap(x, y);
    a_low = std::max(a_low, x - (std::fabs(x) * 1e-12 + margin));
    a_high = std::min(a_high, y + (std::fabs(y) * 1e-12 + margin));
    return a_low <= a_high;
  };
  const double inverse_u = 1.0 / nu, inverse_v = 1.0 / nv;
  const double w_slack = std::fabs(pw) * 1e-15;
  const double reach_v = half * std::fabs(nv) + ev;
  const std::int32_t v_first = column_of(1, pv - reach_v - slack_[1]), v_last = column_of(1, pv + reach_v + slack_[1]);
  for (std::int32_t v = v_first; v <= v_last; ++v) {
    double low = 0.0, high = 0.0;
    column_span(1, v, low, high);
    // d_v = a n_v + e_v lies in the row's span.
    double a_low = -half, a_high = half;
    if (!narrow(a_low, a_high, nv, inverse_v, (low - pv) - ev, (high - pv) + ev)) continue;
    const double u_low = std::min(a_low * nu, a_high * nu) - eu, u_high = std::max(a_low * nu, a_high * nu) + eu;
    const std::int32_t u_first = column_of(0, pu + u_low - slack_[0]), u_last = column_of(0, pu + u_high + slack_[0]);
    const auto row = static_cast<std::size_t>(v) * static_cast<std::size_t>(n_[0]);
    for (std::int32_t u = u_first; u <= u_last; ++u) {
      column_span(0, u, low, high);
      double b_low = a_low, b_high = a_high;
      if (!narrow(b_low, b_high, nu, inverse_u, (low - pu) - eu, (high - pu) + eu)) continue;
      const double w_low = pw + (std::min(b_low * nw, b_high * nw) - ew) - w_slack;
      const double w_high = pw + (std::max(b_low * nw, b_high * nw) + ew) + w_slack;
      scan_column(row + static_cast<std::size_t>(u), w_low, w_high, take);
    }
  }
}

}  // namespace ptdelta
