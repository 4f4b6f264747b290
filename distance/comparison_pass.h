// comparison_pass.h - one distance per test point, outliers marked, totals gathered
// Chooses method A or B once per run and fills Cd in test order, with the processing banner and progress.
#pragma once

#include <cstdint>
#include <vector>

#include "input/failure.h"
#include "input/point_columns.h"

namespace ptdelta {

// Cd value of a point that takes no part in the statistics; compared by exact equality.
inline constexpr float excluded_distance = -1.0f;

struct PassTotals {
  std::int32_t accepted_count = 0;
  std::int32_t outlier_count = 0;
  float distance_sum = 0.0f;       // rounded to float after every addition, in test order
  float distance_max = -10000.0f;  // stays -10000 when nothing is accepted
};

// How the reference cloud is searched; both give the same bits.
enum class SearchMode { full_scan, spatial_index };

// Method A (nearest point) when the reference cloud has at least as many points
// as the test cloud, otherwise method B (plane through three kept points).
// A: accepted when d <= maxdist; no point in the box (d infinite) is an outlier.
// B: accepted when d < maxdist; a rejected point counts nowhere.
// Failure::cd_out_of_memory when Cd cannot be had, Failure::out_of_memory when
// the index cannot; otherwise Cd holds one entry per test point.
Failure comparison_pass(const PointColumns& ref, const PointColumns& test, float maxdist, float box_half_width,
                        SearchMode mode, std::vector<float>& cd, PassTotals& totals);

}  // namespace ptdelta
