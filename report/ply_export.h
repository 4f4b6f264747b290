// ply_export.h - the coloured ASCII PLY export of the test cloud
// Every test point with a green-yellow-red colour by its distance and the distance as an extra column.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "report/colour_ramp.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

// Colour of a Cd entry. excluded_distance is the fixed red 255 0 0; every other
// entry takes the ramp on v = entry * colour_scale truncated toward zero:
// v < 256 gives v 255 0 (green turning yellow), above that 255 min(512 - v, 255) 0.
// A distance of 0 is v = 0 (green) even when every distance is 0 and the scale is infinite.
Rgb ramp_colour(float entry, float colour_scale);

// A signed run's colour of distance d on the diverging ramp, symmetric at
// -+ the largest |d|: blue (0 0 255) at the negative end through white at 0
// to red (255 0 0) at the positive end, by diverging_position.
Rgb diverging_colour(float d, float largest);
// A signed run's point left out by the filter is written as one without a
// distance: signed_excluded_colour, and "nan" in the distance column.

// The 11 header lines for `vertex_count` vertices.
std::string ply_export_header(std::int32_t vertex_count);

// Writes "%.5f %.5f %.5f %3d %3d %3d %.5f\n" at `out`; returns the end.
// `out` needs room for vertex_line_max_chars.
char* format_vertex_line(char* out, float x, float y, float z, Rgb colour, float distance);
inline constexpr std::size_t vertex_line_max_chars = 4 * 48 + 3 * 12 + 8;

// The same line for a shifted cloud: x y z are the stored values widened with
// the shift taken off (in the input's frame), each printed "%.5f" as a double.
char* format_shifted_vertex_line(char* out, double x, double y, double z, Rgb colour, float distance);
inline constexpr std::size_t shifted_vertex_line_max_chars = 3 * 321 + 3 * 12 + 49;

// Writes the header and one line per test point to `file`: the entry of point i
// is its distance where the filter kept it, excluded_distance elsewhere; the
// colour scale comes from the largest accepted distance. The points are written
// back in the input's frame (the shift taken off). The lines are formatted on
// the run's threads and written in order. Write errors are reported by
// file.complete(); throws std::bad_alloc.
void write_coloured_ply(OutputFile& file, const RunResult& result);

}  // namespace ptdelta
