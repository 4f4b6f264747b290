#include "report/statistics.h"

#include <cmath>
#include <cstdio>

#include "core/exact.h"
#include "report/fixed_format.h"

namespace ptdelta {

namespace {

// One stage over the entries for which include(index) holds.
template <class Include>
DistanceStats stats_over(const std::vector<float>& cd, Include include, std::int32_t count, float sum) {
  DistanceStats s;
  const float n = rounded_count(count);  // the count is rounded to float before it divides
  s.mean = rounded_quotient(sum, n);
  float squared_deviations = 0.0f, absolute_values = 0.0f, squares = 0.0f;
  for (std::size_t i = 0; i < cd.size(); ++i) {
    if (!include(i)) continue;
    const float d = cd[i];
    squared_deviations = add_rounded(squared_deviations, squared_deviation(s.mean, d));
    absolute_values = add_rounded(absolute_values, absolute_term(d));
    squares = add_rounded(squares, square_term(d));
  }
  s.std_dev = root_of_mean(squared_deviations, n);
  s.mad = rounded_quotient(absolute_values, n);
  s.rms = root_of_mean(squares, n);
  s.point_count = count;
  return s;
}

}  // namespace

DistanceStats compute_distance_stats(const std::vector<float>& cd, std::int32_t count, float sum) {
  return stats_over(cd, [&cd](std::size_t i) { return cd[i] != excluded_distance; }, count, sum);
}

DistanceStats compute_kept_stats(const std::vector<float>& cd, const std::vector<bool>& kept, std::int32_t count,
                                 float sum) {
  return stats_over(cd, [&kept](std::size_t i) { return static_cast<bool>(kept[i]); }, count, sum);
}

FilterResult filter_above_mean_std(const std::vector<float>& cd, float threshold, std::int32_t count) {
  FilterResult r{count, 0.0f, std::vector<bool>(cd.size(), false)};
  for (std::size_t i = 0; i < cd.size(); ++i) {
    const float d = cd[i];
    if (d == excluded_distance) continue;
    if (d > threshold) {  // strict: a distance equal to the threshold stays
      --r.count;
    } else {
      r.kept[i] = true;
      r.sum = add_rounded(r.sum, static_cast<double>(d));
    }
  }
  return r;
}

Summary summarise(const PassResult& pass) {
  Summary s;
  s.totals = pass.totals;
  s.stage1 = compute_distance_stats(pass.cd, pass.totals.accepted_count, pass.totals.distance_sum);
  s.threshold = mean_plus_std(s.stage1.mean, s.stage1.std_dev);
  FilterResult filtered = filter_above_mean_std(pass.cd, s.threshold, pass.totals.accepted_count);
  s.stage2 = compute_kept_stats(pass.cd, filtered.kept, filtered.count, filtered.sum);
  s.kept = std::move(filtered.kept);
  return s;
}

std::string stage1_report(Method method, const PassTotals& totals, const DistanceStats& stage1) {
  std::string text = format_text("\n\nSTATISTICS----\nChecked points:\t%d\n> than maxdist:\t%d\n",
                                 totals.accepted_count, totals.outlier_count);
  if (const char* label = method_traits(method).rejected_label; label != nullptr)
    text += format_text("%s\t%d\n", label, totals.rejected_count);
  return text + format_text("Max dist:\t%f\nMean Dif:\t%f\nStd Dev:\t%f\nMAD:\t%f\nRMS:\t%f Completed\n",
                            static_cast<double>(totals.distance_max), static_cast<double>(stage1.mean),
                            static_cast<double>(stage1.std_dev), static_cast<double>(stage1.mad),
                            static_cast<double>(stage1.rms));
}

std::string filter_notice() { return "\nBased on average distance, find the points within\nmean+std and recalculate\n"; }

std::string stage2_report(const DistanceStats& stage2) {
  return format_text("STATISTICS----\nChecked points:\t%d\nMean Dif:\t%f\nStd Dev:\t%f\nMAD:\t%f\nRMS:\t%f Completed\n",
                     stage2.point_count, static_cast<double>(stage2.mean), static_cast<double>(stage2.std_dev),
                     static_cast<double>(stage2.mad), static_cast<double>(stage2.rms));
}

std::string statistics_report(Method method, const Summary& summary) {
  return stage1_report(method, summary.totals, summary.stage1) + filter_notice() + stage2_report(summary.stage2);
}

std::string statistics_log_name(const std::string& export_name) { return export_name + ".log"; }

}  // namespace ptdelta
