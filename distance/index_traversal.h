// index_traversal.h - the walk over the spatial index's rows, columns, blocks and trees that every indexed search shares
// It offers each point it cannot rule out to a result set and prunes by the set's reach; the sets decide what counts.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/exact.h"
#include "core/point_cloud.h"
#include "distance/spatial_index.h"

namespace ptdelta {

// One search around one test point: the box and the bounds that prune, over
// one traversal that offers points to a result set. Rows of columns are
// visited outwards from the test point's row, nearer side first; a direction
// ends at the first row whose lower bound exceeds the set's reach, since
// bounds only grow outwards. Within a row, columns are taken the same way.
struct IndexSearch {
  using Point = SpatialIndex::Point;
  using TreeNode = SpatialIndex::TreeNode;

  static constexpr double infinity = std::numeric_limits<double>::infinity();
  // Columns longer than this are entered by binary search on w, shorter ones by a
  // walk (columns longer than SpatialIndex::tree_threshold are trees).
  static constexpr std::ptrdiff_t short_column = 8;

  const SpatialIndex& ix;
  float qf[3] = {0.0f, 0.0f, 0.0f};  // the test point as stored
  double q[3] = {0.0, 0.0, 0.0};
  double box_reach_w = 0.0;                            // h: every in-box point has |w - q_w| below it
  double gap_w_sq = 0.0;                               // squared distance from q_w to the w range of all kept points
  std::int32_t u_first = 0, u_last = 0, u_center = 0;  // columns that may hold in-box points, and q's own
  std::int32_t v_first = 0, v_last = 0, v_center = 0;

  explicit IndexSearch(const SpatialIndex& index) : ix(index) {}

  // False when no kept point can be inside the box (non-finite test point, a
  // box half-width that is not positive, or a box clear of the cloud's extent).
  bool prepare(const PointColumns& test, std::int32_t j) {
    const auto t = static_cast<std::size_t>(j);
    qf[0] = test.x[t];
    qf[1] = test.y[t];
    qf[2] = test.z[t];
    if (ix.points_.empty() || !(ix.h_ > 0.0f)) return false;  // h = 0, negative or NaN: nothing is inside
    if (!is_finite_point(test, t)) return false;
    const double h = static_cast<double>(ix.h_);
    // inside_box compares q with ref +- h rounded to double. Rounding is
    // monotonic and q is itself a double, so an in-box point is strictly within
    // h of q exactly, and lies between q - h and q + h however those round.
    for (int a = 0; a < 3; ++a) {
      q[a] = static_cast<double>(qf[a]);
      if (q[a] + h < ix.lo_[a] || q[a] - h > ix.hi_[a]) return false;
    }
    const int u = ix.u_, v = ix.v_, w = ix.w_;
    u_first = SpatialIndex::column_along(q[u] - h, ix.lo_[u], ix.inverse_[u], ix.nu_);
    u_last = SpatialIndex::column_along(q[u] + h, ix.lo_[u], ix.inverse_[u], ix.nu_);
    u_center = SpatialIndex::column_along(q[u], ix.lo_[u], ix.inverse_[u], ix.nu_);
    v_first = SpatialIndex::column_along(q[v] - h, ix.lo_[v], ix.inverse_[v], ix.nv_);
    v_last = SpatialIndex::column_along(q[v] + h, ix.lo_[v], ix.inverse_[v], ix.nv_);
    v_center = SpatialIndex::column_along(q[v], ix.lo_[v], ix.inverse_[v], ix.nv_);
    box_reach_w = h;
    const double gap_w = q[w] < ix.lo_[w] ? ix.lo_[w] - q[w] : q[w] > ix.hi_[w] ? q[w] - ix.hi_[w] : 0.0;
    gap_w_sq = gap_w * gap_w;
    return true;
  }

  // The larger column width: the nearest point is usually within about one.
  double cell() const { return std::max(ix.cell_[ix.u_], ix.cell_[ix.v_]); }

  // Lower bound of the distance from q to any point of column k on grid axis a
  // (n columns), widened by the rounding slack of the column formula.
  double gap_to_column(int a, std::int32_t k, std::int32_t n) const {
    const double low = k == 0 ? ix.lo_[a] : (ix.lo_[a] + static_cast<double>(k) * ix.cell_[a]) - ix.slack_[a];
    if (q[a] < low) return low - q[a];
    const double high = k == n - 1 ? ix.hi_[a] : (ix.lo_[a] + static_cast<double>(k + 1) * ix.cell_[a]) + ix.slack_[a];
    if (q[a] > high) return q[a] - high;
    return 0.0;
  }

