#include "distance/query_order.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "core/parallel.h"

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

bool finite_point(const PointColumns& c, std::size_t i) {
  return std::isfinite(c.x[i]) && std::isfinite(c.y[i]) && std::isfinite(c.z[i]);
}


// A grid of grid_side x grid_side cells over the two widest axes of an extent.
// Any consistent rule will do: the order only decides how fast the pass runs.
struct Grid {
  int u = 0, v = 1;
  double lo[3] = {0.0, 0.0, 0.0};
  double scale[3] = {0.0, 0.0, 0.0};  // cells per unit

  Grid(const double (&low)[3], const double (&high)[3]) {
    const double extent[3] = {high[0] - low[0], high[1] - low[1], high[2] - low[2]};
    if (extent[2] > extent[v]) v = 2;
    if (extent[v] > extent[u]) std::swap(u, v);
    for (int a = 0; a < 3; ++a) {
      lo[a] = low[a];
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

struct Extent {
  double lo[3], hi[3];
  Extent() {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::numeric_limits<double>::infinity();
      hi[a] = -std::numeric_limits<double>::infinity();
    }
  }
  void add(const PointColumns& c, std::size_t i) {
    const float p[3] = {c.x[i], c.y[i], c.z[i]};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], static_cast<double>(p[a]));
      hi[a] = std::max(hi[a], static_cast<double>(p[a]));
    }
  }
  void add(const Extent& e) {
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], e.lo[a]);
      hi[a] = std::max(hi[a], e.hi[a]);
    }
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
  Extent e;
  sample([&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i)
      if (finite_point(test, i)) e.add(test, i);
  });
  const Grid grid(e.lo, e.hi);
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
      if (!finite_point(test, i) || !finite_point(test, i - 1)) continue;
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
  // Every pass runs over at most 16 chunks of the points, from the count alone.
  const std::size_t step = std::max<std::size_t>(std::size_t{1} << 16, (n + 15) / 16);
  const auto chunks = static_cast<std::int64_t>((n + step - 1) / step);
  const auto range = [&](std::int64_t k) {
    const std::size_t first = static_cast<std::size_t>(k) * step;
    return std::pair{first, std::min(n, first + step)};
  };

  // The extent of the finite points (smallest and largest are exact whatever
  // the chunks).
  std::vector<Extent> extents(static_cast<std::size_t>(chunks));
  run_chunks(chunks, threads, [&](std::int64_t k) {
    const auto [first, last] = range(k);
    for (std::size_t i = first; i < last; ++i)
      if (finite_point(test, i)) extents[static_cast<std::size_t>(k)].add(test, i);
  });
  Extent all;
  for (const Extent& e : extents) all.add(e);
  const Grid grid(all.lo, all.hi);
  const auto cell_of = [&](int a, std::size_t i) { return grid.cell(a, (*axes[a])[i]); };
  const int u = grid.u, v = grid.v;

  // A counting sort on the cell keys: stable, so a cell keeps input order. The
  // keys are worked out twice rather than kept, which would take another four
  // bytes a point at the run's peak.
  // Non-finite points take key 0 and so come first among the points of cell 0.
  const auto key = [&](std::size_t i) { return finite_point(test, i) ? z_order(cell_of(u, i), cell_of(v, i)) : 0; };
  // Each chunk counts its own keys; the chunks' ranges of every cell follow one
  // another in chunk order, so the sort stays stable whatever the threads.
  constexpr std::size_t cells = static_cast<std::size_t>(grid_side) * grid_side;
  std::vector<std::uint32_t> at(static_cast<std::size_t>(chunks) * cells, 0);  // [chunk * cells + key]
  run_chunks(chunks, threads, [&](std::int64_t k) {
    std::uint32_t* const count = at.data() + static_cast<std::size_t>(k) * cells;
    const auto [first, last] = range(k);
    for (std::size_t i = first; i < last; ++i) ++count[key(i)];
  });
  std::uint32_t running = 0;
  for (std::size_t c = 0; c < cells; ++c) {
    for (std::size_t k = 0; k < static_cast<std::size_t>(chunks); ++k) {
      const std::uint32_t here = at[k * cells + c];
      at[k * cells + c] = running;
      running += here;
    }
  }
  std::vector<std::int32_t> order(n);
  run_chunks(chunks, threads, [&](std::int64_t k) {
    std::uint32_t* const next = at.data() + static_cast<std::size_t>(k) * cells;
    const auto [first, last] = range(k);
    for (std::size_t i = first; i < last; ++i) order[next[key(i)]++] = static_cast<std::int32_t>(i);
  });
  return order;
}

}  // namespace ptdelta
