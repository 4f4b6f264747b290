// png_map.h - the top view of the test cloud coloured by distance, and its PNG encoding
// A pixel shows the largest accepted distance (signed runs: the largest |d|) among the points drawn on it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/cloud_extent.h"
#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "report/colour_ramp.h"

namespace ptdelta {

// The map's colours: the export's green-yellow-red ramp in 129 steps (ramp
// positions 0, 4, ..., 512), after a background and a grey. An index orders
// like what it shows: background < grey < any distance, a larger distance
// never a smaller index, so the largest of several is simply the largest index.
inline constexpr std::uint8_t map_background_index = 0;  // white: no point here
inline constexpr std::uint8_t map_excluded_index = 1;    // grey: outliers and rejected points only
inline constexpr std::int32_t map_ramp_steps = 129;
inline constexpr std::int32_t excluded_grey = 160;
using MapPalette = std::array<Rgb, 2 + map_ramp_steps>;
const MapPalette& map_palette();

// The palette index of a test point: 2 + ramp_position / 4 over 0 .. the
// largest accepted distance for every accepted point (kept by the filter or
// not), map_excluded_index for the others.
std::uint8_t map_index(PointOutcome outcome, float distance, float colour_scale);

// map_palette()[map_index(...)]: the colour of a point on the map and in the binary PLY.
Rgb map_colour(PointOutcome outcome, float distance, float colour_scale);

// A signed run's map: the diverging ramp in 65 levels a side, after a
// background, a colour for points without a distance and one for M3C2 changes
// within their LoD95. Level L = ceil(v / 4) of diverging position v is drawn
// as position min(4 L, 255), so level 0 is exactly 0 (white) and level 64 the
// full blue or red. An index orders like what it shows: background < no
// distance < not significant < any significant distance, a larger level never
// a smaller index, and of one level the positive side above the negative.
inline constexpr std::uint8_t signed_background_index = 0;  // light grey: no point here (white is a distance of 0)
inline constexpr std::uint8_t signed_excluded_index = 1;    // signed_excluded_colour: no distance
inline constexpr std::uint8_t signed_not_significant_index = 2;
inline constexpr std::int32_t diverging_levels = 65;
inline constexpr Rgb signed_background{224, 224, 224};
using SignedMapPalette = std::array<Rgb, 3 + 2 * diverging_levels>;
const SignedMapPalette& signed_map_palette();

// The palette index of a signed run's test point of distance `distance`, on a
// ramp symmetric at -+ `largest`; `not_significant` for an M3C2 change within
// its LoD95.
std::uint8_t signed_map_index(PointOutcome outcome, float distance, bool not_significant, float largest);

inline constexpr std::int32_t map_target_width = 1000;  // pixels along the longer of the two axes

struct TopView {
  std::int32_t width = 0, height = 0;  // 0 x 0 when no test point has finite coordinates
  std::vector<std::uint8_t> pixels;    // palette indices, row by row from the top
  std::int32_t across_axis = 0;        // 0, 1 or 2 for x, y, z: the axis from left to right
  std::int32_t up_axis = 1;            // the axis from bottom to top
  double pixel_size = 1.0;             // in the clouds' units
  double across_min = 0.0, up_min = 0.0;
  std::int32_t dot_radius = 0;         // each point covers (2r + 1)^2 pixels
  bool diverging = false;              // indices into signed_map_palette() rather than map_palette()
};

// The view over the two axes along which the test cloud's finite points spread
// widest (ties to the earlier axis), the earlier axis across and the later one
// up. One pixel is the longer extent / target_width (so that side has at most
// target_width pixels); a point is in pixel floor((c - min) * (1 / pixel)) of each
// axis, the last pixel taking the far edge. Each point is a square dot of radius
// floor(0.75 * sqrt(width * height / points)) pixels, at most 16, so sparse
// clouds still show as surfaces; a pixel takes the largest index among the dots
// on it. A signed pass is drawn with signed_map_index over -+ distance_max (the
// largest |d|). Throws std::bad_alloc when the image cannot be had.
// `extent` is measure_extent(test).
TopView render_top_view(const PointColumns& test, const CloudExtent& extent, const PassResult& pass,
                        float distance_max, std::int32_t target_width = map_target_width);

// render_top_view in steps, for points that come in blocks: the empty image
// the extent decides, then the dots of each block in input order (`first` the
// index of the block's first point in the pass). The same pixels however the
// points are cut into blocks.
TopView begin_top_view(const CloudExtent& extent, const PassResult& pass, std::int32_t target_width = map_target_width);
void draw_top_view(TopView& view, const PointColumns& block, std::int64_t first, const PassResult& pass,
                   float distance_max);

// The image as an 8-bit palette PNG (zlib level 1, run-length matches only, no filter). False when libpng fails.
bool encode_png(const TopView& view, std::vector<std::uint8_t>& png);

}  // namespace ptdelta