  // Offers one point: its squared distance when it is inside the box, +infinity otherwise.
  template <class Set>
  void offer(Set& set, const Point& p) const {
    const double s = squared_distance(p.xyz[0], p.xyz[1], p.xyz[2], qf[0], qf[1], qf[2]);
    const bool in = inside_box(p.xyz[0], p.xyz[1], p.xyz[2], qf[0], qf[1], qf[2], ix.h_);
    set.offer(in ? s : infinity, p.index);
  }

  // True when the box of `node` holds no point inside the search box or within
  // reach, or (for a ranked set) none with an index below its limit. Both
  // bounds are the point formulas applied to the box's corners: every rounding
  // step is monotonic, so no point of the box gets past them.
  template <class Set>
  bool node_clear(const Set& set, const TreeNode& node) const {
    if (set.skips_indices_from(node.first_index)) return true;
    const double h = static_cast<double>(ix.h_);
    double gap[3];
    for (int a = 0; a < 3; ++a) {
      const double low = static_cast<double>(node.low[a]), high = static_cast<double>(node.high[a]);
      if (!(q[a] < high + h && low - h < q[a])) return true;  // as inside_box on the nearest side
      gap[a] = q[a] < low ? low - q[a] : q[a] > high ? q[a] - high : 0.0;
    }
    return (gap[0] * gap[0] + gap[1] * gap[1]) + gap[2] * gap[2] > set.reach_sq;
  }

  // Offers the points of tree column c that the node bounds cannot rule out,
  // nearer half first.
  template <class Set>
  void search_tree(Set& set, std::size_t c) const {
    const auto tree = std::lower_bound(ix.trees_.begin(), ix.trees_.end(), c,
                                       [](const SpatialIndex::ColumnTree& t, std::size_t k) { return t.column < k; });
    const TreeNode* nodes = ix.tree_nodes_.data() + tree->first_node - 1;  // node k is nodes[k]
    const Point* points = ix.points_.data();
    struct Range {
      std::size_t k;
      std::uint32_t begin, end;
    };
    // Depth-first: at most one pending sibling per level, and a level halves at
    // least 2^31 points in 32 steps.
    Range stack[64];
    int top = 0;
    stack[top++] = {1, ix.column_start_[c], ix.column_start_[c + 1]};
    while (top > 0) {
      const Range r = stack[--top];
      if (node_clear(set, nodes[r.k])) continue;
      if (r.end - r.begin <= SpatialIndex::tree_leaf) {
        for (std::uint32_t i = r.begin; i < r.end; ++i) offer(set, points[i]);
        continue;
      }
      const std::uint32_t middle = r.begin + (r.end - r.begin) / 2;
      const Range low{2 * r.k, r.begin, middle}, high{2 * r.k + 1, middle, r.end};
      const bool low_first = node_gap_sq(nodes[low.k]) <= node_gap_sq(nodes[high.k]);
      stack[top++] = low_first ? high : low;
      stack[top++] = low_first ? low : high;
    }
  }

  double node_gap_sq(const TreeNode& node) const {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double low = static_cast<double>(node.low[a]), high = static_cast<double>(node.high[a]);
      const double g = q[a] < low ? low - q[a] : q[a] > high ? q[a] - high : 0.0;
      sum += g * g;
    }
    return sum;
  }

  bool is_tree(std::size_t c) const {
    return ix.column_start_[c + 1] - ix.column_start_[c] > SpatialIndex::tree_threshold;
  }

  // Offers the points of column c, whose u-v distance from q is at least
  // sqrt(uv_sq), that may lie within reach and inside the box along w.
  template <class Set>
  void scan_column(Set& set, std::size_t c, double uv_sq) const {
    if (is_tree(c)) {
      search_tree(set, c);
      return;
    }
    const std::uint32_t* start = ix.column_start_.data();
    const Point* p = ix.points_.data() + start[c];
    const Point* const end = ix.points_.data() + start[c + 1];
    const int w = ix.w_;
    const double qw = q[w];
    if (end - p > short_column) {
      // A long column (a wall seen edge-on, a deep cloud): enter the window by
      // binary search. A point outside the rounded window q_w -+ window is
      // outside the exact one, and the roundings of the window itself are far
      // inside the margin of the reach.
      const double window = set.reach_sq == infinity
                                ? box_reach_w
                                : std::min(box_reach_w, std::sqrt(std::max(0.0, set.reach_sq - uv_sq)));
      p = std::lower_bound(p, end, qw - window,
                           [w](const Point& a, double z) { return static_cast<double>(a.xyz[w]) < z; });
    }
    // In w order: below q_w pass over points out of reach or box, above q_w
    // stop at the first (every later one is farther along w).
    for (; p != end; ++p) {
      const double dw = static_cast<double>(p->xyz[w]) - qw;
      if (dw * dw + uv_sq > set.reach_sq || std::fabs(dw) > box_reach_w) {
        if (dw > 0.0) break;
        continue;
      }
      offer(set, *p);
    }
  }

