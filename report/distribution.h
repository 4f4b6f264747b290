// distribution.h - percentiles and histogram of the accepted distances, by exact rules
// Nearest-rank percentiles and a histogram on decimal bin edges; integer ranks and exact comparisons only.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "distance/comparison_pass.h"

namespace ptdelta {

// The percentiles every report gives, in percent.
inline constexpr std::array<std::int32_t, 4> percentile_levels = {50, 90, 95, 99};

// The most bins a histogram gets.
inline constexpr std::int32_t histogram_max_bins = 40;

// Bins [edges[i], edges[i + 1]) of width m * 10^e (m one of 1, 2, 5): the
// smallest such width that needs at most histogram_max_bins bins from 0 to the
// largest accepted |distance| (which lies in the last bin). The k-th edge from 0
// is the double nearest to the decimal k * m * 10^e (for 10^|e| up to 10^22;
// beyond, a fixed product of powers of ten), and a distance d is in the bin of
// the largest i with edges[i] <= d, decided by comparing d with the edges
// themselves. A signed run's bins are centred on 0: the same bins from 0 up,
// mirrored below 0 (the edge k below 0 is exactly minus the edge k above), so
// twice as many; 0 itself opens the first bin above 0.
struct Histogram {
  std::int32_t mantissa = 0;       // m: 1, 2 or 5; 0 when there is no bin
  std::int32_t exponent = 0;       // e
  double width = 0.0;              // m * 10^e as the edges have it (the first edge above 0); 0 when there is no bin
  std::int64_t negative_bins = 0;  // bins below 0: as many as above in a signed run, else 0
  std::vector<double> edges;       // bin count + 1 values from -edge(negative_bins), empty when no distance was accepted
  std::vector<std::int64_t> counts;
};

struct Distribution {
  std::int64_t count = 0;  // accepted distances
  bool is_signed = false;  // the distances carry signs: bins centred on 0, percentiles of the signed values
  // (No bins, and no meaningful percentiles, when count is 0.)
  // percentiles[k] is the nearest-rank percentile_levels[k]: the r-th smallest
  // accepted distance for r = ceil(p * count / 100), at least 1, -0 ordered
  // before +0. Meaningless when count is 0.
  std::array<float, percentile_levels.size()> percentiles{};
  Histogram histogram;
};

// The 1-based nearest rank of percentile `percent` among `count` values (count >= 1).
std::int64_t nearest_rank(std::int32_t percent, std::int64_t count);

// Edge i of a histogram of bin width m * 10^e.
double histogram_edge(std::int64_t i, std::int32_t mantissa, std::int32_t exponent);

// Percentiles and histogram over the cd entries whose outcome is accepted, of
// which the pass's totals give the count and the largest |d|. Accepted distances
// are not negative unless the pass is signed; the bins are drawn only when the
// largest |d| is finite. Throws std::bad_alloc when the working columns cannot be had.
Distribution describe_distribution(const PassResult& pass);

}  // namespace ptdelta
