// las_reader.h - LAS files (versions 1.0 to 1.4, point formats 0 to 10, uncompressed) into a point cloud
// x y z are the record's integers times the header's scale plus its offset, in double, then shifted and rounded once.
#pragma once

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// Reads one LAS stream: the public header, then the records from the header's
// offset to point data, as many as the header's count (the 32-bit one, or the
// 64-bit one of version 1.4 when the 32-bit one is 0). A file that ends first
// keeps its complete records and notes facts.shortfall.
// Failure::unsupported (compressed records, a version or point format
// outside those above, a record shorter than its format, a header that cannot be
// read), Failure::out_of_memory, Failure::read_error, or Failure::none.
Failure read_las_cloud(ByteSource& in, PointAppender& out, FileFacts& facts);

}  // namespace ptdelta
