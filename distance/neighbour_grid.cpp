#include "distance/neighbour_grid.h"

#include <bit>
#include <limits>
#include <new>

#include "core/exact.h"

namespace ptdelta {

namespace {

// Two doubles side by side, each lane rounding as a double alone does (the
// vector type of GCC and Clang, for any target).
typedef double Pair __attribute__((vector_size(16)));

// Coordinate `axis` of the points q[0] and q[1], one lane each, less c, in double.
inline Pair lane_offsets(const NeighbourGrid::Point* q, int axis, double c) {
  return Pair{static_cast<double>(q[0].xyz[axis]), static_cast<double>(q[1].xyz[axis])} - c;
}

}  // namespace

std::int32_t NeighbourGrid::column_of(int g, double x) const {
  const std::int32_t n = n_[g];
  if (n <= 1) return 0;
  const double t = (x - lo_[g]) * inverse_[g];
  if (!(t > 0.0)) return 0;
  if (t >= static_cast<double>(n)) return n - 1;
  return static_cast<std::int32_t>(t);  // non-decreasing in x: a range maps to a range of columns
}

void NeighbourGrid::column_span(int g, std::int32_t k, double& low, double& high) const {
  constexpr double unbounded = std::numeric_limits<double>::infinity();
  low = k <= 0 ? -unbounded : (lo_[g] + static_cast<double>(k) * cell_[g]) - slack_[g];
  high = k >= n_[g] - 1 ? unbounded : (lo_[g] + static_cast<double>(k + 1) * cell_[g]) + slack_[g];
}

Failure NeighbourGrid::build(const PointColumns& cloud, double cell) {
  try {
    points_.clear();
    double lo[3] = {0.0, 0.0, 0.0}, hi[3] = {0.0, 0.0, 0.0};
    std::vector<Point> kept;
    for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i) {
      if (!is_finite_point(cloud, i)) continue;
      const Point p{{cloud.x[i], cloud.y[i], cloud.z[i]}, static_cast<std::int32_t>(i)};
      for (int a = 0; a < 3; ++a) {
        const auto c = static_cast<double>(p.xyz[a]);
        if (kept.empty() || c < lo[a]) lo[a] = c;
        if (kept.empty() || c > hi[a]) hi[a] = c;
      }
      kept.push_back(p);
    }
    // u and v: the two widest axes (the first of equal ones), w the third.
    int order[3] = {0, 1, 2};
    std::stable_sort(order, order + 3, [&](int a, int b) { return hi[a] - lo[a] > hi[b] - lo[b]; });
    axis_[0] = order[0];
    axis_[1] = order[1];
    axis_[2] = order[2];
    const double count = static_cast<double>(std::max<std::size_t>(kept.size(), 1));
    const double eu = hi[axis_[0]] - lo[axis_[0]], ev = hi[axis_[1]] - lo[axis_[1]];
    // About two points per column of a surface spread over eu x ev.
    double width = std::sqrt(2.0 * std::max(eu * ev, eu * eu / count) / count);
    if (cell > width) width = cell;
    width_ = width;
    const double limit = 4.0 * count + 16.0;  // columns, at most
    for (int g = 0; g < 2; ++g) {
      const double extent = g == 0 ? eu : ev;
      lo_[g] = lo[axis_[g]];
      double columns = width > 0.0 ? std::floor(extent / width) + 1.0 : 1.0;
      if (!(columns <= std::sqrt(limit))) columns = std::floor(std::sqrt(limit));
      n_[g] = static_cast<std::int32_t>(std::max(1.0, columns));
      inverse_[g] = extent > 0.0 ? static_cast<double>(n_[g]) / extent : 0.0;
      // column_of rounds twice, a few parts in 1e16 of the coordinates: this
      // is thousands of times more.
      cell_[g] = extent > 0.0 ? extent / static_cast<double>(n_[g]) : 0.0;
      slack_[g] = cell_[g] * 1e-9 + (std::fabs(lo_[g]) + extent) * 1e-12;
    }
    const std::size_t columns = static_cast<std::size_t>(n_[0]) * static_cast<std::size_t>(n_[1]);
    start_.assign(columns + 1, 0);
    std::vector<std::uint32_t> column(kept.size());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      const double u = static_cast<double>(kept[i].xyz[axis_[0]]), v = static_cast<double>(kept[i].xyz[axis_[1]]);
      column[i] = static_cast<std::uint32_t>(static_cast<std::size_t>(column_of(1, v)) * static_cast<std::size_t>(n_[0]) +
                                             static_cast<std::size_t>(column_of(0, u)));
      ++start_[column[i] + 1];
    }
    for (std::size_t c = 0; c < columns; ++c) start_[c + 1] += start_[c];
    points_.resize(kept.size());
    std::vector<std::uint32_t> next(start_.begin(), start_.end() - 1);
    for (std::size_t i = 0; i < kept.size(); ++i) points_[next[column[i]]++] = kept[i];
    const int u = axis_[0], v = axis_[1], w = axis_[2];
    for (std::size_t c = 0; c < columns; ++c) {
      std::sort(points_.begin() + start_[c], points_.begin() + start_[c + 1], [u, v, w](const Point& a, const Point& b) {
        if (a.xyz[w] != b.xyz[w]) return a.xyz[w] < b.xyz[w];
        if (a.xyz[u] != b.xyz[u]) return a.xyz[u] < b.xyz[u];
        if (a.xyz[v] != b.xyz[v]) return a.xyz[v] < b.xyz[v];
        return a.index < b.index;
      });
    }
    blocks_u_ = (n_[0] + block_side - 1) / block_side;
    const std::int32_t blocks_v = (n_[1] + block_side - 1) / block_side;
    const std::size_t blocks = static_cast<std::size_t>(blocks_u_) * static_cast<std::size_t>(blocks_v);
    block_low_w_.assign(blocks, std::numeric_limits<float>::infinity());
    block_high_w_.assign(blocks, -std::numeric_limits<float>::infinity());
    for (std::int32_t cv = 0; cv < n_[1]; ++cv) {
      for (std::int32_t cu = 0; cu < n_[0]; ++cu) {
        const std::size_t c = static_cast<std::size_t>(cv) * static_cast<std::size_t>(n_[0]) + static_cast<std::size_t>(cu);
        if (start_[c] == start_[c + 1]) continue;
        const std::size_t b = static_cast<std::size_t>(cv / block_side) * static_cast<std::size_t>(blocks_u_) +
                              static_cast<std::size_t>(cu / block_side);
        // A column is sorted along w: its first and last points bound it.
        block_low_w_[b] = std::min(block_low_w_[b], points_[start_[c]].xyz[w]);
        block_high_w_[b] = std::max(block_high_w_[b], points_[start_[c + 1] - 1].xyz[w]);
      }
    }
  } catch (const std::bad_alloc&) {
    points_.clear();
    start_.clear();
    block_low_w_.clear();
    block_high_w_.clear();
    return Failure::out_of_memory;
  }
  return Failure::none;
}