  // True when the block of column (u, v) holds no point within reach and
  // inside the box along w, for the block's columns in row v from u onwards
  // (u-v distance at least sqrt(uv_sq)), or, for a ranked set, no index below
  // its limit.
  template <class Set>
  bool block_clear(const Set& set, std::int32_t u, std::int32_t v, double uv_sq) const {
    const std::int32_t side = SpatialIndex::block_side;
    const std::size_t block = static_cast<std::size_t>(v / side) * static_cast<std::size_t>(ix.blocks_u_) +
                              static_cast<std::size_t>(u / side);
    if (set.skips_indices_from(ix.block_first_index_[block])) return true;
    const double window = set.reach_sq == infinity
                              ? box_reach_w
                              : std::min(box_reach_w, std::sqrt(std::max(0.0, set.reach_sq - uv_sq)));
    const double w = q[ix.w_];
    return static_cast<double>(ix.block_high_w_[block]) < w - window ||
           static_cast<double>(ix.block_low_w_[block]) > w + window;
  }

  // Lower bound of the squared u-v distance to column u of a row at v_sq
  // (infinity outside the box's columns; the walks test the range themselves).
  double column_bound(std::int32_t u, double v_sq) const {
    if (u < u_first || u > u_last) return infinity;
    const double g = gap_to_column(ix.u_, u, ix.nu_);
    return g * g + v_sq;
  }

  double row_bound(std::int32_t v) const {
    if (v < v_first || v > v_last) return infinity;
    const double g = gap_to_column(ix.v_, v, ix.nv_);
    return g * g;
  }

  // Walks row v (u-v distance at least sqrt(v_sq), squared w distance at
  // least w_sq) column by column, with column and block pruning: for a reach
  // that is large or not yet known.
  template <class Set>
  void walk_row(Set& set, std::int32_t v, double v_sq, double w_sq) const {
    const std::uint32_t* start = ix.column_start_.data();
    const std::size_t base = static_cast<std::size_t>(v) * static_cast<std::size_t>(ix.nu_);
    const auto column = [base](std::int32_t u) { return base + static_cast<std::size_t>(u); };
    // Until something is found the walk would cross the whole box: skip a row
    // with nothing in the box's columns (the offsets are prefix counts). Once
    // the reach is finite the walk stops near q, and this check would only
    // cost two far loads.
    if (set.reach_sq == infinity && start[column(u_first)] == start[column(u_last) + 1]) return;
    const std::int32_t side = SpatialIndex::block_side;
    std::int32_t right = u_center, left = u_center - 1;
    double right_sq = column_bound(right, v_sq), left_sq = column_bound(left, v_sq);
    bool right_entering = true, left_entering = true;  // at the first column of a block in this walk
    for (;;) {
      const bool right_open = right <= u_last && right_sq + w_sq <= set.reach_sq;
      const bool left_open = left >= u_first && left_sq + w_sq <= set.reach_sq;
      if (right_open && (!left_open || right_sq <= left_sq)) {
        // Entering a block, this column is its nearest in the walk's direction.
        if (right_entering && block_clear(set, right, v, right_sq)) {
          right = (right / side + 1) * side;  // past this row's columns of the block
        } else {
          if (start[column(right)] != start[column(right) + 1]) scan_column(set, column(right), right_sq);
          ++right;
        }
        right_entering = right % side == 0;
        right_sq = column_bound(right, v_sq);
      } else if (left_open) {
        if (left_entering && block_clear(set, left, v, left_sq)) {
          left = left / side * side - 1;
        } else {
          if (start[column(left)] != start[column(left) + 1]) scan_column(set, column(left), left_sq);
          --left;
        }
        left_entering = left % side == side - 1;
        left_sq = column_bound(left, v_sq);
      } else {
        return;
      }
    }
  }

