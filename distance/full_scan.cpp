#include "distance/full_scan.h"

#include <cmath>
#include <limits>

#include "core/exact.h"

namespace ptdelta {

namespace {
constexpr float no_neighbour = std::numeric_limits<float>::infinity();
}

float nearest_reference_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h) {
  // Start at +infinity: any real distance, however large, replaces it.
  float best = no_neighbour;
  for (std::int32_t i = 0; i < ref.count; ++i) {
    if (!inside_box(ref, i, test, j, h)) continue;
    const float d = point_distance(ref, i, test, j);
    if (d < best) best = d;  // strict: the first of equal distances sets the minimum
  }
  return best;
}

std::int32_t track_closer_points(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                 PlaneCandidates& candidates) {
  float best = no_neighbour;
  std::int32_t improvements = 0;
  for (std::int32_t i = 0; i < ref.count; ++i) {
    if (!inside_box(ref, i, test, j, h)) continue;
    const float d = point_distance(ref, i, test, j);
    if (d < best) {
      best = d;
      candidates.oldest = candidates.previous;
      candidates.previous = candidates.newest;
      candidates.newest = i;
      ++improvements;
    }
  }
  return improvements;
}

float det3(float a, float b, float c, float d, float e, float f, float g, float h, float l) {
  const auto A = static_cast<double>(a), B = static_cast<double>(b), C = static_cast<double>(c);
  const auto D = static_cast<double>(d), E = static_cast<double>(e), F = static_cast<double>(f);
  const auto G = static_cast<double>(g), H = static_cast<double>(h), L = static_cast<double>(l);
  // Expansion along the first column, in this grouping, rounded once.
  return static_cast<float>(((C * H - B * L) * D + (L * E - H * F) * A) + (B * F - C * E) * G);
}

PlaneCoefficients plane_through_points(const PointColumns& ref, const PlaneCandidates& candidates) {
  const auto p1 = static_cast<std::size_t>(candidates.newest);
  const auto p2 = static_cast<std::size_t>(candidates.previous);
  const auto p3 = static_cast<std::size_t>(candidates.oldest);
  const float x1 = ref.x[p1], y1 = ref.y[p1], z1 = ref.z[p1];
  const float x2 = ref.x[p2], y2 = ref.y[p2], z2 = ref.z[p2];
  const float x3 = ref.x[p3], y3 = ref.y[p3], z3 = ref.z[p3];
  PlaneCoefficients p;
  // Each determinant is rounded to float before its sign changes.
  p.a = det3(y1, z1, 1.0f, y2, z2, 1.0f, y3, z3, 1.0f);
  p.b = -det3(x1, z1, 1.0f, x2, z2, 1.0f, x3, z3, 1.0f);
  p.c = det3(x1, y1, 1.0f, x2, y2, 1.0f, x3, y3, 1.0f);
  p.d = -det3(x1, y1, z1, x2, y2, z2, x3, y3, z3);
  return p;
}

std::optional<float> plane_distance_from(const PointColumns& ref, const PointColumns& test, std::int32_t j,
                                         std::int32_t improvements, const PlaneCandidates& candidates) {
  if (improvements <= 2) return std::nullopt;
  const PlaneCoefficients p = plane_through_points(ref, candidates);
  // Only a normal that vanishes altogether (coincident or collinear points) has
  // no plane; z = 0 or x + y = 1 are planes with zero coefficients.
  if (p.a == 0.0f && p.b == 0.0f && p.c == 0.0f) return std::nullopt;
  const auto tj = static_cast<std::size_t>(j);
  const auto a = static_cast<double>(p.a), b = static_cast<double>(p.b), c = static_cast<double>(p.c);
  const auto d = static_cast<double>(p.d);
  const auto x = static_cast<double>(test.x[tj]), y = static_cast<double>(test.y[tj]),
             z = static_cast<double>(test.z[tj]);
  const float numerator = std::fabs(static_cast<float>(((a * x + b * y) + c * z) + d));
  const float norm_sq = static_cast<float>((a * a + b * b) + c * c);
  const float norm = static_cast<float>(std::sqrt(static_cast<double>(norm_sq)));
  return static_cast<float>(static_cast<double>(numerator) / static_cast<double>(norm));
}

std::optional<float> plane_distance(const PointColumns& ref, const PointColumns& test, std::int32_t j, float h,
                                    PlaneCandidates& candidates) {
  const std::int32_t k = track_closer_points(ref, test, j, h, candidates);
  return plane_distance_from(ref, test, j, k, candidates);
}

}  // namespace ptdelta
