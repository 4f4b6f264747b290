// statistics.h - the two stages of statistics, the mean+std filter, and the statistics log
// Stage 1 over the accepted distances, the filter above mean+std, stage 2 over what is left, and their texts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "distance/comparison_pass.h"

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
  std::int32_t count = 0;   // entries kept
  float sum = 0.0f;         // their sum, rounded after every addition in index order
  std::vector<bool> kept;   // per entry: accepted and not above the threshold
};

// Keeps every entry other than excluded_distance that is not strictly above
// `threshold`; `count` is the number of such entries before the filter.
// `cd` is not changed.
FilterResult filter_above_mean_std(const std::vector<float>& cd, float threshold, std::int32_t count);

// compute_distance_stats over the entries `kept` marks.
DistanceStats compute_kept_stats(const std::vector<float>& cd, const std::vector<bool>& kept, std::int32_t count,
                                 float sum);

// Everything the run reports about the distances, computed serially in test order.
struct Summary {
  PassTotals totals;
  DistanceStats stage1;     // over the accepted distances
  float threshold = 0.0f;   // mean + std of stage 1
  std::vector<bool> kept;   // per test point: accepted and not above the threshold
  DistanceStats stage2;     // over the kept distances
  // A signed run: the filter keeps low <= d <= threshold (both tails), and
  // the traits say which lines stage 1 shows.
  bool is_signed = false;
  float low_threshold = 0.0f;       // mean - std of stage 1
  const MethodTraits* traits = nullptr;  // null: those of the method
  bool reports_significance = false;     // M3C2
  float mean_lod95 = 0.0f;               // over the accepted points, rounded after every addition
  float significant_percent = 0.0f;      // M3C2: significant changes per cent of the accepted points
};

// Stage 1, the filter and stage 2 of a pass; the pass is not changed.
// Throws std::bad_alloc when the mask cannot be had.
Summary summarise(const PassResult& pass);

// The texts, exactly as printed and logged. For a method that rejects points
// stage 1 also counts them on the method's own line, 0 included.
std::string stage1_report(Method method, const PassTotals& totals, const DistanceStats& stage1);
std::string filter_notice();
std::string stage2_report(const DistanceStats& stage2);
// Stage 1, the filter notice and stage 2: what the console shows and the log holds.
std::string statistics_report(Method method, const Summary& summary);

// Stage 1 of a signed or local-surface run: the traits' lines (no "> than
// maxdist:" for M3C2), Max dist the largest |d|, and M3C2's significant
// changes and mean LoD95.
std::string surface_stage1_report(const MethodTraits& traits, const Summary& summary);

// The log is named after the export with ".log" appended (not substituted).
std::string statistics_log_name(const std::string& export_name);

}  // namespace ptdelta
