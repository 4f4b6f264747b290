#include "report/statistics.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ptdelta {
namespace {

// What the comparison pass gathers from a Cd column.
PassTotals totals_of(const std::vector<float>& cd, std::int32_t outliers) {
  PassTotals t;
  t.outlier_count = outliers;
  for (const float d : cd) {
    if (d == excluded_distance) continue;
    ++t.accepted_count;
    t.distance_sum = static_cast<float>(static_cast<double>(t.distance_sum) + static_cast<double>(d));
    t.distance_max = std::max(t.distance_max, d);
  }
  return t;
}

TEST(Statistics, WorkedExampleToThePrintedDigit) {
  std::vector<float> cd = {1, 2, 3, -1};
  const PassTotals totals = totals_of(cd, 1);
  const DistanceStats s1 = compute_distance_stats(cd, totals.accepted_count, totals.distance_sum);
  EXPECT_EQ(stage1_report(Method::nearest_point, totals, s1),
            "\n\nSTATISTICS----\nChecked points:\t3\n> than maxdist:\t1\nMax dist:\t3.000000\nMean Dif:\t2.000000\n"
            "Std Dev:\t0.816497\nMAD:\t2.000000\nRMS:\t2.160247 Completed\n");
  const FilterResult kept = filter_above_mean_std(cd, static_cast<float>(2.0 + static_cast<double>(s1.std_dev)), 3);
  EXPECT_EQ(kept.count, 2);
  EXPECT_EQ(kept.sum, 3.0f);
  EXPECT_EQ(kept.kept, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(stage2_report(compute_kept_stats(cd, kept.kept, kept.count, kept.sum)),
            "STATISTICS----\nChecked points:\t2\nMean Dif:\t1.500000\nStd Dev:\t0.500000\nMAD:\t1.500000\n"
            "RMS:\t1.581139 Completed\n");
}

TEST(Statistics, EqualAndSingleDistancesAreNotFiltered) {
  for (const std::vector<float>& input : {std::vector<float>{2, 2, 2, 2}, std::vector<float>{2.5f}}) {
    std::vector<float> cd = input;
    const PassTotals t = totals_of(cd, 0);
    const DistanceStats s1 = compute_distance_stats(cd, t.accepted_count, t.distance_sum);
    EXPECT_EQ(s1.std_dev, 0.0f);
    const FilterResult kept =
        filter_above_mean_std(cd, static_cast<float>(static_cast<double>(s1.mean) + static_cast<double>(s1.std_dev)),
                              t.accepted_count);
    EXPECT_EQ(kept.kept, std::vector<bool>(input.size(), true));
    const DistanceStats s2 = compute_kept_stats(cd, kept.kept, kept.count, kept.sum);
    EXPECT_EQ(s2.point_count, s1.point_count);
    EXPECT_EQ(s2.mean, s1.mean);
    EXPECT_EQ(s2.mad, s1.mad);
    EXPECT_EQ(s2.rms, s1.rms);
  }
}

TEST(Statistics, DistanceEqualToTheThresholdIsKept) {
  std::vector<float> cd = {1.0f, 2.0f, 2.0000002f, -1.0f};
  const FilterResult kept = filter_above_mean_std(cd, 2.0f, 3);
  EXPECT_EQ(kept.kept, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(kept.count, 2);
  EXPECT_EQ(kept.sum, 3.0f);
}

TEST(Statistics, NoAcceptedDistanceGivesNotANumberFigures) {
  std::vector<float> cd = {-1.0f, -1.0f};
  const PassTotals t = totals_of(cd, 2);
  const DistanceStats s1 = compute_distance_stats(cd, 0, 0.0f);
  EXPECT_TRUE(std::isnan(s1.mean) && std::isnan(s1.std_dev) && std::isnan(s1.mad) && std::isnan(s1.rms));
  const std::string report = stage1_report(Method::nearest_point, t, s1);
  EXPECT_NE(report.find("Checked points:\t0\n> than maxdist:\t2\nMax dist:\t-10000.000000\nMean Dif:\t"),
            std::string::npos);
  EXPECT_NE(report.find("nan"), std::string::npos);
  const FilterResult kept = filter_above_mean_std(cd, s1.mean + s1.std_dev, 0);
  EXPECT_EQ(kept.count, 0);
  EXPECT_EQ(kept.sum, 0.0f);
}

TEST(Statistics, LogIsNamedByAppending) {
  EXPECT_EQ(statistics_log_name("scan.ply"), "scan.ply.log");
  EXPECT_EQ(statistics_log_name("result"), "result.log");
  const std::string long_name(5000, 'a');
  EXPECT_EQ(statistics_log_name(long_name).size(), 5004u);
}

}  // namespace
}  // namespace ptdelta

namespace ptdelta {
namespace {

TEST(SignedStatistics, TheFilterKeepsBothTailsWithinMeanAndStdAndMaxIsTheLargestMagnitude) {
  PassResult pass;
  pass.is_signed = true;
  pass.method = Method::nearest_point;
  pass.settings.signed_distances = true;
  // -1 is a distance here like any other; the NaN entries are points without one.
  const float none = no_signed_distance;
  pass.cd = {-1.0f, 1.0f, 3.0f, -3.0f, none, 0.0f, none};
  pass.outcome = {PointOutcome::accepted, PointOutcome::accepted, PointOutcome::accepted, PointOutcome::accepted,
                  PointOutcome::rejected, PointOutcome::accepted, PointOutcome::outlier};
  pass.totals.accepted_count = 5;
  pass.totals.rejected_count = 1;
  pass.totals.outlier_count = 1;
  pass.totals.distance_max = 3.0f;
  pass.totals.distance_sum = 0.0f;
  const Summary s = summarise(pass);
  EXPECT_EQ(s.stage1.mean, 0.0f);
  EXPECT_EQ(s.stage1.mad, 8.0f / 5.0f);
  EXPECT_EQ(s.stage1.std_dev, std::sqrt(4.0f));  // sqrt(20 / 5)
  EXPECT_EQ(s.low_threshold, -2.0f);
  EXPECT_EQ(s.threshold, 2.0f);
  EXPECT_EQ(s.kept, (std::vector<bool>{true, true, false, false, false, true, false}));
  EXPECT_EQ(s.stage2.point_count, 3);
  const std::string text = statistics_report(pass.method, s);
  EXPECT_NE(text.find("Checked points:\t5\n> than maxdist:\t1\nRejected (no normal):\t1\nMax dist:\t3.000000\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace ptdelta
