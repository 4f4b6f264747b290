// exact.h - every double-precision step and single-precision rounding of a run, in one place
// The box rule, point distance, box test and the rounded running sums; every search and summary calls these.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "core/point_cloud.h"

static_assert(FLT_EVAL_METHOD == 0, "float and double arithmetic must not be widened");

namespace ptdelta {

// The box half-width h = sqrt(maxdist * maxdist * 3): the product in double
// rounded to float, then the root in double rounded to float.
inline float derive_box_half_width(float maxdist) {
  const double m = static_cast<double>(maxdist);
  const auto product = static_cast<float>(m * m * 3.0);
  return static_cast<float>(std::sqrt(static_cast<double>(product)));
}

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

// ---- Running sums and the statistics ----

// A running sum rounds to float after every addition, made in double.
inline float add_rounded(float sum, double term) { return static_cast<float>(static_cast<double>(sum) + term); }

// sum / n in double, rounded to float (n is the count already rounded to float).
inline float rounded_quotient(float sum, float n) {
  return static_cast<float>(static_cast<double>(sum) / static_cast<double>(n));
}

// sqrt(sum / n): the quotient rounded to float before the root, the root rounded again.
inline float root_of_mean(float sum, float n) {
  return static_cast<float>(std::sqrt(static_cast<double>(rounded_quotient(sum, n))));
}

// The deviation mean - d rounded to float before it is squared (in double).
inline double squared_deviation(float mean, float d) {
  const auto deviation = static_cast<float>(static_cast<double>(mean) - static_cast<double>(d));
  return static_cast<double>(deviation) * static_cast<double>(deviation);
}

// The filter threshold mean + std in double, rounded to float.
inline float mean_plus_std(float mean, float std_dev) {
  return static_cast<float>(static_cast<double>(mean) + static_cast<double>(std_dev));
}

// ---- Coordinates stored as scaled integers ----

// record value * scale + offset, in double, not fused and not rounded: the
// caller shifts the sum and rounds it to float once.
inline double scaled_coordinate(std::int32_t record_value, double scale, double offset) {
  return static_cast<double>(record_value) * scale + offset;
}

}  // namespace ptdelta
