#include "distance/spatial_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>

#include "core/exact.h"
#include "core/parallel.h"

namespace ptdelta {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr float no_neighbour = std::numeric_limits<float>::infinity();
constexpr std::int32_t no_index = -1;

// Grid sizing: about this many points per occupied column. The first guess
// spreads the points over the whole u-v extent; a cloud that covers only part
// of it (walls, lines, separate patches) gets finer columns, a few rounds at most.
constexpr double points_per_column = 2.0;
constexpr int sizing_rounds = 4;

// Columns longer than this are entered by binary search on w, shorter ones by a
// walk (columns longer than SpatialIndex::tree_threshold are trees).
constexpr std::ptrdiff_t short_column = 8;

// Pruning margins. Lower bounds of squared distances (from column and block
// bounds) are formed in double with a few roundings, far below 1e-9 relative.
//  - Method A keeps the smallest squared distance s in double, exactly as
//    point_distance forms it before rounding: its distance, float(sqrt(float(s))),
//    never decreases as s grows, so the smallest distance is that of the
//    smallest s. Anything whose bound exceeds best_sq * (1 + square_margin)
//    cannot lower it.
//  - Method B breaks ties of the rounded distance by index, so it compares
//    rounded distances. A computed point_distance is within 1e-6 relative of
//    the true distance, plus under 1e-22 absolute when the squared distance
//    falls among float subnormals; anything whose true distance exceeds
//    best * (1 + relative_margin) + absolute_margin cannot round to a
//    distance equal to best, so no tie is ever skipped.
constexpr double square_margin = 1e-9;
constexpr double relative_margin = 2e-5;
constexpr double absolute_margin = 1e-20;

// The squared reach of a ranked search whose best distance so far is `best`.
double reach_squared(float best) {
  if (std::isinf(best)) return infinity;
  const double reach = static_cast<double>(best) * (1.0 + relative_margin) + absolute_margin;
  return reach * reach;
}


// The column of coordinate x on an axis of n columns starting at lo, `inverse`
// columns per unit. Non-decreasing in x (each rounding step is monotonic), so
// the columns of a range [a, b] lie between those of a and b. Clamped to [0, n-1].
std::int32_t column_along(double x, double lo, double inverse, std::int32_t n) {
  if (n <= 1) return 0;
  const double t = (x - lo) * inverse;
  if (!(t > 0.0)) return 0;
  if (t >= static_cast<double>(n)) return n - 1;
  return static_cast<std::int32_t>(t);
}

struct GridShape {
  std::int32_t nu = 1, nv = 1;
};

// Near-square cells over extents eu x ev, about `wanted` of them and never more.
GridShape shape_for(double eu, double ev, double wanted) {
  GridShape shape;
  if (eu > 0.0 && ev > 0.0) {
    const double side = std::sqrt(eu / wanted * ev);
    const double nu = std::clamp(std::round(eu / side), 1.0, wanted);
    const double nv = std::clamp(std::round(ev / side), 1.0, std::max(1.0, std::floor(wanted / nu)));
    shape.nu = static_cast<std::int32_t>(nu);
    shape.nv = static_cast<std::int32_t>(nv);
  } else if (eu > 0.0) {
    shape.nu = static_cast<std::int32_t>(wanted);
  } else if (ev > 0.0) {
    shape.nv = static_cast<std::int32_t>(wanted);
  }
  return shape;
}

// Where a build takes its points from: the reference cloud, whose points with
// a coordinate that is not finite are left out, or the distinct points of an
// earlier build.
struct CloudSource {
  const PointColumns& ref;
  std::size_t size() const { return static_cast<std::size_t>(std::max<std::int32_t>(ref.count, 0)); }
  bool usable(std::size_t i) const {
    return std::isfinite(ref.x[i]) && std::isfinite(ref.y[i]) && std::isfinite(ref.z[i]);
  }
  float coordinate(std::size_t i, int axis) const { return (axis == 0 ? ref.x : axis == 1 ? ref.y : ref.z)[i]; }
  std::int32_t index(std::size_t i) const { return static_cast<std::int32_t>(i); }
};

}  // namespace

