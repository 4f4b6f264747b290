#include "distance/query_order.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/cloud_extent.h"
#include "core/counting_sort.h"

namespace ptdelta {

namespace {

constexpr int grid_bits = 8;
constexpr std::int32_t grid_side = 1 << grid_bits;

// The low eight bits of x moved to the even places of sixteen.
std::uint32_t spread(std::uint32_t x) {
  static_assert(grid_bits == 8);
  x = (x | (x << 4)) & 0x0F0Fu;
  x = (x | (x << 2)) & 0x3333u;
  return (x | (x << 1)) & 0x5555u;
}

// The bits of u and v interleaved, u in the even places.
std::uint32_t z_order(std::uint32_t u, std::uint32_t v) { return spread(u) | spread(v) << 1; }

// A grid of grid_side x grid_side cells over the two widest axes of an extent.
// Any consistent rule will do: the order only decides how fast the pass runs.
struct Grid {
  int u = 0, v = 1;
  double lo[3] = {0.0, 0.0, 0.0};
  double scale[3] = {0.0, 0.0, 0.0};  // cells per unit

  explicit Grid(const CloudExtent& e) {
    const double extent[3] = {e.max[0] - e.min[0], e.max[1] - e.min[1], e.max[2] - e.min[2]};
    if (extent[2] > extent[v]) v = 2;
    if (extent[v] > extent[u]) std::swap(u, v);
    for (std::size_t a = 0; a < 3; ++a) {
      lo[a] = e.min[a];
      scale[a] = extent[a] > 0.0 ? grid_side / extent[a] : 0.0;
    }
  }
  // The cell of a finite coordinate on axis a, clamped to the grid (a point
  // may lie outside an extent taken from a sample).
  std::uint32_t cell(int a, float value) const {
    const double t = (static_cast<double>(value) - lo[a]) * scale[a];
    if (!(t > 0.0)) return 0;
    return t < grid_side ? static_cast<std::uint32_t>(t) : grid_side - 1;
  }
};

// Whether the points are in a coherent order already (scan lines: almost every
// point in the cell of the one before or next to it), judged on 16 runs of
// 4096 consecutive points spread over the cloud (all of a small one). The
// cells of this test hold a few points each: a small cloud is looked at on a
// coarser grid.
bool in_coherent_order(const PointColumns& test) {
  const auto n = static_cast<std::size_t>(test.count);
  constexpr std::size_t runs = 16, run = 4096;
  const auto sample = [&](auto visit) {
    if (n <= runs * run) {
      visit(0, n);
      return;
    }
    for (std::size_t r = 0; r < runs; ++r) {
      const std::size_t first = (n - run) / (runs - 1) * r;
      visit(first, first + run);
    }
  };
  CloudExtent e;
  sample([&](std::size_t first, std::size_t last) { e.merge(measure_extent(test, first, last)); });
  const Grid grid(e);
  const double cells_across = std::sqrt(static_cast<double>(n) / 16.0);
  const std::uint32_t coarse =
      cells_across >= grid_side ? 1 : static_cast<std::uint32_t>(grid_side / std::max(1.0, cells_across));
  const std::vector<float>* const axes[3] = {&test.x, &test.y, &test.z};
  const auto apart = [&](int a, std::size_t i) {
    const std::vector<float>& column = *axes[a];
    const std::uint32_t p = grid.cell(a, column[i - 1]) / coarse, q = grid.cell(a, column[i]) / coarse;
    return (p > q ? p - q : q - p) > 1;
  };
  std::size_t pairs = 0, jumps = 0;
  sample([&](std::size_t first, std::size_t last) {
    for (std::size_t i = first + 1; i < last; ++i) {
      ++pairs;
      if (!is_finite_point(test, i) || !is_finite_point(test, i - 1)) continue;
      if (apart(grid.u, i) || apart(grid.v, i)) ++jumps;
    }
  });
  return jumps <= pairs / 16;
}

}  // namespace

std::vector<std::int32_t> spatial_query_order(const PointColumns& test, int threads) {
  const auto n = static_cast<std::size_t>(test.count);
  if (in_coherent_order(test)) return {};
  const std::vector<float>* axes[3] = {&test.x, &test.y, &test.z};
  const Grid grid(measure_extent(test, threads));
  const auto cell_of = [&](int a, std::size_t i) { return grid.cell(a, (*axes[a])[i]); };
  const int u = grid.u, v = grid.v;

  // A counting sort on the cell keys: stable, so a cell keeps input order, on
  // at most 16 chunks of the points.
  // Non-finite points take key 0 and so come first among the points of cell 0.
  const auto key = [&](std::size_t i) -> std::size_t {
    return is_finite_point(test, i) ? z_order(cell_of(u, i), cell_of(v, i)) : 0;
  };
  constexpr std::size_t cells = static_cast<std::size_t>(grid_side) * grid_side;
  std::vector<std::int32_t> order(n);
  chunked_counting_sort(n, cells, 16, threads, key,
                        [&](std::size_t i, std::uint32_t at) { order[at] = static_cast<std::int32_t>(i); });
  return order;
}

}  // namespace ptdelta
