#include "report/distribution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support/random_clouds.h"

namespace ptdelta {
namespace {

// A pass with these accepted distances, then `excluded` outliers and rejected
// points, and the totals the comparison pass would gather.
PassResult column(const std::vector<float>& accepted, std::int32_t excluded = 0) {
  PassResult c;
  for (const float d : accepted) {
    c.cd.push_back(d);
    c.outcome.push_back(PointOutcome::accepted);
    ++c.totals.accepted_count;
    c.totals.distance_max = std::max(c.totals.distance_max, d);
  }
  for (std::int32_t i = 0; i < excluded; ++i) {
    c.cd.push_back(excluded_distance);
    c.outcome.push_back(i % 2 ? PointOutcome::outlier : PointOutcome::rejected);
  }
  return c;
}

// A signed pass with these accepted distances and the totals the pass gathers (the largest |d|).
PassResult signed_column(const std::vector<float>& accepted, std::int32_t excluded = 0) {
  PassResult c = column({}, 0);
  c.is_signed = true;
  for (const float d : accepted) {
    c.cd.push_back(d);
    c.outcome.push_back(PointOutcome::accepted);
    ++c.totals.accepted_count;
    c.totals.distance_max = std::max(c.totals.distance_max, std::fabs(d));
  }
  for (std::int32_t i = 0; i < excluded; ++i) {
    c.cd.push_back(no_signed_distance);
    c.outcome.push_back(i % 2 ? PointOutcome::outlier : PointOutcome::too_few);
  }
  return c;
}

TEST(Distribution, NearestRanks) {
  struct Case {
    std::int32_t percent;
    std::int64_t count, rank;
  };
  for (const Case c : {Case{50, 1, 1}, {99, 1, 1}, {50, 2, 1}, {50, 3, 2}, {50, 10, 5}, {90, 10, 9}, {95, 10, 10},
                       {99, 100, 99}, {99, 101, 100}, {50, 7933, 3967}, {99, 3000000000, 2970000000}}) {
    EXPECT_EQ(nearest_rank(c.percent, c.count), c.rank) << c.percent << " of " << c.count;
  }
}

TEST(Distribution, HandCheckedPercentilesAndBins) {
  struct Case {
    const char* what;
    std::vector<float> accepted;
    std::array<float, 4> percentiles;  // 50 90 95 99
    std::int32_t mantissa, exponent;
    std::vector<double> edges;
    std::vector<std::int64_t> counts;
  };
  const std::vector<Case> cases = {
      // max 10: 0.2 needs 51 bins, 0.5 needs 21.
      {"one to ten",
       {10, 1, 9, 2, 8, 3, 7, 4, 6, 5},
       {5, 9, 10, 10},
       5,
       -1,
       {0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6, 6.5, 7, 7.5, 8, 8.5, 9, 9.5, 10, 10.5},
       {0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}},
      // 0.3f lies above the decimal 0.3, so it is in the bin that starts there.
      {"one value", {0.3f}, {0.3f, 0.3f, 0.3f, 0.3f}, 1, -2, {}, {}},
      // 0.5 is exactly an edge and opens its bin; 1 is the last edge's bin.
      {"on edges",
       {1.0f, 0.5f, 0.0f, 0.5f},
       {0.5f, 1.0f, 1.0f, 1.0f},
       5,
       -2,
       {},
       {}},
      {"all zero", {0, 0, 0}, {0, 0, 0, 0}, 1, 0, {0, 1}, {3}},
      // max 1000: 20 needs 51 bins, 50 needs 21.
      {"large", {1000, 0, 999}, {999, 1000, 1000, 1000}, 5, 1, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PassResult col = column(c.accepted, 5);
    const Distribution d = describe_distribution(col);
    EXPECT_EQ(d.count, static_cast<std::int64_t>(c.accepted.size()));
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(d.percentiles[k], c.percentiles[k]) << k;
    EXPECT_EQ(d.histogram.mantissa, c.mantissa);
    EXPECT_EQ(d.histogram.exponent, c.exponent);
    if (!c.edges.empty()) {
      EXPECT_EQ(d.histogram.edges, c.edges);
    }
    if (!c.counts.empty()) {
      EXPECT_EQ(d.histogram.counts, c.counts);
    }
  }
  // The bins of the cases whose edges are not spelled out above.
  const PassResult one = column({0.3f});
  Histogram h = describe_distribution(one).histogram;
  ASSERT_EQ(h.counts.size(), 31u);
  EXPECT_EQ(h.edges[30], 0.3);
  EXPECT_EQ(h.counts[30], 1);
  const PassResult edges = column({1.0f, 0.5f, 0.0f, 0.5f});
  h = describe_distribution(edges).histogram;
  ASSERT_EQ(h.counts.size(), 21u);
  EXPECT_EQ(h.edges[10], 0.5);
  EXPECT_EQ(h.counts[0], 1);
  EXPECT_EQ(h.counts[10], 2);
  EXPECT_EQ(h.counts[20], 1);
}

// Signed distances: the bins from 0 up are those of |d|, mirrored below 0, and
// the percentiles are of the signed values.
TEST(Distribution, SignedBinsAreCentredOnZero) {
  struct Case {
    const char* what;
    std::vector<float> accepted;
    std::array<float, 4> percentiles;  // 50 90 95 99
    double width;
    std::int64_t negative_bins;
    std::vector<std::pair<std::size_t, std::int64_t>> nonzero;  // bin, count
  };
  const std::vector<Case> cases = {
      // |d| at most 0: the one bin [0, 1) and its mirror [-1, 0); -0 counts in [0, 1).
      {"all zero", {0, -0.0f, 0}, {0, 0, 0, 0}, 1, 1, {{1, 3}}},
      // Negative only, largest |d| 2: bins of 0.1 from -2.1; -2 opens [-2, -1.9), -0.25 is in [-0.3, -0.2).
      {"one side only", {-1, -0.25f, -2}, {-1, -0.25f, -0.25f, -0.25f}, 0.1, 21, {{1, 1}, {11, 1}, {18, 1}}},
      // Mirror images do not share mirrored bins: -1 opens [-1, -0.9), 1 opens [1, 1.1).
      {"symmetric", {1, -1, 2, -2}, {-1, 2, 2, 2}, 0.1, 21, {{1, 1}, {11, 1}, {31, 1}, {41, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Distribution d = describe_distribution(signed_column(c.accepted, 3));
    const Histogram& h = d.histogram;
    EXPECT_TRUE(d.is_signed);
    EXPECT_EQ(d.count, static_cast<std::int64_t>(c.accepted.size()));
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(d.percentiles[k], c.percentiles[k]) << k;
    EXPECT_EQ(h.width, c.width);
    ASSERT_EQ(h.negative_bins, c.negative_bins);
    ASSERT_EQ(h.counts.size(), static_cast<std::size_t>(2 * c.negative_bins));
    ASSERT_EQ(h.edges.size(), h.counts.size() + 1);
    const auto middle = static_cast<std::size_t>(c.negative_bins);
    EXPECT_EQ(h.edges[middle], 0.0);
    EXPECT_FALSE(std::signbit(h.edges[middle]));  // the middle edge is +0
    EXPECT_EQ(h.edges[middle + 1], c.width);
    for (std::size_t i = 0; i < middle; ++i) EXPECT_EQ(h.edges[i], -h.edges[2 * middle - i]) << i;
    std::vector<std::int64_t> counts(h.counts.size(), 0);
    for (const auto& [bin, n] : c.nonzero) counts[bin] = n;
    EXPECT_EQ(h.counts, counts);
  }
  // Ten distances 1 .. 10, then the same with signs: the bins above 0 are the unsigned run's.
  std::vector<float> ten, mixed;
  for (int i = 1; i <= 10; ++i) {
    ten.push_back(static_cast<float>(i));
    mixed.push_back(static_cast<float>(i % 2 ? -i : i));
  }
  const Histogram unsigned_bins = describe_distribution(column(ten)).histogram;
  const Histogram signed_bins = describe_distribution(signed_column(mixed)).histogram;
  ASSERT_EQ(signed_bins.negative_bins, 21);
  EXPECT_EQ(std::vector<double>(signed_bins.edges.begin() + 21, signed_bins.edges.end()), unsigned_bins.edges);
  EXPECT_EQ(signed_bins.mantissa, unsigned_bins.mantissa);
  EXPECT_EQ(signed_bins.exponent, unsigned_bins.exponent);
  EXPECT_EQ(signed_bins.width, unsigned_bins.width);
  EXPECT_EQ(unsigned_bins.width, unsigned_bins.edges[1]);
  EXPECT_EQ(unsigned_bins.negative_bins, 0);
}

// -0 and +0 at the rank: the one picked does not depend on the order the distances come in.
TEST(Distribution, ZerosOfBothSignsRankTheSameInAnyOrder) {
  const std::vector<std::vector<float>> orders = {{-0.0f, 0.0f}, {0.0f, -0.0f}};
  for (const std::vector<float>& order : orders) {
    const Distribution d = describe_distribution(signed_column(order));
    EXPECT_TRUE(std::signbit(d.percentiles[0]));   // p50: rank 1 of 2, -0 first
    EXPECT_FALSE(std::signbit(d.percentiles[1]));  // p90: rank 2, +0
  }
}

TEST(Distribution, NothingAcceptedGivesNoBins) {
  const PassResult c = column({}, 4);
  const Distribution d = describe_distribution(c);
  EXPECT_EQ(d.count, 0);
  EXPECT_TRUE(d.histogram.edges.empty());
  EXPECT_TRUE(d.histogram.counts.empty());
}

TEST(Distribution, EdgesAreTheNearestDoublesToTheDecimals) {
  EXPECT_EQ(histogram_edge(3, 1, -1), 0.3);  // not 3 * 0.1 = 0.30000000000000004
  EXPECT_EQ(histogram_edge(7, 5, -3), 0.035);
  EXPECT_EQ(histogram_edge(40, 2, 5), 8.0e6);
  EXPECT_EQ(histogram_edge(0, 5, -40), 0.0);
}

// The bucketed selection and the bin search against a sort and a linear scan
// of the edges, on distances with many ties, zeros and wide ranges.
TEST(Distribution, MatchesSortAndLinearScanOnRandomData) {
  for (std::uint64_t seed = 1; seed <= 60; ++seed) {
    testing::Rng rng(seed);
    const std::int32_t n = rng.pick({1, 2, 3, 17, 100, 1000, 20000});
    const double scale = rng.pick({1e-30, 1e-3, 1.0, 7.0, 1e6, 1e30});
    const bool ties = rng.chance(0.5);
    std::vector<float> accepted;
    for (std::int32_t i = 0; i < n; ++i) {
      const double u = ties ? static_cast<double>(rng.below(5)) / 4.0 : rng.uniform();
      accepted.push_back(static_cast<float>(u * u * scale));
    }
    const bool with_signs = rng.chance(0.5);
    if (with_signs) {
      for (float& v : accepted) {
        if (rng.chance(0.5)) v = -v;
      }
    }
    const PassResult c = with_signs ? signed_column(accepted, rng.below(10)) : column(accepted, rng.below(10));
    const Distribution d = describe_distribution(c);

    std::vector<float> sorted = accepted;
    std::sort(sorted.begin(), sorted.end(), [](float a, float b) {
      return a < b || (a == b && std::signbit(a) && !std::signbit(b));
    });
    for (std::size_t k = 0; k < percentile_levels.size(); ++k) {
      const std::int64_t rank = nearest_rank(percentile_levels[k], n);
      const float expected = sorted[static_cast<std::size_t>(rank - 1)];
      ASSERT_EQ(d.percentiles[k], expected) << "seed=" << seed << " k=" << k;
      ASSERT_EQ(std::signbit(d.percentiles[k]), std::signbit(expected)) << "seed=" << seed << " k=" << k;
    }
    const Histogram& h = d.histogram;
    const auto most_bins = static_cast<std::size_t>(with_signs ? 2 * histogram_max_bins : histogram_max_bins);
    ASSERT_GE(h.counts.size(), 1u) << "seed=" << seed;
    ASSERT_LE(h.counts.size(), most_bins) << "seed=" << seed;
    ASSERT_EQ(h.negative_bins, with_signs ? static_cast<std::int64_t>(h.counts.size() / 2) : 0) << "seed=" << seed;
    ASSERT_EQ(h.edges.size(), h.counts.size() + 1);
    std::vector<std::int64_t> counts(h.counts.size(), 0);
    for (const float v : accepted) {
      ASSERT_LE(h.edges[0], static_cast<double>(v)) << "seed=" << seed;
      std::size_t bin = 0;
      while (bin + 1 < h.edges.size() && h.edges[bin + 1] <= static_cast<double>(v)) ++bin;
      ASSERT_LT(bin, counts.size()) << "seed=" << seed << " v=" << v;
      ++counts[bin];
    }
    EXPECT_EQ(h.counts, counts) << "seed=" << seed;
    // The width is the smallest 1-2-5 step that fits: the next smaller one needs more bins.
    const std::int32_t smaller_m = h.mantissa == 1 ? 5 : h.mantissa == 2 ? 1 : 2;
    const std::int32_t smaller_e = h.mantissa == 1 ? h.exponent - 1 : h.exponent;
    const double largest = static_cast<double>(c.totals.distance_max);
    std::int64_t i = 0;
    while (histogram_edge(i + 1, smaller_m, smaller_e) <= largest) ++i;
    if (largest > 0.0) {
      EXPECT_GT(i + 1, histogram_max_bins) << "seed=" << seed;
    }
  }
}

}  // namespace
}  // namespace ptdelta