// Builds the layout described in spatial_index_impl.h. Throws std::bad_alloc
// only; build_spatial_index turns that into a Failure.
struct IndexBuilder {
  using Point = SpatialIndex::Point;
  using TreeNode = SpatialIndex::TreeNode;

  struct PointSource {
    const std::vector<SpatialIndex::Point>& points;
    std::size_t size() const { return points.size(); }
    static bool usable(std::size_t) { return true; }
    float coordinate(std::size_t i, int axis) const { return points[i].xyz[axis]; }
    std::int32_t index(std::size_t i) const { return points[i].index; }
  };

  SpatialIndex& ix;
  int threads = 1;

  template <class Source>
  static double coordinate(const Source& source, std::size_t i, int axis) {
    return static_cast<double>(source.coordinate(i, axis));
  }

  template <class Source>
  std::int32_t row_of(const Source& source, std::size_t i) const {
    return column_along(coordinate(source, i, ix.v_), ix.lo_[ix.v_], ix.inverse_[ix.v_], ix.nv_);
  }

  // The place within its row of a point whose u coordinate is `u`.
  std::int32_t place_in_row(double u) const { return column_along(u, ix.lo_[ix.u_], ix.inverse_[ix.u_], ix.nu_); }

  template <class Source>
  std::size_t column_of(const Source& source, std::size_t i) const {
    return static_cast<std::size_t>(row_of(source, i)) * static_cast<std::size_t>(ix.nu_) +
           static_cast<std::size_t>(place_in_row(coordinate(source, i, ix.u_)));
  }

  void set_shape(GridShape shape) {
    ix.nu_ = shape.nu;
    ix.nv_ = shape.nv;
    const int axes[2] = {ix.u_, ix.v_};
    const std::int32_t counts[2] = {shape.nu, shape.nv};
    for (int k = 0; k < 2; ++k) {
      const int a = axes[k];
      const double extent = ix.hi_[a] - ix.lo_[a];
      const double n = static_cast<double>(counts[k]);
      ix.cell_[a] = counts[k] > 1 ? extent / n : extent;
      ix.inverse_[a] = counts[k] > 1 ? n / extent : 0.0;
      // The column formula and the bounds lo + k * cell each round a few times
      // in double; 1e-14 of the magnitudes involved covers that many times over.
      ix.slack_[a] = 1e-14 * (std::fabs(ix.lo_[a]) + std::fabs(ix.hi_[a]) + ix.cell_[a]);
    }
  }

  // Distributes the usable points into their columns and sets column_start_:
  // first into rows by a counting sort over the input in chunks (each chunk
  // writes its own ranges of every row, so the result does not depend on the
  // threads), then row by row into columns, each sorted along w, then the other
  // two axes, then index, so that duplicates are neighbours; each is kept once,
  // the smallest index first (equal coordinates compare equal as floats: -0 and
  // +0 are duplicates, every box test and distance treats them alike), the
  // others marked with no_index, to be dropped when the columns close up.
  // Two steps because the points come in any order: one pass straight into
  // millions of columns would miss the cache at every point, while a pass into
  // rows writes only a few thousand runs and a row fits in the cache.
  template <class Source>
  void sort_into_columns(const Source& source, std::size_t kept) {
    const std::size_t count = source.size();
    const auto rows = static_cast<std::size_t>(ix.nv_);
    const auto nu = static_cast<std::size_t>(ix.nu_);
    const std::size_t columns = rows * nu;

    // At most 64 chunks of input, so that their row counts stay a small table.
    const std::size_t step = std::max<std::size_t>(std::size_t{1} << 16, (count + 63) / 64);
    const auto chunks = static_cast<std::int64_t>((count + step - 1) / step);
    std::vector<std::uint32_t> cursor(static_cast<std::size_t>(chunks) * rows, 0);  // [chunk * rows + row]
    const auto chunk_range = [&](std::int64_t k) {
      const std::size_t first = static_cast<std::size_t>(k) * step;
      return std::pair{first, std::min(count, first + step)};
    };
    run_chunks(chunks, threads, [&](std::int64_t k) {
      std::uint32_t* const counts = cursor.data() + static_cast<std::size_t>(k) * rows;
      const auto [first, last] = chunk_range(k);
      for (std::size_t i = first; i < last; ++i)
        if (source.usable(i)) ++counts[row_of(source, i)];
    });
    std::vector<std::uint32_t> row_start(rows + 1);
    std::uint32_t running = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      row_start[r] = running;
      for (std::size_t k = 0; k < static_cast<std::size_t>(chunks); ++k) {
        const std::uint32_t n = cursor[k * rows + r];
        cursor[k * rows + r] = running;
        running += n;
      }
    }
    row_start[rows] = running;
    ix.points_.resize(kept);
    run_chunks(chunks, threads, [&](std::int64_t k) {
      std::uint32_t* const at = cursor.data() + static_cast<std::size_t>(k) * rows;
      const auto [first, last] = chunk_range(k);
      for (std::size_t i = first; i < last; ++i) {
        if (!source.usable(i)) continue;
        Point& p = ix.points_[at[row_of(source, i)]++];
        p.xyz[0] = source.coordinate(i, 0);
        p.xyz[1] = source.coordinate(i, 1);
        p.xyz[2] = source.coordinate(i, 2);
        p.index = source.index(i);
      }
    });
    cursor = std::vector<std::uint32_t>();

