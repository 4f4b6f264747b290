#include "report/distribution.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ptdelta {

namespace {

// 10^k by repeated multiplication: exact up to 10^22, a fixed product beyond.
double power_of_ten(std::int32_t k) {
  double p = 1.0;
  for (std::int32_t i = 0; i < k; ++i) p *= 10.0;
  return p;
}

// The edges of one bin width m * 10^e, with the power of ten computed once.
class EdgeRule {
 public:
  EdgeRule(std::int32_t mantissa, std::int32_t exponent)
      : mantissa_(mantissa), exponent_(exponent), power_(power_of_ten(exponent < 0 ? -exponent : exponent)) {}

  // i * m is an exact integer in double, so the one multiplication or division
  // by an exact power of ten rounds the decimal i * m * 10^e once, to nearest.
  double edge(std::int64_t i) const {
    const auto steps = static_cast<double>(i * mantissa_);
    return exponent_ >= 0 ? steps * power_ : steps / power_;
  }

  // The largest i with edge(i) <= d (0 for d below every edge): the quotient
  // only guesses, the comparisons with the edges decide. `d` is finite.
  std::int64_t bin_of(double d) const {
    const double guess = std::floor(d / edge(1));
    std::int64_t i = guess > 0.0 ? static_cast<std::int64_t>(std::min(guess, 1.0e15)) : 0;
    while (edge(i + 1) <= d) ++i;
    while (i > 0 && edge(i) > d) --i;
    return i;
  }

  // Bins needed from 0 to `top`, or more than histogram_max_bins when far too many.
  std::int64_t bins_for(double top) const {
    if (!(top / edge(1) < 1000.0)) return std::numeric_limits<std::int64_t>::max();
    return bin_of(top) + 1;
  }

  std::int32_t mantissa() const { return mantissa_; }
  std::int32_t exponent() const { return exponent_; }

