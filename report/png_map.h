// png_map.h - the top view of the test cloud coloured by distance, and its PNG encoding
// Each pixel takes the largest accepted distance among the points drawn on it; outliers and rejected points are grey.
#pragma once

#include <cstdint>
#include <vector>

#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "report/ply_export.h"

namespace ptdelta {

// Grey level of a point that has no accepted distance (outlier, rejected).
inline constexpr std::int32_t excluded_grey = 160;

// The colour of a test point on the map and in the binary PLY: the export's
// green-yellow-red ramp over 0 .. the largest accepted distance for every
// accepted point (kept by the filter or not), grey for the others.
Rgb map_colour(PointOutcome outcome, float distance, float colour_scale);

inline constexpr std::int32_t map_target_width = 1000;  // pixels along the longer of the two axes

struct TopView {
  std::int32_t width = 0, height = 0;  // 0 x 0 when no test point has finite coordinates
  std::vector<std::uint8_t> rgb;       // row by row from the top, 3 bytes a pixel
  std::int32_t across_axis = 0;        // 0, 1 or 2 for x, y, z: the axis from left to right
  std::int32_t up_axis = 1;            // the axis from bottom to top
  double pixel_size = 1.0;             // in the clouds' units
  double across_min = 0.0, up_min = 0.0;
  std::int32_t dot_radius = 0;         // each point covers (2r + 1)^2 pixels
};

// Background of a pixel no point falls on.
inline constexpr std::uint8_t map_background = 255;

// The view over the two axes along which the test cloud's finite points spread
// widest (ties to the earlier axis), the earlier axis across and the later one
// up. One pixel is the longer extent / target_width (so that side has at most
// target_width pixels). Each point is a square dot of radius
// floor(0.75 * sqrt(width * height / points)) pixels, at most 16, so sparse
// clouds still show as surfaces; a pixel takes the largest accepted distance
// among the dots on it, grey when it has only outliers or rejected points.
// Throws std::bad_alloc when the image cannot be had.
TopView render_top_view(const PointColumns& test, const PassResult& pass, float distance_max,
                        std::int32_t target_width = map_target_width);

// The image as an 8-bit RGB PNG (fast zlib level, no filter). False when libpng fails.
bool encode_png(const TopView& view, std::vector<std::uint8_t>& png);

}  // namespace ptdelta