    const int w = ix.w_, u = ix.u_, v = ix.v_;
    const auto before = [w, u, v](const Point& a, const Point& b) {
      if (a.xyz[w] != b.xyz[w]) return a.xyz[w] < b.xyz[w];
      if (a.xyz[u] != b.xyz[u]) return a.xyz[u] < b.xyz[u];
      if (a.xyz[v] != b.xyz[v]) return a.xyz[v] < b.xyz[v];
      return a.index < b.index;
    };
    const auto same_place = [](const Point& a, const Point& b) {
      return a.xyz[0] == b.xyz[0] && a.xyz[1] == b.xyz[1] && a.xyz[2] == b.xyz[2];
    };
    std::vector<std::uint32_t>& start = ix.column_start_;
    start.assign(columns + 1, 0);
    start[columns] = running;
    constexpr std::int64_t rows_per_chunk = 8;
    constexpr std::uint32_t copied_row_most = std::uint32_t{1} << 16;  // 1 MiB of points a thread
    run_chunks(chunk_count(static_cast<std::int64_t>(rows), rows_per_chunk), threads, [&](std::int64_t k) {
      std::vector<std::uint32_t> at(nu);
      std::vector<Point> copy;
      const auto r_first = static_cast<std::size_t>(k * rows_per_chunk);
      const std::size_t r_last = std::min(rows, r_first + static_cast<std::size_t>(rows_per_chunk));
      const auto place = [this](const Point& p) {
        return static_cast<std::size_t>(place_in_row(static_cast<double>(p.xyz[ix.u_])));
      };
      for (std::size_t r = r_first; r < r_last; ++r) {
        const auto column_end = [&](std::size_t c) { return c + 1 < nu ? start[r * nu + c + 1] : row_start[r + 1]; };
        std::fill(at.begin(), at.end(), 0);
        for (std::uint32_t i = row_start[r]; i < row_start[r + 1]; ++i) ++at[place(ix.points_[i])];
        std::uint32_t next = row_start[r];
        for (std::size_t c = 0; c < nu; ++c) {
          start[r * nu + c] = next;
          next += std::exchange(at[c], next);
        }
        const std::uint32_t size = row_start[r + 1] - row_start[r];
        if (size <= copied_row_most) {
          // From a copy of the row: one sequential pass.
          copy.assign(ix.points_.begin() + row_start[r], ix.points_.begin() + row_start[r + 1]);
          for (const Point& p : copy) ix.points_[at[place(p)]++] = p;
        } else {
          // A long row (a cloud along a line may be one row) is sorted in
          // place, so the build never holds a second copy of the cloud: every
          // swap puts one point in its column for good.
          for (std::size_t c = 0; c < nu; ++c) {
            while (at[c] < column_end(c)) {
              Point& p = ix.points_[at[c]];
              const std::size_t home = place(p);
              if (home == c) {
                ++at[c];
              } else {
                std::swap(p, ix.points_[at[home]++]);
              }
            }
          }
        }
        for (std::size_t c = r * nu; c < (r + 1) * nu; ++c) {
          const auto column_first = ix.points_.begin() + start[c];
          const auto column_last = ix.points_.begin() + (c + 1 < (r + 1) * nu ? start[c + 1] : row_start[r + 1]);
          std::sort(column_first, column_last, before);
          for (auto p = column_first; p != column_last; ++p)
            if (p != column_first && same_place(*p, *(p - 1))) p->index = no_index;
        }
      }
    });
  }

  // Builds the layout; returns the number of points kept before duplicates
  // were dropped.
  template <class Source>
  std::size_t build(const Source& source, float h) {
    ix.h_ = h;
    const std::size_t count = source.size();

    // Extent of the usable points; the others can never be inside a box.
    std::size_t kept = 0;
    double lo[3] = {infinity, infinity, infinity}, hi[3] = {-infinity, -infinity, -infinity};
    for (std::size_t i = 0; i < count; ++i) {
      if (!source.usable(i)) continue;
      ++kept;
      for (int a = 0; a < 3; ++a) {
        lo[a] = std::min(lo[a], coordinate(source, i, a));
        hi[a] = std::max(hi[a], coordinate(source, i, a));
      }
    }
    if (kept == 0) {
      ix.column_start_.assign(2, 0);
      ix.block_low_w_.assign(1, no_neighbour);
      ix.block_high_w_.assign(1, -no_neighbour);
      ix.block_first_index_.assign(1, std::numeric_limits<std::int32_t>::max());
      ix.row_low_w_.assign(1, no_neighbour);
      ix.row_high_w_.assign(1, -no_neighbour);
      ix.row_has_tree_.assign(1, 0);
      return 0;
    }
    for (int a = 0; a < 3; ++a) {
      ix.lo_[a] = lo[a];
      ix.hi_[a] = hi[a];
    }

    // Columns run along the axis of smallest extent (z on ties), so a surface
    // seen from above puts a couple of points in each column.
    const double extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
    ix.w_ = 2;
    if (extent[1] < extent[ix.w_]) ix.w_ = 1;
    if (extent[0] < extent[ix.w_]) ix.w_ = 0;
    ix.u_ = ix.w_ == 0 ? 1 : 0;
    ix.v_ = ix.w_ == 2 ? 1 : 2;
    if (extent[ix.v_] > extent[ix.u_]) std::swap(ix.u_, ix.v_);  // long rows: at most sqrt(points) of them

    // Sizing: count the occupied columns of a guess and refine it while they
    // hold far more than points_per_column each, never beyond one column per point.
    const double most = static_cast<double>(kept);
    double wanted = std::max(1.0, std::floor(most / points_per_column));
    // Only whether a column is occupied matters here: a bit per column stays in
    // cache where a count per column would not (the points come in any order).
    std::vector<std::uint64_t> occupied_bits;
    for (int round = 0;; ++round) {
      set_shape(shape_for(extent[ix.u_], extent[ix.v_], wanted));
      const std::size_t columns = static_cast<std::size_t>(ix.nu_) * static_cast<std::size_t>(ix.nv_);
      occupied_bits.assign((columns + 63) / 64, 0);
      for (std::size_t i = 0; i < count; ++i) {
        if (!source.usable(i)) continue;
        const std::size_t c = column_of(source, i);
        occupied_bits[c / 64] |= std::uint64_t{1} << (c % 64);
      }
      double occupied = 0.0;
      for (const std::uint64_t word : occupied_bits) occupied += std::popcount(word);
      const double per_column = most / occupied;
      if (round + 1 == sizing_rounds || per_column <= 2.0 * points_per_column || wanted >= most) break;
      const double next = std::min(most, std::floor(wanted * per_column / points_per_column));
      if (next < 1.25 * wanted) break;
      wanted = next;
    }
    occupied_bits = std::vector<std::uint64_t>();
    sort_into_columns(source, kept);

    // The columns close up in order, their duplicates dropped.
    std::vector<std::uint32_t>& start = ix.column_start_;
    const std::size_t columns = start.size() - 1;
    std::uint32_t write = 0;
    for (std::size_t c = 0; c < columns; ++c) {
      const std::uint32_t first = start[c], last = start[c + 1];
      start[c] = write;
      for (std::uint32_t i = first; i < last; ++i) {
        if (ix.points_[i].index == no_index) continue;
        if (write != i) ix.points_[write] = ix.points_[i];
        ++write;
      }
    }
    start[columns] = write;
    ix.points_.resize(write);
    return kept;
  }

  // The summaries: blocks, rows and the trees of the long columns (which
  // reorders their points).
  void summarise() {
    const int w = ix.w_;
    const std::vector<std::uint32_t>& start = ix.column_start_;
    const std::int32_t side = SpatialIndex::block_side;
    ix.blocks_u_ = (ix.nu_ + side - 1) / side;
    const std::int32_t blocks_v = (ix.nv_ + side - 1) / side;
    const std::size_t blocks = static_cast<std::size_t>(ix.blocks_u_) * static_cast<std::size_t>(blocks_v);
    ix.block_low_w_.assign(blocks, no_neighbour);
    ix.block_high_w_.assign(blocks, -no_neighbour);
    ix.block_first_index_.assign(blocks, std::numeric_limits<std::int32_t>::max());
    ix.row_low_w_.assign(static_cast<std::size_t>(ix.nv_), no_neighbour);
    ix.row_high_w_.assign(static_cast<std::size_t>(ix.nv_), -no_neighbour);
    ix.row_has_tree_.assign(static_cast<std::size_t>(ix.nv_), 0);
    // Room for the trees, counted first so that their vectors are had at their size.
    std::size_t trees = 0, nodes = 0;
    for (std::size_t c = 0; c + 1 < start.size(); ++c) {
      const std::size_t n = start[c + 1] - start[c];
      if (n <= SpatialIndex::tree_threshold) continue;
      ++trees;
      nodes += tree_size(n);
    }
    ix.trees_.reserve(trees);
    ix.tree_nodes_.reserve(nodes);
    for (std::int32_t v = 0; v < ix.nv_; ++v) {
      for (std::int32_t u = 0; u < ix.nu_; ++u) {
        const std::size_t c =
            static_cast<std::size_t>(v) * static_cast<std::size_t>(ix.nu_) + static_cast<std::size_t>(u);
        const auto first = ix.points_.begin() + start[c], last = ix.points_.begin() + start[c + 1];
        if (first == last) continue;
        const std::size_t block = static_cast<std::size_t>(v / side) * static_cast<std::size_t>(ix.blocks_u_) +
                                  static_cast<std::size_t>(u / side);
        const auto row = static_cast<std::size_t>(v);
        // Sorted along w: the first and last points bound the column.
        const float low = first->xyz[w], high = (last - 1)->xyz[w];
        ix.block_low_w_[block] = std::min(ix.block_low_w_[block], low);
        ix.block_high_w_[block] = std::max(ix.block_high_w_[block], high);
        ix.row_low_w_[row] = std::min(ix.row_low_w_[row], low);
        ix.row_high_w_[row] = std::max(ix.row_high_w_[row], high);
        for (auto p = first; p != last; ++p)
          ix.block_first_index_[block] = std::min(ix.block_first_index_[block], p->index);
        if (static_cast<std::uint32_t>(last - first) > SpatialIndex::tree_threshold) {
          ix.row_has_tree_[row] = 1;
          build_tree(c, start[c], start[c + 1]);
        }
      }
    }
  }

  // The node count of a tree over n points: halving a range leaves at most
  // ceil(n / 2) points on either side, so `levels` halvings bring every range
  // down to a leaf, and the heap layout has 2^(levels + 1) - 1 slots.
  static std::size_t tree_size(std::size_t n) {
    std::size_t levels = 0;
    for (; n > SpatialIndex::tree_leaf; n = (n + 1) / 2) ++levels;
    return (std::size_t{2} << levels) - 1;
  }

  // The tree of column c, over points_[begin, end).
  void build_tree(std::size_t c, std::uint32_t begin, std::uint32_t end) {
    const std::size_t first_node = ix.tree_nodes_.size();
    ix.tree_nodes_.resize(first_node + tree_size(end - begin));
    ix.trees_.push_back({c, first_node});
    fill_node(first_node, 1, begin, end);
  }

  void fill_node(std::size_t first_node, std::size_t k, std::uint32_t begin, std::uint32_t end) {
    const auto first = ix.points_.begin() + begin, last = ix.points_.begin() + end;
    TreeNode node{{no_neighbour, no_neighbour, no_neighbour},
                  {-no_neighbour, -no_neighbour, -no_neighbour},
                  std::numeric_limits<std::int32_t>::max()};
    for (auto p = first; p != last; ++p) {
      for (int a = 0; a < 3; ++a) {
        node.low[a] = std::min(node.low[a], p->xyz[a]);
        node.high[a] = std::max(node.high[a], p->xyz[a]);
      }
      node.first_index = std::min(node.first_index, p->index);
    }
    ix.tree_nodes_[first_node + k - 1] = node;
    if (end - begin <= SpatialIndex::tree_leaf) return;
    // Halved at the median along the node's widest axis (index order among
    // equal coordinates: a total order).
    int axis = 0;
    for (int a = 1; a < 3; ++a)
      if (static_cast<double>(node.high[a]) - static_cast<double>(node.low[a]) >
          static_cast<double>(node.high[axis]) - static_cast<double>(node.low[axis]))
        axis = a;
    const std::uint32_t middle = begin + (end - begin) / 2;
    std::nth_element(first, ix.points_.begin() + middle, last, [axis](const Point& a, const Point& b) {
      return a.xyz[axis] < b.xyz[axis] || (a.xyz[axis] == b.xyz[axis] && a.index < b.index);
    });
    fill_node(first_node, 2 * k, begin, middle);
    fill_node(first_node, 2 * k + 1, middle, end);
  }

  // The whole build. When dropping duplicates leaves fewer points than
  // columns, the grid was sized for points that are not there: it is built
  // again over the distinct points.
  static void build_index(const PointColumns& ref, float h, int threads, SpatialIndex& ix) {
    const std::size_t kept = IndexBuilder{ix, threads}.build(CloudSource{ref}, h);
    const std::size_t distinct = ix.points_.size();
    if (distinct + 1 < ix.column_start_.size()) {
      const std::vector<Point> points = std::move(ix.points_);
      ix = SpatialIndex{};
      IndexBuilder{ix, threads}.build(PointSource{points}, h);
    } else if (distinct < kept - kept / 4) {
      ix.points_.shrink_to_fit();
    }
    IndexBuilder{ix, threads}.summarise();
  }
};