void points_within(const NeighbourGrid& grid, float px, float py, float pz, double radius,
                   std::vector<SurfacePoint>& out) {
  out.clear();
  const double limit = radius * radius;
  std::size_t count = 0;
  // Every visited point is written at the end and counted when it is inside:
  // whether it is, is a coin toss no branch predictor wins. The tests come
  // first, two points per step (each lane squared_distance's steps).
  constexpr std::ptrdiff_t piece = 32;
  std::uint8_t inside[piece];
  const double cx = static_cast<double>(px), cy = static_cast<double>(py), cz = static_cast<double>(pz);
  grid.within(px, py, pz, radius, [&](const NeighbourGrid::Point* first, const NeighbourGrid::Point* last) {
    out.resize(count + static_cast<std::size_t>(last - first));
    SurfacePoint* const o = out.data();
    for (const NeighbourGrid::Point* q = first; q < last; q += piece) {
      const std::ptrdiff_t m = std::min(piece, last - q);
      std::ptrdiff_t i = 0;
      for (; i + 1 < m; i += 2) {
        const Pair dx = lane_offsets(q + i, 0, cx);
        const Pair dy = lane_offsets(q + i, 1, cy);
        const Pair dz = lane_offsets(q + i, 2, cz);
        const auto keep = ((dx * dx + dy * dy) + dz * dz) <= limit;
        inside[i] = static_cast<std::uint8_t>(keep[0] & 1);
        inside[i + 1] = static_cast<std::uint8_t>(keep[1] & 1);
      }
      if (i < m) {
        inside[i] = static_cast<std::uint8_t>(squared_distance(q[i].xyz[0], q[i].xyz[1], q[i].xyz[2], px, py, pz) <= limit);
      }
      for (std::ptrdiff_t k = 0; k < m; ++k) {
        o[count] = {q[k].xyz[0], q[k].xyz[1], q[k].xyz[2]};
        count += inside[k];
      }
    }
  });
  out.resize(count);
}

