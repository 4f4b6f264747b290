#include "distance/comparison_pass.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "distance/query_order.h"
#include "driver/console.h"
#include "support/clouds.h"
#include "support/full_scan.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::make_cloud;

struct Pass {
  std::vector<float> cd;
  PassTotals totals;
  std::string console;  // the processing counters
};

// Runs the pass both ways, with the console's counters, and checks the searches
// agree before returning.
Pass run_pass(const PointColumns& ref, const PointColumns& test, float maxdist) {
  Pass result[2];
  PassResult pass[2];
  for (int k = 0; k < 2; ++k) {
    ProcessingCounter counter;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(k == 0 ? testing::full_scan_pass(ref, test, maxdist, counter, pass[k])
                     : comparison_pass(ref, test, maxdist, 2, counter, pass[k]),
              Failure::none);
    result[k].console = ::testing::internal::GetCapturedStderr();
    result[k].cd = pass[k].cd;
    result[k].totals = pass[k].totals;
  }
  const Pass& slow = result[0];
  const Pass& fast = result[1];
  EXPECT_EQ(testing::bits_of(slow.cd), testing::bits_of(fast.cd));
  EXPECT_EQ(pass[0].outcome, pass[1].outcome);
  EXPECT_EQ(slow.console, fast.console);
  EXPECT_EQ(slow.totals.accepted_count, fast.totals.accepted_count);
  EXPECT_EQ(slow.totals.outlier_count, fast.totals.outlier_count);
  EXPECT_EQ(slow.totals.rejected_count, fast.totals.rejected_count);
  EXPECT_EQ(slow.totals.distance_sum, fast.totals.distance_sum);
  EXPECT_EQ(slow.totals.distance_max, fast.totals.distance_max);
  // A caller that gives the reference cloud up gets the same result; under
  // method A the cloud is let go, under method B it is still needed and kept.
  PointColumns given = ref;
  PassResult consumed;
  EXPECT_EQ(comparison_pass(std::move(given), test, maxdist, 3, no_progress(), consumed), Failure::none);
  EXPECT_EQ(testing::bits_of(consumed.cd), testing::bits_of(fast.cd));
  EXPECT_EQ(consumed.outcome, pass[1].outcome);
  EXPECT_EQ(given.count, consumed.method == Method::nearest_point ? 0 : ref.count);
  EXPECT_EQ(given.x.size(), static_cast<std::size_t>(given.count));
  return slow;
}

TEST(ComparisonPass, MethodAWorkedExample) {
  const PointColumns ref = make_cloud({{3.5f, 0, 0}, {3, 0, 0}, {0, 2, 0}, {0, 0, -2}});
  const PointColumns test = make_cloud({{0, 0, 0}, {10, 10, 10}});
  const Pass p = run_pass(ref, test, 2.0f);
  EXPECT_EQ(p.cd, (std::vector<float>{2.0f, -1.0f}));
  EXPECT_EQ(p.totals.accepted_count, 1);
  EXPECT_EQ(p.totals.outlier_count, 1);
  EXPECT_EQ(p.totals.distance_sum, 2.0f);
  EXPECT_EQ(p.totals.distance_max, 2.0f);
  EXPECT_EQ(p.console, "");
}

TEST(ComparisonPass, EqualityWithMaxdistDiffersBetweenMethods) {
  // Method A accepts d == maxdist (equal counts take method A).
  const Pass a = run_pass(make_cloud({{0, 0, 2}}), make_cloud({{0, 0, 0}}), 2.0f);
  EXPECT_EQ(a.cd, (std::vector<float>{2.0f}));
  // Method B makes a plane distance of exactly maxdist an outlier: three
  // reference points on z = 0 and four test points 2 above it.
  const PointColumns plane = make_cloud({{3, 0, 0}, {0, 2, 0}, {1, 1, 0}});
  const PointColumns test = make_cloud({{0.5f, 0.5f, 2}, {0.5f, 0.5f, 1}, {0.5f, 0.5f, 2}, {0.5f, 0.5f, 1}});
  const Pass b = run_pass(plane, test, 2.0f);
  EXPECT_EQ(b.cd, (std::vector<float>{-1.0f, 1.0f, -1.0f, 1.0f}));
  EXPECT_EQ(b.totals.accepted_count, 2);
  EXPECT_EQ(b.totals.outlier_count, 2);
  EXPECT_EQ(b.totals.distance_sum, 2.0f);
}

TEST(ComparisonPass, RejectedPointsAreCountedApart) {
  // Empty reference: method B, every point rejected, neither accepted nor an outlier.
  const Pass p = run_pass(make_cloud({}), make_cloud({{0, 0, 0}, {1, 1, 1}}), 5.0f);
  EXPECT_EQ(p.cd, (std::vector<float>{-1.0f, -1.0f}));
  EXPECT_EQ(p.totals.accepted_count, 0);
  EXPECT_EQ(p.totals.outlier_count, 0);
  EXPECT_EQ(p.totals.rejected_count, 2);
  EXPECT_EQ(p.totals.distance_max, -10000.0f);
}

TEST(ComparisonPass, EmptyTestCloudKeepsStartTotals) {
  const Pass p = run_pass(make_cloud({{1, 2, 3}}), make_cloud({}), 5.0f);
  EXPECT_TRUE(p.cd.empty());
  EXPECT_EQ(p.console, "");
  EXPECT_EQ(p.totals.accepted_count, 0);
  EXPECT_EQ(p.totals.distance_sum, 0.0f);
  EXPECT_EQ(p.totals.distance_max, -10000.0f);
}