  // Offers every point of row v (u-v distance at least sqrt(v_sq), squared w
  // distance at least w_sq) whose column lies within reach of q along u, as
  // one run of points: for a small reach. Tree columns are searched as trees.
  template <class Set>
  void scan_run(Set& set, std::int32_t v, double v_sq, double w_sq) const {
    const double rest = set.reach_sq - v_sq - w_sq;
    if (!(rest >= 0.0)) return;
    const double r = std::sqrt(rest);
    const int u = ix.u_;
    // A point within r of q along u has its column between those of q_u -+ r
    // (the column formula is monotonic and the point's coordinate exact).
    const auto column = [&](double x) { return SpatialIndex::column_along(x, ix.lo_[u], ix.inverse_[u], ix.nu_); };
    const std::int32_t first = std::max(u_first, column(q[u] - r));
    const std::int32_t last = std::min(u_last, column(q[u] + r));
    if (first > last) return;
    const std::uint32_t* start = ix.column_start_.data();
    const std::size_t base = static_cast<std::size_t>(v) * static_cast<std::size_t>(ix.nu_);
    const std::size_t c_first = base + static_cast<std::size_t>(first), c_last = base + static_cast<std::size_t>(last);
    if (ix.row_has_tree_[static_cast<std::size_t>(v)] == 0) {
      const Point* p = ix.points_.data() + start[c_first];
      const Point* const end = ix.points_.data() + start[c_last + 1];
      for (; p != end; ++p) offer(set, *p);
      return;
    }
    // Runs of plain columns between the trees.
    std::size_t run_from = c_first;
    for (std::size_t c = c_first; c <= c_last + 1; ++c) {
      if (c <= c_last && !is_tree(c)) continue;
      const Point* p = ix.points_.data() + start[run_from];
      const Point* const end = ix.points_.data() + start[c];
      for (; p != end; ++p) offer(set, *p);
      if (c <= c_last) search_tree(set, c);
      run_from = c + 1;
    }
  }

  // Rows outwards from q's row, nearer side first, while their bound is within
  // reach; each as one run (runs = true) or by a walk. A direction ends on the
  // bound from the whole cloud's w range, which grows outwards; a row is
  // skipped on the tighter bound from its own w range, which does not.
  template <bool runs, class Set>
  void scan_rows(Set& set) const {
    std::int32_t up = v_center, down = v_center - 1;
    double up_sq = row_bound(up), down_sq = row_bound(down);
    for (;;) {
      const bool up_open = up <= v_last && up_sq + gap_w_sq <= set.reach_sq;
      const bool down_open = down >= v_first && down_sq + gap_w_sq <= set.reach_sq;
      std::int32_t v;
      double v_sq;
      if (up_open && (!down_open || up_sq <= down_sq)) {
        v = up;
        v_sq = up_sq;
        up_sq = row_bound(++up);
      } else if (down_open) {
        v = down;
        v_sq = down_sq;
        down_sq = row_bound(--down);
      } else {
        return;
      }
      const auto row = static_cast<std::size_t>(v);
      const double low = static_cast<double>(ix.row_low_w_[row]), high = static_cast<double>(ix.row_high_w_[row]);
      if (!(low <= high)) continue;  // an empty row
      const double gap = q[ix.w_] < low ? low - q[ix.w_] : q[ix.w_] > high ? q[ix.w_] - high : 0.0;
      const double w_sq = gap * gap;
      if (v_sq + w_sq > set.reach_sq) continue;
      if constexpr (runs) {
        scan_run(set, v, v_sq, w_sq);
      } else {
        walk_row(set, v, v_sq, w_sq);
      }
    }
  }

  // A nearest or ranked search. First search as if something had been found
  // at distance `assumed`, then at four times that: all that lies within the
  // assumed reach is seen, so a best point whose own reach fits inside it is
  // final. Otherwise the general walk goes on from the best so far.
  template <class Set>
  void run(Set& set, double assumed) const {
    if (assumed > 0.0) {
      for (const double reach : {assumed, 4.0 * assumed}) {
        const double assumed_sq = reach * reach;
        set.reach_sq = std::min(set.settled_reach(), assumed_sq);
        scan_rows<true>(set);
        set.reach_sq = set.settled_reach();
        if (set.reach_sq <= assumed_sq) return;
      }
    }
    scan_rows<false>(set);
  }
};

}  // namespace ptdelta