namespace {

// ---- Result sets: what a search keeps of the points it is offered ----
//
// The traversal offers every point it cannot rule out as offer(s, index): s is
// the point's squared distance exactly as point_distance forms it before its
// two roundings, or +infinity for a point outside the box (it never counts:
// the scans start their minimum at +infinity and compare strictly, and an
// in-box point always has a finite s). Each set keeps `reach_sq`, the squared
// distance beyond which nothing can change it, which the traversal prunes by.

// Method A: the smallest squared distance. Its distance,
// float(sqrt(float(s))), never decreases as s grows, so the smallest distance
// is that of the smallest s; ties need no rule.
struct NearestSet {
  double best_sq = infinity;
  double reach_sq = infinity;

  static bool skips_indices_from(std::int32_t) { return false; }
  double settled_reach() const { return best_sq * (1.0 + square_margin); }
  // Whether a point qualifies is a coin toss the branch predictor loses: no branches.
  void offer(double s, std::int32_t) {
    best_sq = std::min(best_sq, s);
    reach_sq = std::min(reach_sq, settled_reach());
  }
};

// Method B, one link of the chain: the smallest (distance, index) over the
// points with an index below `limit`. Distances are the rounded ones: equal
// distances go to the smaller index.
struct RankedSet {
  std::int32_t limit = std::numeric_limits<std::int32_t>::max();
  float best = no_neighbour;
  std::int32_t best_index = no_index;
  double reach_sq = infinity;