 private:
  std::int32_t mantissa_, exponent_;
  double power_;
};

// The smallest width m * 10^e (m in 1, 2, 5) with at most histogram_max_bins bins
// up to `top` (> 0). The logarithm only picks where to start; the start is moved
// down until it is too narrow, so the answer does not depend on its rounding.
EdgeRule choose_bin_width(double top) {
  auto e = static_cast<std::int32_t>(std::floor(std::log10(top / histogram_max_bins))) - 1;
  while (EdgeRule(1, e).bins_for(top) <= histogram_max_bins) --e;
  for (;; ++e) {
    for (const std::int32_t m : {1, 2, 5}) {
      const EdgeRule rule(m, e);
      if (rule.bins_for(top) <= histogram_max_bins) return rule;
    }
  }
}

// EdgeRule::bin_of over edges computed once: the product only guesses, the
// comparisons with the edges decide, and edges[0] <= d <= the last bin's edge
// holds. (With edges[0] = 0 the difference is d itself.)
// Signed conversions throughout: they are one instruction, unsigned ones are not.
std::int64_t bin_among(const double* edges, std::int64_t bins, double reciprocal_width, double d) {
  const double guess = std::min((d - edges[0]) * reciprocal_width, static_cast<double>(bins - 1));
  std::int64_t i = guess > 0.0 ? static_cast<std::int64_t>(guess) : 0;  // truncation: the floor of the non-negative
  while (i + 1 < bins && edges[i + 1] <= d) ++i;
  while (i > 0 && edges[i] > d) --i;
  return i;
}

bool is_accepted(const std::vector<PointOutcome>& outcome, std::size_t i) {
  return outcome[i] == PointOutcome::accepted;
}

// Fine buckets that split [low, top] for the selection of ranks (low is 0, or
// -top for signed distances). The bucket of a distance never decreases as the
// distance grows (a rounded difference, a rounded product, then truncation, each
// monotonic), so every value of a lower bucket is <= every value of a higher one.
constexpr std::int64_t rank_buckets = std::int64_t{1} << 14;  // few enough counts to stay in cache

// The order of the selection: by value, and -0 before +0, so that the value
// picked for a rank (its sign included) does not depend on the order the
// distances come in.
bool ranks_below(float a, float b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

}  // namespace

std::int64_t nearest_rank(std::int32_t percent, std::int64_t count) {
  const std::int64_t rank = (static_cast<std::int64_t>(percent) * count + 99) / 100;  // ceil(p * n / 100)
  return std::max<std::int64_t>(rank, 1);
}

double histogram_edge(std::int64_t i, std::int32_t mantissa, std::int32_t exponent) {
  return EdgeRule(mantissa, exponent).edge(i);
}

Distribution describe_distribution(const PassResult& pass) {
  Distribution out;
  const std::vector<float>& cd = pass.cd;
  const std::vector<PointOutcome>& outcome = pass.outcome;
  out.count = pass.totals.accepted_count;
  out.is_signed = pass.is_signed;
  const double top = static_cast<double>(pass.totals.distance_max);  // the largest |d|
  Histogram& h = out.histogram;
  if (out.count == 0 || !std::isfinite(top)) return out;

  // The display histogram; a largest |d| of 0 gets the one bin [0, 1) (and
  // [-1, 0) below it when signed).
  const EdgeRule rule = top > 0.0 ? choose_bin_width(top) : EdgeRule(1, 0);
  const std::int64_t above = rule.bin_of(top) + 1;
  const std::int64_t mirrored = out.is_signed ? above : 0;  // bins below 0
  const std::int64_t bins = mirrored + above;
  h.mantissa = rule.mantissa();
  h.exponent = rule.exponent();
  h.width = rule.edge(1);
  h.negative_bins = mirrored;
  for (std::int64_t i = mirrored; i > 0; --i) h.edges.push_back(-rule.edge(i));  // negation is exact
  for (std::int64_t i = 0; i <= above; ++i) h.edges.push_back(rule.edge(i));
  h.counts.assign(static_cast<std::size_t>(bins), 0);

  // One pass: histogram counts and the fine rank buckets.
  const double low = out.is_signed ? -top : 0.0;
  const double span = top - low;  // top or 2 top, both exact
  const double bucket_scale = span > 0.0 ? static_cast<double>(rank_buckets) / span : 0.0;
  const auto bucket_of = [bucket_scale, low](double d) -> std::size_t {
    const double b = std::min((d - low) * bucket_scale, static_cast<double>(rank_buckets - 1));
    return static_cast<std::size_t>(b > 0.0 ? static_cast<std::int64_t>(b) : 0);
  };
  std::vector<std::uint32_t> bucket_counts(static_cast<std::size_t>(rank_buckets), 0);  // at most 2^31 - 1 points
  const double reciprocal_width = 1.0 / h.width;
  for (std::size_t i = 0; i < cd.size(); ++i) {
    if (!is_accepted(outcome, i)) continue;
    const double d = static_cast<double>(cd[i]);
    ++bucket_counts[bucket_of(d)];
    ++h.counts[static_cast<std::size_t>(bin_among(h.edges.data(), bins, reciprocal_width, d))];
  }

  // Each rank's bucket and its rank inside that bucket.
  constexpr std::size_t levels = percentile_levels.size();
  std::array<std::size_t, levels> bucket{};
  std::array<std::int64_t, levels> rank_inside{};
  for (std::size_t k = 0; k < levels; ++k) {
    std::int64_t below = 0;
    const std::int64_t rank = nearest_rank(percentile_levels[k], out.count);
    std::size_t b = 0;
    while (below + bucket_counts[b] < rank) below += bucket_counts[b++];  // the last bucket holds the top
    bucket[k] = b;
    rank_inside[k] = rank - below;
  }

  // A second pass: the values of those few buckets, then a selection inside each.
  std::array<std::vector<float>, levels> values;
  for (std::size_t k = 0; k < levels; ++k) {
    if (k == 0 || bucket[k] != bucket[k - 1]) values[k].reserve(static_cast<std::size_t>(bucket_counts[bucket[k]]));
  }
  for (std::size_t i = 0; i < cd.size(); ++i) {
    if (!is_accepted(outcome, i)) continue;
    const std::size_t b = bucket_of(static_cast<double>(cd[i]));
    if (b < bucket[0] || b > bucket[levels - 1]) continue;
    for (std::size_t k = 0; k < levels; ++k) {
      if (b == bucket[k] && (k == 0 || bucket[k] != bucket[k - 1])) values[k].push_back(cd[i]);
    }
  }
  for (std::size_t k = 0; k < levels; ++k) {
    std::size_t owner = k;  // the levels share a bucket's values with the first level in it
    while (owner > 0 && bucket[owner - 1] == bucket[k]) --owner;
    std::vector<float>& v = values[owner];
    const auto nth = v.begin() + (rank_inside[k] - 1);
    std::nth_element(v.begin(), nth, v.end(), ranks_below);
    out.percentiles[k] = *nth;
  }
  return out;
}

}  // namespace ptdelta