TEST(ComparisonPass, NoNeighbourIsAnOutlierWhateverMaxdist) {
  const PointColumns ref = make_cloud({{0, 0, 0}, {1, 0, 0}});
  const PointColumns test = make_cloud({{0, 0, 0.5f}, {50000, 0, 0}});
  for (const float maxdist : {5.0f, 10000.0f, 1e30f}) {
    const Pass p = run_pass(ref, test, maxdist);
    EXPECT_EQ(p.cd[0], 0.5f);
    // 50000 away: inside the box only when maxdist is huge, and then a real distance.
    EXPECT_EQ(p.cd[1], maxdist > 40000.0f ? 49999.0f : -1.0f) << maxdist;
  }
  // maxdist 0: nothing is inside a box of half-width 0.
  const Pass zero = run_pass(ref, test, 0.0f);
  EXPECT_EQ(zero.cd, (std::vector<float>{-1.0f, -1.0f}));
  EXPECT_EQ(zero.totals.outlier_count, 2);
  // A negative maxdist accepts nothing.
  const Pass negative = run_pass(ref, test, -5.0f);
  EXPECT_EQ(negative.totals.accepted_count, 0);
  EXPECT_EQ(negative.totals.outlier_count, 2);
}

TEST(ComparisonPass, ProgressShowsEveryFiveHundredTestPoints) {
  const PointColumns ref = make_cloud({{0, 0, 0}});
  for (const auto& [count, progress] : std::vector<std::pair<int, std::string>>{
           {501, ""}, {502, "\b\b\b\b\b\b\b\b     501"}, {1200, "\b\b\b\b\b\b\b\b     501\b\b\b\b\b\b\b\b    1001"}}) {
    PointColumns test = make_cloud({});
    for (int i = 0; i < count; ++i) ASSERT_TRUE(test.append(0.0f, 0.0f, 0.0f));
    EXPECT_EQ(run_pass(ref, test, 5.0f).console, progress) << count;
  }
}

TEST(ComparisonPass, AThirdOfBothCloudsAtOneSpotGivesTheFullScanResults) {
  // Missing returns written as 0 0 0, spread through both clouds; method A
  // (the larger reference) and method B (the smaller one). run_pass compares.
  for (const auto& [n_ref, n_test] : {std::pair{2000, 1500}, std::pair{600, 1500}}) {
    testing::Rng rng(static_cast<std::uint64_t>(n_ref));
    PointColumns ref = testing::surface_cloud(rng, n_ref, 20.0, 0.1);
    PointColumns test = testing::surface_cloud(rng, n_test, 20.0, 0.1);
    for (PointColumns* cloud : {&ref, &test})
      for (std::size_t i = 0; i < cloud->x.size(); ++i)
        if (rng.chance(1.0 / 3.0)) cloud->x[i] = cloud->y[i] = cloud->z[i] = 0.0f;
    const Pass p = run_pass(ref, test, 5.0f);
    EXPECT_GT(p.totals.accepted_count, n_test / 3) << n_ref;
  }
}

// A cloud in scan lines is measured as it stands, the same points shuffled in
// spatial order: both give every point the same result, under both methods.
TEST(ComparisonPass, ScanLineAndShuffledTestCloudsGiveTheSameResults) {
  PointColumns lines;
  for (int r = 0; r < 300; ++r)  // more points than one chunk of the order's passes
    for (int c = 0; c < 300; ++c)
      ASSERT_TRUE(lines.append(static_cast<float>(c) * 0.25f, static_cast<float>(r) * 0.25f,
                               static_cast<float>((r * 7 + c * 3) % 11) * 0.05f));
  testing::Rng rng(5);
  std::vector<std::int32_t> from(static_cast<std::size_t>(lines.count));
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<std::int32_t>(i);
  for (std::size_t i = from.size(); i > 1; --i)
    std::swap(from[i - 1], from[static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(i)))]);
  PointColumns shuffled;
  for (const std::int32_t i : from) {
    const auto k = static_cast<std::size_t>(i);
    ASSERT_TRUE(shuffled.append(lines.x[k], lines.y[k], lines.z[k]));
  }
  EXPECT_TRUE(spatial_query_order(lines).empty());
  EXPECT_EQ(spatial_query_order(shuffled).size(), from.size());
  EXPECT_EQ(spatial_query_order(shuffled, 3), spatial_query_order(shuffled, 1));
  for (const std::int32_t ref_count : {100000, 5000}) {  // method A, then method B
    const PointColumns ref = testing::surface_cloud(rng, ref_count, 75.0, 0.2);
    PassResult a, b;
    ASSERT_EQ(comparison_pass(ref, lines, 1.0f, 2, no_progress(), a), Failure::none);
    ASSERT_EQ(comparison_pass(ref, shuffled, 1.0f, 3, no_progress(), b), Failure::none);
    for (std::size_t i = 0; i < from.size(); ++i) {
      const auto k = static_cast<std::size_t>(from[i]);
      ASSERT_EQ(testing::bits_of(std::vector<float>{b.cd[i]}), testing::bits_of(std::vector<float>{a.cd[k]})) << i;
      ASSERT_EQ(b.outcome[i], a.outcome[k]) << i;
    }
  }
}

}  // namespace
}  // namespace ptdelta
