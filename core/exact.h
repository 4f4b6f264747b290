// exact.h - every double-precision step and single-precision rounding of a run, in one place
// The box rule, point distance, box test, method B's plane, the local-surface steps and the rounded sums; every search and summary calls these.
#pragma once

#include <cfloat>
#include <cstddef>
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

// maxdist as the run uses it: the option's value (converted in double) rounded once to float.
inline float rounded_maxdist(double value) { return static_cast<float>(value); }

// ---- Point distance and the box ----

// The squared distance in double, differences and squares in this grouping,
// before any rounding. A search may compare these: the distance below never
// decreases as it grows.
inline double squared_distance(float rx, float ry, float rz, float tx, float ty, float tz) {
  const double dx = static_cast<double>(rx) - static_cast<double>(tx);
  const double dy = static_cast<double>(ry) - static_cast<double>(ty);
  const double dz = static_cast<double>(rz) - static_cast<double>(tz);
  return (dx * dx + dy * dy) + dz * dz;
}

// The distance of a squared distance: the sum rounds to float, then the square
// root is taken in double and rounded to float again.
inline float distance_of_squared(double s) {
  const auto rounded = static_cast<float>(s);                         // first rounding
  return static_cast<float>(std::sqrt(static_cast<double>(rounded)));  // second rounding
}

inline float point_distance(float rx, float ry, float rz, float tx, float ty, float tz) {
  return distance_of_squared(squared_distance(rx, ry, rz, tx, ty, tz));
}

inline float point_distance(const PointColumns& ref, std::int32_t i, const PointColumns& test, std::int32_t j) {
  const auto ri = static_cast<std::size_t>(i);
  const auto tj = static_cast<std::size_t>(j);
  return point_distance(ref.x[ri], ref.y[ri], ref.z[ri], test.x[tj], test.y[tj], test.z[tj]);
}

// Whether t lies inside the box of half-width h around r on one axis. Strict:
// a point on a box face (axis difference exactly h) is outside. The bounds
// r +- h are formed in double and not rounded; NaN is never inside.
inline bool inside_slab(float r, float t, float h) {
  const double rd = static_cast<double>(r), td = static_cast<double>(t), hd = static_cast<double>(h);
  return (td < rd + hd) & (rd - hd < td);
}

// The three axes together. The comparisons have no side effects, so all six
// are evaluated, without branches: the result is the same in any order.
inline bool inside_box(float rx, float ry, float rz, float tx, float ty, float tz, float h) {
  return inside_slab(rx, tx, h) & inside_slab(ry, ty, h) & inside_slab(rz, tz, h);
}

inline bool inside_box(const PointColumns& ref, std::int32_t i, const PointColumns& test, std::int32_t j, float h) {
  const auto ri = static_cast<std::size_t>(i);
  const auto tj = static_cast<std::size_t>(j);
  return inside_box(ref.x[ri], ref.y[ri], ref.z[ri], test.x[tj], test.y[tj], test.z[tj], h);
}

// ---- The plane of method B ----

// Determinant of the rows (a, b, c), (d, e, f), (g, h, l): the expansion along
// the first column in double, in this grouping, rounded once.
inline float det3(float a, float b, float c, float d, float e, float f, float g, float h, float l) {
  const auto A = static_cast<double>(a), B = static_cast<double>(b), C = static_cast<double>(c);
  const auto D = static_cast<double>(d), E = static_cast<double>(e), F = static_cast<double>(f);
  const auto G = static_cast<double>(g), H = static_cast<double>(h), L = static_cast<double>(l);
  return static_cast<float>(((C * H - B * L) * D + (L * E - H * F) * A) + (B * F - C * E) * G);
}

// The plane A*x + B*y + C*z + D = 0.
struct PlaneCoefficients {
  float a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
};

// The plane through P1, P2 and P3. Each determinant is rounded to float before
// its sign changes (negation is exact).
inline PlaneCoefficients plane_through(float x1, float y1, float z1, float x2, float y2, float z2, float x3, float y3,
                                       float z3) {
  PlaneCoefficients p;
  p.a = det3(y1, z1, 1.0f, y2, z2, 1.0f, y3, z3, 1.0f);
  p.b = -det3(x1, z1, 1.0f, x2, z2, 1.0f, x3, z3, 1.0f);
  p.c = det3(x1, y1, 1.0f, x2, y2, 1.0f, x3, y3, 1.0f);
  p.d = -det3(x1, y1, z1, x2, y2, z2, x3, y3, z3);
  return p;
}