namespace {

// A point as one number that orders like (point_distance, index): the bits of
// a non-negative float order as its values do.
std::uint64_t rank_key(float d, std::int32_t index) {
  return (static_cast<std::uint64_t>(std::bit_cast<std::uint32_t>(d)) << 32) | static_cast<std::uint32_t>(index);
}

}  // namespace

void nearest_in_box(const NeighbourGrid& grid, float px, float py, float pz, float h, std::int32_t k,
                    std::vector<SurfacePoint>& out) {
  std::vector<RankedPoint> found;
  nearest_in_box(grid, px, py, pz, h, k, out, found);
}

void nearest_in_box(const NeighbourGrid& grid, float px, float py, float pz, float h, std::int32_t k,
                    std::vector<SurfacePoint>& out, std::vector<RankedPoint>& found) {
  out.clear();
  if (k <= 0 || !(h > 0.0f)) return;
  const double box = static_cast<double>(h);
  // Balls of growing radius rho: every in-box point with squared distance at
  // most rho^2 is collected. A point left out has a larger squared distance,
  // so a distance at least distance_of_squared(rho^2) (the rounding is
  // monotonic): when the K-th smallest collected distance is below that, no
  // point left out can beat or tie it. The last round takes the whole box: as
  // soon as the ball reaches as far as the box along an axis, since its round
  // would then search as many columns as the box's and settle less.
  const auto kth = static_cast<std::size_t>(k);
  const double hd = static_cast<double>(h);
  const double t[3] = {static_cast<double>(px), static_cast<double>(py), static_cast<double>(pz)};
  double rho = 0.6 * std::max(grid.typical_width(), 0.0) * std::sqrt(static_cast<double>(k));
  for (;;) {
    const bool whole_box = !(rho > 0.0) || rho >= box;
    const double limit = rho * rho;
    found.clear();
    const auto offer = [&](const NeighbourGrid::Point& q) {
      if (!inside_box(q.xyz[0], q.xyz[1], q.xyz[2], px, py, pz, h)) return;
      const double s = squared_distance(q.xyz[0], q.xyz[1], q.xyz[2], px, py, pz);
      if (!whole_box && s > limit) return;
      found.push_back({rank_key(distance_of_squared(s), q.index), {q.xyz[0], q.xyz[1], q.xyz[2]}});
    };
    if (whole_box) {
      grid.around(px, py, pz, box, offer);
    } else {
      // offer's tests two points per step, then the candidates ranked.
      grid.within(px, py, pz, rho, [&](const NeighbourGrid::Point* first, const NeighbourGrid::Point* last) {
        const NeighbourGrid::Point* q = first;
        for (; q + 1 < last; q += 2) {
          const DoublePair x = {static_cast<double>(q[0].xyz[0]), static_cast<double>(q[1].xyz[0])};
          const DoublePair y = {static_cast<double>(q[0].xyz[1]), static_cast<double>(q[1].xyz[1])};
          const DoublePair z = {static_cast<double>(q[0].xyz[2]), static_cast<double>(q[1].xyz[2])};
          const auto in_box = (t[0] < x + hd) & (x - hd < t[0]) & (t[1] < y + hd) & (y - hd < t[1]) &
                              (t[2] < z + hd) & (z - hd < t[2]);
          const DoublePair dx = x - t[0], dy = y - t[1], dz = z - t[2];
          const DoublePair s = (dx * dx + dy * dy) + dz * dz;
          const auto keep = in_box & ~(s > limit);  // as offer: only a squared distance above the limit is out
          for (int i = 0; i < 2; ++i)
            if (keep[i] != 0)
              found.push_back({rank_key(distance_of_squared(s[i]), q[i].index), {q[i].xyz[0], q[i].xyz[1], q[i].xyz[2]}});
        }
        if (q != last) offer(*q);
      });
    }
    const auto by_key = [](const RankedPoint& a, const RankedPoint& b) { return a.key < b.key; };
    if (found.size() >= kth) std::nth_element(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(kth - 1),
                                             found.end(), by_key);
    const bool enough = found.size() >= kth &&
                        std::bit_cast<float>(static_cast<std::uint32_t>(found[kth - 1].key >> 32)) <
                            distance_of_squared(limit);
    if (whole_box || enough) break;
    rho *= 2.0;
  }
  const std::size_t n = std::min(found.size(), kth);
  for (std::size_t i = 0; i < n; ++i) out.push_back(found[i].point);
}

