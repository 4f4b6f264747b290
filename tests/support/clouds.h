// clouds.h - small hand-written clouds for unit tests
// Builds a PointColumns from a list of points, with the store's own growth rule.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "input/point_columns.h"

namespace ptdelta::testing {

inline PointColumns make_cloud(std::initializer_list<std::array<float, 3>> points) {
  PointColumns c;
  (void)create_point_columns(c);
  for (const auto& p : points) {
    const auto k = static_cast<std::size_t>(c.count);
    c.x[k] = p[0];
    c.y[k] = p[1];
    c.z[k] = p[2];
    (void)commit_point(c);
  }
  return c;
}

inline std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<std::uint32_t> b;
  for (const float f : v) b.push_back(std::bit_cast<std::uint32_t>(f));
  return b;
}

}  // namespace ptdelta::testing