  bool skips_indices_from(std::int32_t first_index) const { return first_index >= limit; }
  double settled_reach() const { return reach_squared(best); }
  void offer(double s, std::int32_t index) {
    if (index >= limit || s > reach_sq) return;
    const float d = distance_of_squared(s);
    if (d == best && index < best_index) best_index = index;
    if (!(d < best)) return;
    best = d;
    best_index = index;
    reach_sq = reach_squared(d);
  }
};

// A collected point as one number that orders like (distance, index): the
// bits of a non-negative float order as its values do.
using RankKey = std::uint64_t;
constexpr RankKey no_key = std::numeric_limits<RankKey>::max();
constexpr int collect_capacity = 128;

RankKey rank_key(float d, std::int32_t index) {
  return (static_cast<RankKey>(std::bit_cast<std::uint32_t>(d)) << 32) | static_cast<std::uint32_t>(index);
}
float key_distance(RankKey key) { return std::bit_cast<float>(static_cast<std::uint32_t>(key >> 32)); }
std::int32_t key_index(RankKey key) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(key)); }

// Method B, the first links at once: every in-box point within a fixed reach,
// with its distance, unless there are too many (one spare slot: every point is
// written, only those that qualify are counted).
struct CollectSet {
  RankKey found[collect_capacity + 1];
  int count = 0;
  bool overflow = false;
  double reach_sq = 0.0;

