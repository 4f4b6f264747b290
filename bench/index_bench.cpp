// index_bench.cpp - build and query times of the spatial index against the full scan on scan-like clouds
// Seeded surfaces of 200 x 200 mm with 0.1 mm noise; the test cloud carries 1 % outliers 10 to 30 mm off the
// surface. The full scan runs on a sample of the queries (the baseline, and the check: same bits); the index runs
// on all of them, best of three passes. Each kernel folds its results into a checksum.
//
//   <build>/bench/index [ref_count test_count [method_b_ref_count]]     (defaults 1000000 1000000 200000)
//
// Built by `make bench` (target bench_index) with the other drivers; bench/run.sh does not run it.
#include <sys/resource.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "distance/spatial_index.h"
#include "support/full_scan.h"
#include "support/random_clouds.h"

namespace {

using ptdelta::PlaneCandidates;
using ptdelta::PointColumns;
using ptdelta::testing::Rng;
using Clock = std::chrono::steady_clock;

constexpr float box_half_width = 8.660254f;  // maxdist 5
constexpr std::int32_t sampled_queries = 64;
constexpr int passes = 3;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

PointColumns test_surface(std::uint64_t seed, std::int32_t n) {
  Rng rng(seed);
  PointColumns test = ptdelta::testing::surface_cloud(rng, n, 200.0, 0.1);
  for (std::size_t j = 0; j < test.z.size(); ++j) {
    if (!rng.chance(0.01)) continue;
    const double offset = rng.uniform(10.0, 30.0);
    test.z[j] = static_cast<float>(static_cast<double>(test.z[j]) + (rng.chance(0.5) ? offset : -offset));
  }
  return test;
}

std::int32_t sample(std::int32_t k, std::int32_t count) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(k) * count / sampled_queries);
}

// One method: the kernel folds test point j's result into a checksum, with
// the index (fast) or the full scan (slow).
template <class Kernel>
void measure(const char* label, const PointColumns& ref, const PointColumns& test, Kernel kernel) {
  ptdelta::SpatialIndex index;
  double build = 1e300, query = 1e300;
  std::uint64_t checksum = 0;
  for (int pass = 0; pass < passes; ++pass) {
    const Clock::time_point t0 = Clock::now();
    if (build_spatial_index(ref, box_half_width, index) != ptdelta::Failure::none) std::abort();
    build = std::min(build, seconds_since(t0));
    const Clock::time_point t1 = Clock::now();
    checksum = 0;
    for (std::int32_t j = 0; j < test.count; ++j) checksum = checksum * 31 + kernel(&index, j);
    query = std::min(query, seconds_since(t1));
  }
  // Baseline and check on a sample.
  std::int32_t mismatches = 0;
  const Clock::time_point t2 = Clock::now();
  for (std::int32_t k = 0; k < sampled_queries; ++k) {
    const std::int32_t j = sample(k, test.count);
    mismatches += kernel(nullptr, j) != kernel(&index, j) ? 1 : 0;
  }
  const double full_scan = (seconds_since(t2) - query * sampled_queries / test.count) / sampled_queries * test.count;
  std::printf(
      "%s ref %8d test %8d: build %.3f s, queries %.3f s (%4.0f ns each), index %4.1f MiB; full scan about %6.0f s; "
      "checksum %016llx, sample mismatches %d/%d\n",
      label, ref.count, test.count, build, query, 1e9 * query / test.count,
      static_cast<double>(index.memory_bytes()) / 1048576.0, full_scan, static_cast<unsigned long long>(checksum),
      mismatches, sampled_queries);
}

void method_a(const char* label, const PointColumns& ref, const PointColumns& test) {
  measure(label, ref, test, [&](const ptdelta::SpatialIndex* index, std::int32_t j) -> std::uint64_t {
    const float d = index ? indexed_nearest_distance(*index, test, j)
                          : ptdelta::testing::nearest_reference_distance(ref, test, j, box_half_width);
    return std::bit_cast<std::uint32_t>(d);
  });
}

void method_b(const char* label, const PointColumns& ref, const PointColumns& test) {
  measure(label, ref, test, [&](const ptdelta::SpatialIndex* index, std::int32_t j) -> std::uint64_t {
    PlaneCandidates c{-1, -1, -1};
    std::int32_t k = index ? indexed_track_closer_points(*index, test, j, c)
                           : ptdelta::testing::track_closer_points(ref, test, j, box_half_width, c);
    k = std::min(k, 3);
    // Only the candidates found count (the scan shifts stale ones in).
    const auto at = [&](std::int32_t need, std::int32_t i) { return k >= need ? static_cast<std::uint32_t>(i) : 0u; };
    return (static_cast<std::uint64_t>(k) << 60) ^ at(1, c.newest) ^
           (static_cast<std::uint64_t>(at(2, c.previous)) << 20) ^ (static_cast<std::uint64_t>(at(3, c.oldest)) << 40);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::int32_t ref_count = argc > 2 ? std::atoi(argv[1]) : 1000000;
  const std::int32_t test_count = argc > 2 ? std::atoi(argv[2]) : 1000000;
  const std::int32_t b_ref_count = argc > 3 ? std::atoi(argv[3]) : 200000;
  {
    Rng rng(1);
    const PointColumns ref = ptdelta::testing::surface_cloud(rng, ref_count, 200.0, 0.1);
    PointColumns test = test_surface(2, test_count);
    method_a("A scan order        ", ref, test);
    Rng shuffler(3);
    ptdelta::testing::shuffle_points(shuffler, test);
    method_a("A shuffled test     ", ref, test);
  }
  {
    Rng rng(4);
    PointColumns ref = ptdelta::testing::surface_cloud(rng, b_ref_count, 200.0, 0.1);
    const PointColumns test = test_surface(5, test_count);
    method_b("B scan order        ", ref, test);
    Rng shuffler(6);
    ptdelta::testing::shuffle_points(shuffler, ref);
    method_b("B shuffled reference", ref, test);
  }
  std::printf("peak RSS %ld MiB\n", peak_rss_mib());
  return 0;
}
