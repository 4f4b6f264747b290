// pcd_reader.h - PCD files (versions 0.6 and 0.7) into a point cloud
// ascii, binary and LZF-compressed bodies, any fields with x, y and z among them; points without coordinates skipped.
#pragma once

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// Reads one PCD stream (header up to its DATA line, then the body) and appends
// every point whose x, y and z are all numbers. A point with a NaN coordinate is
// counted in facts.skipped_points; a body that ends before the header's count of
// points keeps its complete points and notes facts.shortfall. When `out` wants
// normals and the fields include normal_x, normal_y and normal_z, each stored
// point gives its normal (each component rounded once to float; an ascii value
// that does not convert is NaN).
// Failure::unsupported (no x y z fields, a DATA kind other than ascii, binary
// or binary_compressed, a header or compressed block that cannot be read),
// Failure::out_of_memory, Failure::read_error, or Failure::none.
Failure read_pcd_cloud(ByteSource& in, PointAppender& out, FileFacts& facts);

}  // namespace ptdelta
