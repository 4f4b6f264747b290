#include "report/statistics.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace ptdelta {

namespace {

// Sum rounded to float after each addition.
float add_rounded(float sum, double term) { return static_cast<float>(static_cast<double>(sum) + term); }

// sqrt of (sum / n): the quotient rounded to float before the root, the root rounded again.
float root_of_mean(float sum, float n) {
  const float quotient = static_cast<float>(static_cast<double>(sum) / static_cast<double>(n));
  return static_cast<float>(std::sqrt(static_cast<double>(quotient)));
}

__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(size), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

DistanceStats compute_distance_stats(const std::vector<float>& cd, std::int32_t count, float sum) {
  DistanceStats s;
  const auto n = static_cast<float>(count);  // the count is rounded to float before it divides
  s.mean = static_cast<float>(static_cast<double>(sum) / static_cast<double>(n));
  float squared_deviations = 0.0f, absolute_values = 0.0f, squares = 0.0f;
  for (const float d : cd) {
    if (d == excluded_distance) continue;
    const auto deviation = static_cast<float>(static_cast<double>(s.mean) - static_cast<double>(d));
    squared_deviations = add_rounded(squared_deviations, static_cast<double>(deviation) * static_cast<double>(deviation));
    absolute_values = add_rounded(absolute_values, static_cast<double>(std::fabs(d)));
    squares = add_rounded(squares, static_cast<double>(d) * static_cast<double>(d));
  }
  s.std_dev = root_of_mean(squared_deviations, n);
  s.mad = static_cast<float>(static_cast<double>(absolute_values) / static_cast<double>(n));
  s.rms = root_of_mean(squares, n);
  s.point_count = count;
  return s;
}

FilterResult filter_above_mean_std(std::vector<float>& cd, float threshold, std::int32_t count) {
  FilterResult r{count, 0.0f};
  for (float& d : cd) {
    if (d == excluded_distance) continue;
    if (d > threshold) {  // strict: a distance equal to the threshold stays
      d = excluded_distance;
      --r.count;
    } else {
      r.sum = add_rounded(r.sum, static_cast<double>(d));
    }
  }
  return r;
}

std::string stage1_report(const PassTotals& totals, const DistanceStats& stage1) {
  return format_text(
      "\n\nSTATISTICS----\nChecked points:\t%d\n> than maxdist:\t%d\nMax dist:\t%f\nMean Dif:\t%f\nStd Dev:\t%f\n"
      "MAD:\t%f\nRMS:\t%f Completed\n",
      totals.accepted_count, totals.outlier_count, static_cast<double>(totals.distance_max),
      static_cast<double>(stage1.mean), static_cast<double>(stage1.std_dev), static_cast<double>(stage1.mad),
      static_cast<double>(stage1.rms));
}

std::string filter_notice() { return "\nBased on average distance, find the points within\nmean+std and recalculate\n"; }

std::string stage2_report(const DistanceStats& stage2) {
  return format_text("STATISTICS----\nChecked points:\t%d\nMean Dif:\t%f\nStd Dev:\t%f\nMAD:\t%f\nRMS:\t%f Completed\n",
                     stage2.point_count, static_cast<double>(stage2.mean), static_cast<double>(stage2.std_dev),
                     static_cast<double>(stage2.mad), static_cast<double>(stage2.rms));
}

std::string statistics_log_name(const std::string& export_name) { return export_name + ".log"; }

Failure open_statistics_log(const std::string& export_name, OutputFile& log) {
  return log.open(statistics_log_name(export_name));
}

Failure run_statistics(std::vector<float>& cd, const PassTotals& totals, const std::string& export_name,
                       std::string& failed_name) {
  OutputFile log;
  if (const Failure f = open_statistics_log(export_name, log); f != Failure::none) {
    failed_name = log.name();
    return f;
  }
  const DistanceStats stage1 = compute_distance_stats(cd, totals.accepted_count, totals.distance_sum);
  const std::string report1 = stage1_report(totals, stage1);
  std::fputs(report1.c_str(), stderr);
  log.write(report1);

  const auto threshold = static_cast<float>(static_cast<double>(stage1.mean) + static_cast<double>(stage1.std_dev));
  const FilterResult kept = filter_above_mean_std(cd, threshold, totals.accepted_count);
  const DistanceStats stage2 = compute_distance_stats(cd, kept.count, kept.sum);
  const std::string notice_and_report2 = filter_notice() + stage2_report(stage2);
  std::fputs(notice_and_report2.c_str(), stderr);
  log.write(notice_and_report2);

  if (const Failure f = log.finish(); f != Failure::none) {
    failed_name = log.name();
    return f;
  }
  return Failure::none;
}

}  // namespace ptdelta