  explicit CollectSet(double radius) : reach_sq(radius * radius) {}
  static bool skips_indices_from(std::int32_t) { return false; }
  void offer(double s, std::int32_t index) {
    const float d = distance_of_squared(s);
    const bool take = (s <= reach_sq) & (d != no_neighbour);
    found[count] = rank_key(d, index);
    count += take ? 1 : 0;
    if (count == collect_capacity) {
      // Too many to be of use: the caller falls back to ranked searches, so
      // the traversal may stop here (nothing is within a negative reach).
      overflow = true;
      --count;
      reach_sq = -infinity;
    }
  }
  // The smallest key with an index below `limit`, or no_key.
  RankKey smallest_below(std::int32_t limit) const {
    RankKey least = no_key;
    for (int k = 0; k < count; ++k) least = std::min(least, key_index(found[k]) < limit ? found[k] : no_key);
    return least;
  }
};

}  // namespace

// One search around one test point: the box and the bounds that prune, over
// one traversal that offers points to a result set. Rows of columns are
// visited outwards from the test point's row, nearer side first; a direction
// ends at the first row whose lower bound exceeds the set's reach, since
// bounds only grow outwards. Within a row, columns are taken the same way.
struct IndexSearch {
  using Point = SpatialIndex::Point;
  using TreeNode = SpatialIndex::TreeNode;

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
    if (!std::isfinite(qf[0]) || !std::isfinite(qf[1]) || !std::isfinite(qf[2])) return false;
    const double h = static_cast<double>(ix.h_);
    // inside_box compares q with ref +- h rounded to double. Rounding is
    // monotonic and q is itself a double, so an in-box point is strictly within
    // h of q exactly, and lies between q - h and q + h however those round.
    for (int a = 0; a < 3; ++a) {
      q[a] = static_cast<double>(qf[a]);
      if (q[a] + h < ix.lo_[a] || q[a] - h > ix.hi_[a]) return false;
    }
    const int u = ix.u_, v = ix.v_, w = ix.w_;
    u_first = column_along(q[u] - h, ix.lo_[u], ix.inverse_[u], ix.nu_);
    u_last = column_along(q[u] + h, ix.lo_[u], ix.inverse_[u], ix.nu_);
    u_center = column_along(q[u], ix.lo_[u], ix.inverse_[u], ix.nu_);
    v_first = column_along(q[v] - h, ix.lo_[v], ix.inverse_[v], ix.nv_);
    v_last = column_along(q[v] + h, ix.lo_[v], ix.inverse_[v], ix.nv_);
    v_center = column_along(q[v], ix.lo_[v], ix.inverse_[v], ix.nv_);
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
    const std::int32_t first = std::max(u_first, column_along(q[u] - r, ix.lo_[u], ix.inverse_[u], ix.nu_));
    const std::int32_t last = std::min(u_last, column_along(q[u] + r, ix.lo_[u], ix.inverse_[u], ix.nu_));
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

std::size_t SpatialIndex::memory_bytes() const {
  return points_.capacity() * sizeof(Point) + column_start_.capacity() * sizeof(std::uint32_t) +
         (block_low_w_.capacity() + block_high_w_.capacity()) * sizeof(float) +
         block_first_index_.capacity() * sizeof(std::int32_t) +
         (row_low_w_.capacity() + row_high_w_.capacity()) * sizeof(float) + row_has_tree_.capacity() +
         trees_.capacity() * sizeof(ColumnTree) + tree_nodes_.capacity() * sizeof(TreeNode);
}

Failure build_spatial_index(const PointColumns& ref, float h, SpatialIndex& index, int threads) {
  index = SpatialIndex{};
  try {
    IndexBuilder::build_index(ref, h, threads, index);
  } catch (const std::bad_alloc&) {
    index = SpatialIndex{};
    return Failure::out_of_memory;
  }
  return Failure::none;
}

float indexed_nearest_distance(const SpatialIndex& index, const PointColumns& test, std::int32_t j) {
  IndexSearch search(index);
  if (!search.prepare(test, j)) return no_neighbour;
  NearestSet nearest;
  search.run(nearest, search.cell());
  // The distance of the smallest squared distance, rounded as point_distance rounds.
  if (nearest.best_sq == infinity) return no_neighbour;
  return distance_of_squared(nearest.best_sq);
}

std::int32_t indexed_track_closer_points(const SpatialIndex& index, const PointColumns& test, std::int32_t j,
                                         PlaneCandidates& candidates) {
  IndexSearch search(index);
  if (!search.prepare(test, j)) return 0;
  // The kept points form a chain: newest is the nearest point (smallest index
  // among equals), previous the same below newest's index, oldest the same
  // below previous's.
  std::int32_t kept = 0;
  std::int32_t limit = std::numeric_limits<std::int32_t>::max();
  const auto keep = [&](std::int32_t i) {
    (kept == 0 ? candidates.newest : kept == 1 ? candidates.previous : candidates.oldest) = i;
    limit = i;
    ++kept;
  };
  // Usually the whole chain lies within a few cells: collect every in-box
  // point within a radius and take the chain from them. A link is final when
  // its own reach fits inside the radius, since everything that could beat or
  // tie it was collected.
  const double cell = search.cell();
  double collected = 0.0;  // every in-box point within this radius has been seen
  CollectSet found(0.0);
  for (const double radius : {1.5 * cell, 3.0 * cell}) {
    if (!(radius > 0.0)) break;
    found = CollectSet(radius);
    search.scan_rows<true>(found);
    if (found.overflow) break;
    collected = radius;
    while (kept < 3) {
      const RankKey link = found.smallest_below(limit);
      if (link == no_key || reach_squared(key_distance(link)) > radius * radius) break;
      keep(key_index(link));
    }
    if (kept == 3) return 3;
  }
  // The rest of the chain by ranked searches, each below the last link. Any
  // collected point below the limit (all of them are in the box) is a valid
  // start; the missing link lies beyond the radius seen in full, so the
  // assumed reaches start beyond it.
  while (kept < 3 && limit > 0) {
    const RankKey seed = found.smallest_below(limit);
    RankedSet ranked;
    ranked.limit = limit;
    if (seed != no_key) {
      ranked.best = key_distance(seed);
      ranked.best_index = key_index(seed);
    }
    ranked.reach_sq = ranked.settled_reach();
    search.run(ranked, collected > 0.0 ? 2.0 * collected : cell);
    if (ranked.best_index == no_index) return kept;
    keep(ranked.best_index);
  }
  return kept;
}

}  // namespace ptdelta
