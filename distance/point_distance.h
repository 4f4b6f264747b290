// point_distance.h - distance between a reference and a test point, and the box prefilter
// The two exact building blocks every search (full scan or index) shares.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "input/point_columns.h"

static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must not be widened");

namespace ptdelta {

// Differences and squares in double; the sum rounds to float, then the square
// root is taken in double and rounded to float again.
inline float point_distance(const PointColumns& ref, std::int32_t i, const PointColumns& test, std::int32_t j) {
  const auto ri = static_cast<std::size_t>(i);
  const auto tj = static_cast<std::size_t>(j);
  const double dx = static_cast<double>(ref.x[ri]) - static_cast<double>(test.x[tj]);
  const double dy = static_cast<double>(ref.y[ri]) - static_cast<double>(test.y[tj]);
  const double dz = static_cast<double>(ref.z[ri]) - static_cast<double>(test.z[tj]);
  const float s = static_cast<float>((dx * dx + dy * dy) + dz * dz);  // first rounding
  return static_cast<float>(std::sqrt(static_cast<double>(s)));         // second rounding
}

// Strict: a point on a box face (axis difference exactly h) is outside. The
// bounds ref +- h are formed in double and not rounded; the six comparisons
// stop at the first that fails. NaN coordinates are never inside.
inline bool inside_box(const PointColumns& ref, std::int32_t i, const PointColumns& test, std::int32_t j, float h) {
  const auto ri = static_cast<std::size_t>(i);
  const auto tj = static_cast<std::size_t>(j);
  const double hd = static_cast<double>(h);
  return static_cast<double>(test.x[tj]) < static_cast<double>(ref.x[ri]) + hd &&
         static_cast<double>(ref.x[ri]) - hd < static_cast<double>(test.x[tj]) &&
         static_cast<double>(test.y[tj]) < static_cast<double>(ref.y[ri]) + hd &&
         static_cast<double>(ref.y[ri]) - hd < static_cast<double>(test.y[tj]) &&
         static_cast<double>(test.z[tj]) < static_cast<double>(ref.z[ri]) + hd &&
         static_cast<double>(ref.z[ri]) - hd < static_cast<double>(test.z[tj]);
}

}  // namespace ptdelta
