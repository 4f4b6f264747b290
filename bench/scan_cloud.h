// scan_cloud.h - deterministic scan-like clouds for the benchmarks
// A smooth bumpy relief of 200 x 200 mm sampled along scan lines with 0.1 mm noise;
// the test sampling adds a 2 mm bump and 1 % outliers 10 to 30 mm off the surface.
// Larger patches (the same density for more points) mirror that relief tile by tile.
//
// Same arguments, same points, on every machine: the generator is std::mt19937_64
// (its output is fixed by the standard) with our own uniform and normal transforms,
// and the surface uses only + - * / and comparisons (no libm calls whose last bit
// could differ between library versions). The only other calls, std::sqrt and
// std::floor, are exact or correctly rounded by IEEE 754 on every library.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

namespace ptdelta::bench {

inline constexpr double patch_size = 200.0;          // mm, both x and y
inline constexpr double noise_sigma = 0.1;           // mm
inline constexpr double outlier_share = 0.01;        // of the test points
inline constexpr double outlier_min_offset = 10.0;   // mm
inline constexpr double outlier_offset_span = 20.0;  // mm, so offsets reach 30
inline constexpr double test_bump_height = 2.0;      // mm
inline constexpr double test_bump_radius = 30.0;     // mm
inline constexpr double test_bump_x = 130.0, test_bump_y = 75.0;
inline constexpr std::uint64_t relief_seed = 0x7e11efULL;  // one relief for every cloud
inline constexpr std::int64_t patch_points = 1000000;       // the density of the bench: 1M points per patch

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}
  // [0, 1) with the top 53 bits of one draw: exact, no library distribution.
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  // [0, n) without bias: draws below 2^64 mod n are thrown away, so every residue
  // has the same number of draws behind it.
  std::uint64_t below(std::uint64_t n) {
    const std::uint64_t threshold = (std::uint64_t{0} - n) % n;
    for (;;) {
      const std::uint64_t r = engine_();
      if (r >= threshold) return r % n;
    }
  }
  // Irwin-Hall: the sum of 12 uniforms minus 6 has mean 0 and variance 1, and
  // additions in a fixed order round the same everywhere (tails end at +-6).
  double normal() {
    double sum = 0.0;
    for (int i = 0; i < 12; ++i) sum += uniform();
    return sum - 6.0;
  }

 private:
  std::mt19937_64 engine_;
};

struct Hill {
  double x, y, height, inverse_width_squared;
};

inline constexpr int hill_count = 24;
using Relief = std::array<Hill, hill_count>;

inline Relief make_relief() {
  Rng rng(relief_seed);
  Relief hills{};
  for (Hill& h : hills) {
    h.x = rng.uniform(-20.0, patch_size + 20.0);
    h.y = rng.uniform(-20.0, patch_size + 20.0);
    h.height = rng.uniform(-6.0, 6.0);
    const double width = rng.uniform(12.0, 45.0);
    h.inverse_width_squared = 1.0 / (width * width);
  }
  return hills;
}

// Rational hills a / (1 + r^2 / w^2) and a gentle tilt: smooth, slopes below about 0.4.
inline double relief_height(const Relief& hills, double x, double y) {
  double z = 0.02 * x - 0.01 * y;
  for (const Hill& h : hills) {
    const double dx = x - h.x, dy = y - h.y;
    z += h.height / (1.0 + (dx * dx + dy * dy) * h.inverse_width_squared);
  }
  return z;
}

// A smooth 2 mm raised patch: height * (1 - r^2/R^2)^2 inside radius R.
inline double test_bump(double x, double y) {
  const double dx = x - test_bump_x, dy = y - test_bump_y;
  const double q = (dx * dx + dy * dy) / (test_bump_radius * test_bump_radius);
  if (q >= 1.0) return 0.0;
  return test_bump_height * (1.0 - q) * (1.0 - q);
}

struct CloudPoint {
  double x, y, z;
  bool outlier;  // moved 10 to 30 mm off the surface (test clouds only)
};

