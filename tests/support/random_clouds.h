// random_clouds.h - seeded point clouds for differential tests and benchmarks
// The same seed gives the same cloud: a fixed 64-bit generator and our own transforms, no library distribution
// (the surface relief calls sin and cos, so its last bits follow the math library).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "core/point_cloud.h"

namespace ptdelta::testing {

// splitmix64: tiny, fast, and fully specified (no library distribution involved).
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  double uniform();                      // [0, 1), 53 random bits
  double uniform(double lo, double hi);  // [lo, hi)
  std::int32_t below(std::int32_t n);    // [0, n), n > 0
  std::uint32_t below_u32(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }  // [0, n), n > 0
  bool chance(double p) { return uniform() < p; }
  double normal();  // mean 0, variance 1 (sum of 12 uniforms)
  template <class T>
  T pick(std::initializer_list<T> values) {
    return values.begin()[below(static_cast<std::int32_t>(values.size()))];
  }

 private:
  std::uint64_t state_;
};

// A cloud of n zero points, ready to be overwritten.
PointColumns zero_cloud(std::int32_t n);

// n points uniform in the cube [lo, hi)^3, rounded to float.
PointColumns uniform_cloud(Rng& rng, std::int32_t n, double lo, double hi);

// A scanned surface over [0, side)^2: a smooth relief a few mm high, sampled
// along scan lines (alternate lines backwards), with normal noise of `noise` on
// every axis. Two seeds give two samplings of the same surface.
PointColumns surface_cloud(Rng& rng, std::int32_t n, double side, double noise);

// Integer coordinates in [0, extent)^3: with n near extent^3 or above, many
// duplicate points and many exactly equal distances.
PointColumns integer_grid_cloud(Rng& rng, std::int32_t n, std::int32_t extent);

// Reorders the points at random.
void shuffle_points(Rng& rng, PointColumns& cloud);

// The cloud as text lines "x y z" in "%.9g", which reads back to the same floats.
std::string cloud_text(const PointColumns& cloud);

}  // namespace ptdelta::testing
