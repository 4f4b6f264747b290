// statistics.h - the two stages of statistics, the mean+std filter, and the statistics log
// Stage 1 over the accepted distances, filter above mean+std, stage 2 over what is left; console and log get the same text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "distance/comparison_pass.h"
#include "input/failure.h"
#include "report/output_file.h"

namespace ptdelta {

struct DistanceStats {
  std::int32_t point_count = 0;
  float mean = 0.0f;
  float std_dev = 0.0f;  // population: divided by n
  float mad = 0.0f;      // mean of the absolute distances
  float rms = 0.0f;
};

// One stage over the entries of `cd` other than excluded_distance, dividing by
// `count` (as float) and taking the mean from `sum`. Nothing guards a count of 0:
// the figures are then not-a-number.
DistanceStats compute_distance_stats(const std::vector<float>& cd, std::int32_t count, float sum);

struct FilterResult {
  std::int32_t count = 0;
  float sum = 0.0f;
};

// Sets every entry strictly above `threshold` to excluded_distance; returns the
// count left (from `count`) and the sum of the entries kept, in index order.
FilterResult filter_above_mean_std(std::vector<float>& cd, float threshold, std::int32_t count);

// The three texts, exactly as printed and logged.
std::string stage1_report(const PassTotals& totals, const DistanceStats& stage1);
std::string filter_notice();
std::string stage2_report(const DistanceStats& stage2);

// The log is named after the export with ".log" appended (not substituted).
std::string statistics_log_name(const std::string& export_name);
Failure open_statistics_log(const std::string& export_name, OutputFile& log);

// Opens the log, prints and logs stage 1, filters `cd` in place, prints and logs
// the notice and stage 2, closes the log. On failure `failed_name` is the log's name.
Failure run_statistics(std::vector<float>& cd, const PassTotals& totals, const std::string& export_name,
                       std::string& failed_name);

}  // namespace ptdelta
