#include "distance/spatial_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <utility>

#include "core/cloud_extent.h"
#include "core/counting_sort.h"
#include "core/parallel.h"

namespace ptdelta {

namespace {

constexpr float no_neighbour = std::numeric_limits<float>::infinity();
// The index a duplicate takes once its column is sorted, until the columns close up.
constexpr std::int32_t dropped = -1;

// Grid sizing: about this many points per occupied column. The first guess
// spreads the points over the whole u-v extent; a cloud that covers only part
// of it (walls, lines, separate patches) gets finer columns, a few rounds at most.
constexpr double points_per_column = 2.0;
constexpr int sizing_rounds = 4;

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
  bool usable(std::size_t i) const { return is_finite_point(ref, i); }
  CloudExtent extent(int threads) const { return measure_extent(ref, threads); }
  float coordinate(std::size_t i, int axis) const { return (axis == 0 ? ref.x : axis == 1 ? ref.y : ref.z)[i]; }
  std::int32_t index(std::size_t i) const { return static_cast<std::int32_t>(i); }
};

}  // namespace

// Builds the layout described in spatial_index.h. Throws std::bad_alloc
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
    CloudExtent extent(int) const {
      CloudExtent e;
      for (const Point& p : points) e.add(p.xyz[0], p.xyz[1], p.xyz[2]);
      return e;
    }
  };

  SpatialIndex& ix;
  int threads = 1;

  template <class Source>
  static double coordinate(const Source& source, std::size_t i, int axis) {
    return static_cast<double>(source.coordinate(i, axis));
  }

  template <class Source>
  std::int32_t row_of(const Source& source, std::size_t i) const {
    return SpatialIndex::column_along(coordinate(source, i, ix.v_), ix.lo_[ix.v_], ix.inverse_[ix.v_], ix.nv_);
  }

  // The place within its row of a point whose u coordinate is `u`.
  std::int32_t place_in_row(double u) const {
    return SpatialIndex::column_along(u, ix.lo_[ix.u_], ix.inverse_[ix.u_], ix.nu_);
  }

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
  // first into rows by a chunked counting sort over the input (the same rows
  // for any number of threads), then row by row into columns, each sorted along w, then the other
  // two axes, then index, so that duplicates are neighbours; each is kept once,
  // the smallest index first (equal coordinates compare equal as floats: -0 and
  // +0 are duplicates, every box test and distance treats them alike), the
  // others marked `dropped`, to go when the columns close up.
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
    ix.points_.resize(kept);
    const std::vector<std::uint32_t> row_start = chunked_counting_sort(
        count, rows, 64, threads,
        [&](std::size_t i) { return source.usable(i) ? static_cast<std::size_t>(row_of(source, i)) : no_bucket; },
        [&](std::size_t i, std::uint32_t at) {
          Point& p = ix.points_[at];
          p.xyz[0] = source.coordinate(i, 0);
          p.xyz[1] = source.coordinate(i, 1);
          p.xyz[2] = source.coordinate(i, 2);
          p.index = source.index(i);
        });
    const std::uint32_t running = row_start[rows];

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
            if (p != column_first && same_place(*p, *(p - 1))) p->index = dropped;
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
    const CloudExtent extent_of_kept = source.extent(threads);
    const auto kept = static_cast<std::size_t>(extent_of_kept.finite_points);
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
    for (std::size_t a = 0; a < 3; ++a) {
      ix.lo_[a] = extent_of_kept.min[a];
      ix.hi_[a] = extent_of_kept.max[a];
    }

    // Columns run along the axis of smallest extent (z on ties), so a surface
    // seen from above puts a couple of points in each column.
    const double extent[3] = {ix.hi_[0] - ix.lo_[0], ix.hi_[1] - ix.lo_[1], ix.hi_[2] - ix.lo_[2]};
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
        if (ix.points_[i].index == dropped) continue;
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

}  // namespace ptdelta
