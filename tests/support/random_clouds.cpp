#include "support/random_clouds.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace ptdelta::testing {

std::uint64_t Rng::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Rng::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

std::int32_t Rng::below(std::int32_t n) { return static_cast<std::int32_t>(next() % static_cast<std::uint64_t>(n)); }

double Rng::normal() {
  double sum = 0.0;
  for (int i = 0; i < 12; ++i) sum += uniform();
  return sum - 6.0;
}

PointColumns zero_cloud(std::int32_t n) {
  PointColumns cloud;
  const auto size = static_cast<std::size_t>(n);
  cloud.x.assign(size, 0.0f);
  cloud.y.assign(size, 0.0f);
  cloud.z.assign(size, 0.0f);
  cloud.count = n;
  return cloud;
}

PointColumns uniform_cloud(Rng& rng, std::int32_t n, double lo, double hi) {
  PointColumns cloud = zero_cloud(n);
  for (std::size_t i = 0; i < cloud.x.size(); ++i) {
    cloud.x[i] = static_cast<float>(rng.uniform(lo, hi));
    cloud.y[i] = static_cast<float>(rng.uniform(lo, hi));
    cloud.z[i] = static_cast<float>(rng.uniform(lo, hi));
  }
  return cloud;
}

namespace {

// A few broad hills and a tilt, the same for every seed; slopes stay below about 0.5.
double relief(double x, double y, double side) {
  constexpr double two_pi = 6.283185307179586;
  const double a = x / side, b = y / side;
  return 4.0 * std::sin(two_pi * 1.5 * a) * std::cos(two_pi * 1.1 * b) + 2.5 * std::sin(two_pi * (2.3 * a + 0.7 * b)) +
         0.02 * x - 0.01 * y;
}

}  // namespace

PointColumns surface_cloud(Rng& rng, std::int32_t n, double side, double noise) {
  PointColumns cloud = zero_cloud(n);
  std::int32_t lines = 1;
  while (static_cast<std::int64_t>(lines) * lines < n) ++lines;
  const std::int32_t per_line = (n + lines - 1) / lines;
  const double line_step = side / lines, point_step = side / per_line;
  const double phase_y = rng.uniform(), phase_x = rng.uniform();
  std::int32_t k = 0;
  for (std::int32_t line = 0; line < lines && k < n; ++line) {
    for (std::int32_t m = 0; m < per_line && k < n; ++m, ++k) {
      const std::int32_t i = line % 2 == 0 ? m : per_line - 1 - m;
      const double x = (i + phase_x + rng.uniform(-0.33, 0.33)) * point_step;
      const double y = (line + phase_y + rng.uniform(-0.33, 0.33)) * line_step;
      const double z = relief(x, y, side);
      const auto slot = static_cast<std::size_t>(k);
      cloud.x[slot] = static_cast<float>(x + noise * rng.normal());
      cloud.y[slot] = static_cast<float>(y + noise * rng.normal());
      cloud.z[slot] = static_cast<float>(z + noise * rng.normal());
    }
  }
  return cloud;
}

PointColumns integer_grid_cloud(Rng& rng, std::int32_t n, std::int32_t extent) {
  PointColumns cloud = zero_cloud(n);
  for (std::size_t i = 0; i < cloud.x.size(); ++i) {
    cloud.x[i] = static_cast<float>(rng.below(extent));
    cloud.y[i] = static_cast<float>(rng.below(extent));
    cloud.z[i] = static_cast<float>(rng.below(extent));
  }
  return cloud;
}

void shuffle_points(Rng& rng, PointColumns& cloud) {
  for (std::int32_t i = cloud.count - 1; i > 0; --i) {
    const auto a = static_cast<std::size_t>(i), b = static_cast<std::size_t>(rng.below(i + 1));
    std::swap(cloud.x[a], cloud.x[b]);
    std::swap(cloud.y[a], cloud.y[b]);
    std::swap(cloud.z[a], cloud.z[b]);
  }
}

std::string cloud_text(const PointColumns& c) {
  std::string text;
  char line[64];
  for (std::size_t i = 0; i < static_cast<std::size_t>(c.count); ++i) {
    std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", static_cast<double>(c.x[i]), static_cast<double>(c.y[i]),
                  static_cast<double>(c.z[i]));
    text += line;
  }
  return text;
}

}  // namespace ptdelta::testing
