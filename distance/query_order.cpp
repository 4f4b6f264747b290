#include "distance/query_order.h"

#include <array>
#include <cmath>
#include <limits>

namespace ptdelta {

namespace {

constexpr int grid_bits = 8;
constexpr std::int32_t grid_side = 1 << grid_bits;

// The bits of u and v interleaved, u in the even places.
std::uint32_t z_order(std::uint32_t u, std::uint32_t v) {
  std::uint32_t key = 0;
  for (int b = 0; b < grid_bits; ++b) key |= ((u >> b) & 1u) << (2 * b) | ((v >> b) & 1u) << (2 * b + 1);
  return key;
}

bool finite_point(const PointColumns& c, std::size_t i) {
  return std::isfinite(c.x[i]) && std::isfinite(c.y[i]) && std::isfinite(c.z[i]);
}

}  // namespace

std::vector<std::int32_t> spatial_query_order(const PointColumns& test) {
  const auto n = static_cast<std::size_t>(test.count);
  const std::vector<float>* axes[3] = {&test.x, &test.y, &test.z};
  double lo[3], hi[3];
  for (int a = 0; a < 3; ++a) {
    lo[a] = std::numeric_limits<double>::infinity();
    hi[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!finite_point(test, i)) continue;
    for (int a = 0; a < 3; ++a) {
      const double v = static_cast<double>((*axes[a])[i]);
      if (v < lo[a]) lo[a] = v;
      if (v > hi[a]) hi[a] = v;
    }
  }
  // The two widest axes carry the grid.
  int u = 0, v = 1;
  const double extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  if (extent[2] > extent[v]) v = 2;
  if (extent[v] > extent[u]) std::swap(u, v);

  auto cell_of = [&](int a, std::size_t i) -> std::uint32_t {
    const double span = extent[a];
    if (!(span > 0.0)) return 0;
    const double t = (static_cast<double>((*axes[a])[i]) - lo[a]) / span * grid_side;
    const auto c = static_cast<std::int64_t>(t);  // t is finite and in [0, grid_side]
    return static_cast<std::uint32_t>(c < grid_side ? c : grid_side - 1);
  };

  // A counting sort on the cell keys: stable, so a cell keeps input order.
  std::vector<std::uint32_t> key(n);
  std::vector<std::uint32_t> start(static_cast<std::size_t>(grid_side) * grid_side + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    // Non-finite points take key 0 and so come first among the points of cell 0.
    key[i] = finite_point(test, i) ? z_order(cell_of(u, i), cell_of(v, i)) : 0;
    ++start[key[i] + 1];
  }
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<std::int32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[start[key[i]]++] = static_cast<std::int32_t>(i);
  return order;
}

}  // namespace ptdelta