void cylinder_positions(const NeighbourGrid& grid, float px, float py, float pz, const Vec3& n, double r, double L,
                        std::vector<double>& out) {
  out.clear();
  const double r_sq = r * r;
  std::size_t count = 0;
  // Each stretch in pieces: first every point's position and test, a loop
  // of the same steps for every point that the compiler can run on several
  // points at once, then the positions inside written one after another.
  constexpr std::ptrdiff_t piece = 32;
  double along[piece];
  std::uint8_t inside[piece];
  const double cx = static_cast<double>(px), cy = static_cast<double>(py), cz = static_cast<double>(pz);
  const double nx = n.x, ny = n.y, nz = n.z;
  grid.through(px, py, pz, n, r, L, [&](const NeighbourGrid::Point* first, const NeighbourGrid::Point* last) {
    out.resize(count + static_cast<std::size_t>(last - first));
    double* const o = out.data();
    for (const NeighbourGrid::Point* q = first; q < last; q += piece) {
      const std::ptrdiff_t m = std::min(piece, last - q);
      std::ptrdiff_t i = 0;
      for (; i + 1 < m; i += 2) {
        // Two points per step, each lane the scalar steps below.
        const Pair dx = lane_offsets(q + i, 0, cx);
        const Pair dy = lane_offsets(q + i, 1, cy);
        const Pair dz = lane_offsets(q + i, 2, cz);
        const Pair a = (dx * nx + dy * ny) + dz * nz;
        const Pair ex = dx - a * nx, ey = dy - a * ny, ez = dz - a * nz;
        const auto keep = (a <= L) & (a >= -L) & (((ex * ex + ey * ey) + ez * ez) <= r_sq);
        along[i] = a[0];
        along[i + 1] = a[1];
        inside[i] = static_cast<std::uint8_t>(keep[0] & 1);
        inside[i + 1] = static_cast<std::uint8_t>(keep[1] & 1);
      }
      for (; i < m; ++i) {
        const double dx = difference(q[i].xyz[0], cx);
        const double dy = difference(q[i].xyz[1], cy);
        const double dz = difference(q[i].xyz[2], cz);
        const double a = dot3(dx, dy, dz, nx, ny, nz);
        const double ex = dx - a * nx, ey = dy - a * ny, ez = dz - a * nz;
        along[i] = a;
        inside[i] = static_cast<std::uint8_t>((std::fabs(a) <= L) & (dot3(ex, ey, ez, ex, ey, ez) <= r_sq));
      }
      for (std::ptrdiff_t k = 0; k < m; ++k) {
        o[count] = along[k];
        count += inside[k];
      }
    }
  });
  out.resize(count);
}

}  // namespace ptdelta
