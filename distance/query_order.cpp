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

}  // namespace

std::vector<std::int32_t> spatial_query_order(const PointColumns& test, int threads) {
  const auto n = static_cast<std::size_t>(test.count);
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
  struct Extent {
    double lo[3], hi[3];
  };
  std::vector<Extent> extents(static_cast<std::size_t>(chunks));
  run_chunks(chunks, threads, [&](std::int64_t k) {
    Extent& e = extents[static_cast<std::size_t>(k)];
    for (int a = 0; a < 3; ++a) {
      e.lo[a] = std::numeric_limits<double>::infinity();
      e.hi[a] = -std::numeric_limits<double>::infinity();
    }
    const auto [first, last] = range(k);
    for (std::size_t i = first; i < last; ++i) {
      if (!finite_point(test, i)) continue;
      for (int a = 0; a < 3; ++a) {
        const double v = static_cast<double>((*axes[a])[i]);
        e.lo[a] = std::min(e.lo[a], v);
        e.hi[a] = std::max(e.hi[a], v);
      }
    }
  });
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::numeric_limits<double>::infinity();
    hi[a] = -std::numeric_limits<double>::infinity();
    for (const Extent& e : extents) {
      lo[a] = std::min(lo[a], e.lo[a]);
      hi[a] = std::max(hi[a], e.hi[a]);
    }
  }
  // The two widest axes carry the grid.
  int u = 0, v = 1;
  const double extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  if (extent[2] > extent[v]) v = 2;
  if (extent[v] > extent[u]) std::swap(u, v);

  // Cells per unit along each axis; any consistent rule will do, the order
  // only decides how fast the pass runs.
  double scale[3];
  for (int a = 0; a < 3; ++a) scale[a] = extent[a] > 0.0 ? grid_side / extent[a] : 0.0;
  auto cell_of = [&](int a, std::size_t i) -> std::uint32_t {
    const double t = (static_cast<double>((*axes[a])[i]) - lo[a]) * scale[a];
    const auto c = static_cast<std::int64_t>(t);  // t is finite and in [0, grid_side]
    return static_cast<std::uint32_t>(c < grid_side ? c : grid_side - 1);
  };

  // A cloud already in a coherent order (scan lines: almost every point in the
  // cell of the one before or next to it) is measured as it stands: sorting it
  // would only add the cost of gathering its points. The cells of this test
  // hold a few points each: a small cloud is looked at on a coarser grid.
  const double cells_across = std::sqrt(static_cast<double>(n) / 16.0);
  const std::uint32_t coarse =
      cells_across >= grid_side ? 1 : static_cast<std::uint32_t>(grid_side / std::max(1.0, cells_across));
  std::vector<std::size_t> jumps(static_cast<std::size_t>(chunks), 0);
  run_chunks(chunks, threads, [&](std::int64_t k) {
    const auto [first, last] = range(k);
    for (std::size_t i = std::max<std::size_t>(first, 1); i < last; ++i) {
      if (!finite_point(test, i) || !finite_point(test, i - 1)) continue;
      const auto apart = [&](int a) {
        const std::uint32_t p = cell_of(a, i - 1) / coarse, q = cell_of(a, i) / coarse;
        return (p > q ? p - q : q - p) > 1;
      };
      if (apart(u) || apart(v)) ++jumps[static_cast<std::size_t>(k)];
    }
  });
  std::size_t all_jumps = 0;
  for (const std::size_t j : jumps) all_jumps += j;
  if (all_jumps <= n / 16) return {};

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