enum class CloudKind { reference, test };

// The side of the square that holds `points` points at the bench's density:
// patch_size for 1M, sqrt(10) times that for 10M. std::sqrt is correctly rounded.
inline double side_for_points(std::int64_t points) {
  return patch_size * std::sqrt(static_cast<double>(points) / static_cast<double>(patch_points));
}

// A coordinate of a larger patch folded onto the 200 mm relief: mirrored at every
// multiple of 200 mm, so the surface stays continuous across tiles (a ridge or a
// valley where a tile meets its mirror image). Exact: floor and the multiples are exact.
inline double fold_onto_patch(double v) {
  const double period = 2.0 * patch_size;
  const double t = v - period * std::floor(v / period);
  return t > patch_size ? period - t : t;
}

// Calls emit(CloudPoint) `count` times. Scan lines run across y, each sampled
// along x, alternate lines backwards as a sweeping scanner writes them; a
// per-cloud phase makes two seeds two different samplings of the same relief.
// `side` is the side of the sampled square: patch_size (the default) samples the
// relief as it is; a larger side samples the mirrored tiles (see fold_onto_patch),
// a smaller one a corner of the relief.
template <class Emit>
void generate_scan_cloud(CloudKind kind, std::int64_t count, std::uint64_t seed, Emit&& emit,
                         double side = patch_size) {
  const Relief hills = make_relief();
  const bool tiled = side > patch_size;
  Rng rng(seed);
  std::int64_t lines = 1;
  while (lines * lines < count) ++lines;
  const std::int64_t per_line = (count + lines - 1) / lines;
  const double line_step = side / static_cast<double>(lines);
  const double point_step = per_line == 0 ? 0.0 : side / static_cast<double>(per_line);
  const double phase_y = rng.uniform(), phase_x = rng.uniform();

  std::int64_t emitted = 0;
  for (std::int64_t k = 0; k < lines && emitted < count; ++k) {
    const double line_y = (static_cast<double>(k) + phase_y) * line_step;
    for (std::int64_t n = 0; n < per_line && emitted < count; ++n, ++emitted) {
      const std::int64_t i = (k % 2 == 0) ? n : per_line - 1 - n;
      // Jitter of up to a third of a step in each direction, then the noise.
      CloudPoint p{};
      p.x = (static_cast<double>(i) + phase_x) * point_step + rng.uniform(-0.33, 0.33) * point_step;
      p.y = line_y + rng.uniform(-0.33, 0.33) * line_step;
      // The surface of a tiled patch is the relief's at the folded position.
      const double sx = tiled ? fold_onto_patch(p.x) : p.x, sy = tiled ? fold_onto_patch(p.y) : p.y;
      p.z = relief_height(hills, sx, sy) + noise_sigma * rng.normal();
      if (kind == CloudKind::test) {
        p.z += test_bump(sx, sy);
        const double pick = rng.uniform();
        const double offset = outlier_min_offset + outlier_offset_span * rng.uniform();
        p.outlier = pick < outlier_share;
        if (p.outlier) p.z += (pick < outlier_share / 2.0) ? offset : -offset;
      }
      emit(p);
    }
  }
}

// Puts points[0..n) into a fixed random order (Fisher-Yates on its own engine): the
// order an independent sampling of the surface gives, the same on every machine.
template <class Point>
void shuffle_points(std::vector<Point>& points, std::uint64_t seed) {
  Rng rng(seed ^ 0x5eed5eed5eedULL);
  for (std::size_t i = points.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(rng.below(i));
    std::swap(points[i - 1], points[j]);
  }
}

// "%.4f %.4f %.4f\n", about 24 bytes as real scans are written; returns the length.
inline int format_cloud_line(char (&line)[96], const CloudPoint& p) {
  return std::snprintf(line, sizeof line, "%.4f %.4f %.4f\n", p.x, p.y, p.z);
}

}  // namespace ptdelta::bench