// |A*x + B*y + C*z + D|: the sum in double, in this grouping, rounded to float.
inline float plane_numerator(const PlaneCoefficients& p, float x, float y, float z) {
  const auto a = static_cast<double>(p.a), b = static_cast<double>(p.b), c = static_cast<double>(p.c);
  const auto d = static_cast<double>(p.d);
  const auto sum = static_cast<float>(((a * static_cast<double>(x) + b * static_cast<double>(y)) +
                                       c * static_cast<double>(z)) + d);
  return std::fabs(sum);
}

// sqrt(A*A + B*B + C*C): the sum rounded to float, the root rounded again.
inline float plane_norm(const PlaneCoefficients& p) {
  const auto a = static_cast<double>(p.a), b = static_cast<double>(p.b), c = static_cast<double>(p.c);
  const auto sum = static_cast<float>((a * a + b * b) + c * c);
  return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

// numerator / norm in double, rounded to float.
inline float plane_quotient(float numerator, float norm) {
  return static_cast<float>(static_cast<double>(numerator) / static_cast<double>(norm));
}

// ---- Local surfaces: normals, planes and the cylinder ----

// A difference of a stored coordinate and a place, in double (both widened, not rounded).
inline double difference(float q, double p) { return static_cast<double>(q) - p; }

// a . b in double, in this grouping: (ax * bx + ay * by) + az * bz.
inline double dot3(double ax, double ay, double az, double bx, double by, double bz) {
  return (ax * bx + ay * by) + az * bz;
}

// A sum in double divided by a count, in double, not rounded.
inline double mean_of(double sum, std::int32_t count) { return sum / static_cast<double>(count); }

// One Jacobi rotation's tangent for the pair (p, q) of a symmetric matrix,
// a_pq != 0: theta = (a_qq - a_pp) / (2 a_pq), t = sign(theta) / (|theta| + sqrt(theta^2 + 1)),
// the smaller of the two angles. A huge theta (theta^2 infinite) gives t = 0.
inline double jacobi_tangent(double app, double aqq, double apq) {
  const double theta = (aqq - app) / (2.0 * apq);
  const double t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
  return theta < 0.0 ? -t : t;
}

// The cosine of a rotation by its tangent: 1 / sqrt(t^2 + 1).
inline double jacobi_cosine(double t) { return 1.0 / std::sqrt(t * t + 1.0); }

// ---- Two doubles side by side ----
// The vector type of GCC and Clang (any target): every operation rounds each
// lane as the same operation on one double does, so a loop over pairs gives
// the bits of the loop over single values.
typedef double DoublePair __attribute__((vector_size(16)));

inline DoublePair pair_sqrt(DoublePair x) {
#if defined(__SSE2__)
  return __builtin_ia32_sqrtpd(x);  // the correctly rounded root of each lane
#else
  return DoublePair{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

// jacobi_tangent and jacobi_cosine lane by lane, the same steps.
inline DoublePair jacobi_tangent(DoublePair app, DoublePair aqq, DoublePair apq) {
  const DoublePair theta = (aqq - app) / (2.0 * apq);
  const DoublePair magnitude = theta < 0.0 ? -theta : theta;  // + a root of at least 1: as fabs
  const DoublePair t = 1.0 / (magnitude + pair_sqrt(theta * theta + 1.0));
  return theta < 0.0 ? -t : t;
}

inline DoublePair jacobi_cosine(DoublePair t) { return 1.0 / pair_sqrt(t * t + 1.0); }

// The signed distance's one rounding: a value formed in double, rounded once to float.
inline float rounded_distance(double d) { return static_cast<float>(d); }

// The level of detection at 95 %: 1.96 * (sqrt(s_ref^2 / n_ref + s_test^2 / n_test) + E), in double, rounded once.
inline float level_of_detection(double s_ref, std::int32_t n_ref, double s_test, std::int32_t n_test, double e) {
  const double spread = (s_ref * s_ref) / static_cast<double>(n_ref) + (s_test * s_test) / static_cast<double>(n_test);
  return static_cast<float>(1.96 * (std::sqrt(spread) + e));
}

// ---- Coordinates and the shift ----

// A coordinate that is exact in double (an integer, a binary field), rounded once to float.
inline float single_of(double v) { return static_cast<float>(v); }

// The shift added in double, the sum rounded once to float.
inline float shifted_single(double v, double shift) { return static_cast<float>(v + shift); }

// A stored coordinate back in the input's frame: widened, the shift taken off in double.
inline double unshifted(float stored, double shift) { return static_cast<double>(stored) - shift; }

// The automatic shift of one axis from a finite coordinate v: 0 below 100000 in
// magnitude, otherwise minus v rounded to the nearest multiple of 1000, exact
// halves away from zero. fmod is exact and keeps the sign of v, so r is the
// exact distance below (or above) the multiple v - r, which is itself exact
// while |v| < 2^53; beyond that v - r is rounded once.
inline double automatic_axis_shift(double v) {
  if (!(std::fabs(v) >= 100000.0)) return 0.0;
  const double r = std::fmod(v, 1000.0);
  double multiple = v - r;
  if (std::fabs(r) >= 500.0) multiple += std::copysign(1000.0, v);
  return -multiple;
}

// ---- Running sums and the statistics ----

// A running sum rounds to float after every addition, made in double.
inline float add_rounded(float sum, double term) { return static_cast<float>(static_cast<double>(sum) + term); }

// A count as the float that divides a sum.
inline float rounded_count(std::int32_t count) { return static_cast<float>(count); }

// sum / n in double, rounded to float (n is the count already rounded to float).
inline float rounded_quotient(float sum, float n) {
  return static_cast<float>(static_cast<double>(sum) / static_cast<double>(n));
}

// sqrt(sum / n): the quotient rounded to float before the root, the root rounded again.
inline float root_of_mean(float sum, float n) {
  return static_cast<float>(std::sqrt(static_cast<double>(rounded_quotient(sum, n))));
}

// A distance's terms of the absolute and the squared sums: |d| and d * d, in double.
inline double absolute_term(float d) { return static_cast<double>(std::fabs(d)); }
inline double square_term(float d) { return static_cast<double>(d) * static_cast<double>(d); }

// The deviation mean - d rounded to float before it is squared (in double).
inline double squared_deviation(float mean, float d) {
  const auto deviation = static_cast<float>(static_cast<double>(mean) - static_cast<double>(d));
  return static_cast<double>(deviation) * static_cast<double>(deviation);
}

// The filter threshold mean + std in double, rounded to float.
inline float mean_plus_std(float mean, float std_dev) {
  return static_cast<float>(static_cast<double>(mean) + static_cast<double>(std_dev));
}

// The lower bound of a signed run's filter: mean - std in double, rounded to float.
inline float mean_minus_std(float mean, float std_dev) {
  return static_cast<float>(static_cast<double>(mean) - static_cast<double>(std_dev));
}

// A share in per cent: count * 100 / total in double, rounded to float.
inline float percent_of(std::int32_t count, std::int32_t total) {
  return static_cast<float>(static_cast<double>(count) * 100.0 / static_cast<double>(total));
}

// ---- The colour ramp ----

// 512 / distance_max in double, rounded to float; computed once per output.
inline float colour_scale_of(float distance_max) { return static_cast<float>(512.0 / static_cast<double>(distance_max)); }

// Where a distance lies on the ramp: v = distance * colour_scale in double,
// truncated toward zero, within [0, 512]; 0 for a distance of 0 even when the
// scale is infinite (0 x infinity would be NaN).
inline std::int32_t ramp_position(float distance, float colour_scale) {
  if (distance == 0.0f) return 0;
  const double v = static_cast<double>(distance) * static_cast<double>(colour_scale);
  // Accepted distances never exceed distance_max, so v stays within [0, 512];
  // the clamps only keep the truncation defined for an infinite distance or scale.
  if (!(v < 512.0)) return 512;
  if (!(v > 0.0)) return 0;
  return static_cast<std::int32_t>(v);  // truncation toward zero
}

// The diverging ramp of a signed run: v = (|d| * 255) / largest |d| in double,
// truncated toward zero, within [0, 255]; 0 for d = 0. Formed in one quotient
// (not by a rounded scale) so that the largest |d| is exactly 255.
inline std::int32_t diverging_position(float d, float largest) {
  if (d == 0.0f) return 0;
  const double v = (static_cast<double>(std::fabs(d)) * 255.0) / static_cast<double>(largest);
  if (!(v < 255.0)) return 255;
  if (!(v > 0.0)) return 0;
  return static_cast<std::int32_t>(v);
}

// ---- Coordinates stored as scaled integers ----

// record value * scale + offset, in double, not fused and not rounded: the
// caller shifts the sum and rounds it to float once. The record's integer
// (an int32) comes already widened to double, which holds it exactly.
inline double scaled_coordinate(double record_value, double scale, double offset) {
  return record_value * scale + offset;
}

// ---- Scanner points in the registered frame ----

// One axis of the row [x y z 1] times a 4 x 4 matrix stored row by row (the
// translation in its fourth row): ((x * m[0][a] + y * m[1][a]) + z * m[2][a]) + m[3][a],
// in double, in this grouping, not fused and not rounded: the caller shifts the
// sum and rounds it to float once. The fourth column (a projective part) is not used.
inline double registered_coordinate(double x, double y, double z, const double (&m)[16], std::size_t axis) {
  return ((x * m[axis] + y * m[4 + axis]) + z * m[8 + axis]) + m[12 + axis];
}

}  // namespace ptdelta
