// binary_ply.h - the test points as a binary little-endian PLY that common viewers read whole
// x y z (double when the run is shifted, in the input's frame), the map's colours, and scalar_distance.
#pragma once

#include <string>

#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "report/output_file.h"

namespace ptdelta {

// The header for `vertex_count` vertices; the coordinates are double when
// `shifted`, float otherwise.
std::string binary_ply_header(std::int32_t vertex_count, bool shifted);

// Writes the header and one record per test point, in input order: x y z (the
// stored float when the shift is zero; (double)stored - shift when it is not),
// red green blue (map_colour over 0 .. distance_max), and scalar_distance: the
// accepted distance, NaN for outliers, rejected points and non-finite
// distances. Every value little-endian whatever the machine. Write errors are
// reported by file.finish().
void write_binary_ply(OutputFile& file, const PointColumns& test, const PassResult& pass, float distance_max,
                      const CoordinateShift& shift);

}  // namespace ptdelta
