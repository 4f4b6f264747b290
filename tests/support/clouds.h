// clouds.h - small hand-written clouds for unit tests
// Builds a PointColumns from a list of points, .
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "core/point_cloud.h"

namespace ptdelta::testing {

inline PointColumns make_cloud(std::initializer_list<std::array<float, 3>> points) {
  PointColumns c;
  for (const auto& p : points) (void)c.append(p[0], p[1], p[2]);
  return c;
}

inline std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
  std::vector<std::uint32_t> b;
  for (const float f : v) b.push_back(std::bit_cast<std::uint32_t>(f));
  return b;
}

}  // namespace ptdelta::testing
