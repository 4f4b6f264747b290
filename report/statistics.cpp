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

namespace {

// A signed run: stage 1 over the accepted points, the filter keeping both
// tails within mean -+ std, stage 2 over what is left; the entries without a
// distance are NaN, so every choice goes by the outcome.
Summary summarise_signed(const PassResult& pass) {
  Summary s;
  s.is_signed = true;
  s.totals = pass.totals;
  s.traits = &measuring_traits(pass.method, pass.settings);
  const auto accepted = [&pass](std::size_t i) { return pass.outcome[i] == PointOutcome::accepted; };
  s.stage1 = stats_over(pass.cd, accepted, pass.totals.accepted_count, pass.totals.distance_sum);
  s.threshold = mean_plus_std(s.stage1.mean, s.stage1.std_dev);
  s.low_threshold = mean_minus_std(s.stage1.mean, s.stage1.std_dev);
  s.kept.assign(pass.cd.size(), false);
  std::int32_t count = 0;
  float sum = 0.0f, lod_sum = 0.0f;
  for (std::size_t i = 0; i < pass.cd.size(); ++i) {
    if (!accepted(i)) continue;
    if (!pass.surface.empty()) lod_sum = add_rounded(lod_sum, static_cast<double>(pass.surface[i].lod95));
    const float d = pass.cd[i];
    if (d < s.low_threshold || d > s.threshold) continue;  // a distance equal to either bound stays
    s.kept[i] = true;
    ++count;
    sum = add_rounded(sum, static_cast<double>(d));
  }
  s.stage2 = compute_kept_stats(pass.cd, s.kept, count, sum);
  s.reports_significance = pass.method == Method::m3c2;
  s.mean_lod95 = rounded_quotient(lod_sum, rounded_count(pass.totals.accepted_count));
  if (s.reports_significance)
    s.significant_percent = percent_of(pass.totals.significant_count, pass.totals.accepted_count);
  return s;
}

}  // namespace

Summary summarise(const PassResult& pass) {
  if (pass.is_signed) return summarise_signed(pass);
  Summary s;
  if (!pass.surface.empty()) s.traits = &measuring_traits(pass.method, pass.settings);
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

std::string surface_stage1_report(const MethodTraits& traits, const Summary& summary) {
  const PassTotals& totals = summary.totals;
  std::string text = format_text("\n\nSTATISTICS----\nChecked points:\t%d\n", totals.accepted_count);
  if (traits.has_outliers) text += format_text("> than maxdist:\t%d\n", totals.outlier_count);
  if (traits.rejected_label != nullptr) text += format_text("%s\t%d\n", traits.rejected_label, totals.rejected_count);
  if (traits.too_few_label != nullptr) text += format_text("%s\t%d\n", traits.too_few_label, totals.too_few_count);
  if (summary.reports_significance) {
    text += format_text("Significant changes:\t%d\t%f%%\n", totals.significant_count,
                        static_cast<double>(summary.significant_percent));
    text += format_text("Mean LoD95:\t%f\n", static_cast<double>(summary.mean_lod95));
  }
  const DistanceStats& stage1 = summary.stage1;
  return text + format_text("Max dist:\t%f\nMean Dif:\t%f\nStd Dev:\t%f\nMAD:\t%f\nRMS:\t%f Completed\n",
                            static_cast<double>(totals.distance_max), static_cast<double>(stage1.mean),
                            static_cast<double>(stage1.std_dev), static_cast<double>(stage1.mad),
                            static_cast<double>(stage1.rms));
}

std::string statistics_report(Method method, const Summary& summary) {
  const std::string stage1 = summary.traits != nullptr ? surface_stage1_report(*summary.traits, summary)
                                                       : stage1_report(method, summary.totals, summary.stage1);
  const std::string notice =
      summary.is_signed ? "\nBased on average distance, find the points within\nmean-std and mean+std and recalculate\n"
                        : filter_notice();
  return stage1 + notice + stage2_report(summary.stage2);
}

std::string statistics_log_name(const std::string& export_name) { return export_name + ".log"; }

}  // namespace ptdelta
