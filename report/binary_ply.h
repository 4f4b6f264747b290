// binary_ply.h - the test points as a binary little-endian PLY that common viewers read whole
// x y z (double when the run is shifted, in the input's frame), colours, the distance, and a surface run's extras.
#pragma once

#include <string>

#include "core/failure.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

// The properties after scalar_distance: none for a plain run; the normal
// (nx ny nz) for a signed or local-surface run; M3C2 adds scalar_lod95,
// scalar_significant, scalar_n_reference and scalar_n_test.
enum class PlyExtras { none, normal, m3c2 };

// The extras of the run `pass` describes.
PlyExtras ply_extras_of(const PassResult& pass);

// The header for `vertex_count` vertices; the coordinates are double when
// `shifted`, float otherwise.
std::string binary_ply_header(std::int32_t vertex_count, bool shifted, PlyExtras extras = PlyExtras::none);

// Writes the header and one record per test point, in input order: x y z (the
// stored float when the shift is zero; (double)stored - shift when it is not),
// red green blue, and scalar_distance: the accepted distance (with its sign in
// a signed run), NaN for outliers, rejected points and non-finite distances.
// The colour is map_colour over 0 .. the largest accepted distance; in a signed
// run it is diverging_colour over -+ the largest |d|, not_significant_colour
// for an M3C2 change within its LoD95 and signed_excluded_colour for a point
// without a distance. Then the extras: the normal as float (NaN where there is
// none), and for M3C2 the LoD95 (NaN where there is none), the significance
// (uchar 0 or 1) and the points of each cloud in the cylinder (int). Every value
// little-endian whatever the machine. Write errors are reported by
// file.complete(); returns Failure::none.
Failure write_binary_ply(OutputFile& file, const RunResult& result);

}  // namespace ptdelta
