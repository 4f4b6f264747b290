// binary_ply.h - the test points as a binary little-endian PLY that common viewers read whole
// x y z (double when the run is shifted, in the input's frame), the map's colours, and scalar_distance.
#pragma once

#include <string>

#include "core/failure.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

// The header for `vertex_count` vertices; the coordinates are double when
// `shifted`, float otherwise.
std::string binary_ply_header(std::int32_t vertex_count, bool shifted);

// Writes the header and one record per test point, in input order: x y z (the
// stored float when the shift is zero; (double)stored - shift when it is not),
// red green blue (map_colour over 0 .. the largest accepted distance), and
// scalar_distance: the accepted distance, NaN for outliers, rejected points and
// non-finite distances. Every value little-endian whatever the machine. Write
// errors are reported by file.complete(); returns Failure::none.
Failure write_binary_ply(OutputFile& file, const RunResult& result);

}  // namespace ptdelta
