// las_reader.h - LAS files (versions 1.0 to 1.4, point formats 0 to 10, uncompressed) into a point cloud
// x y z are the record's integers times the header's scale plus its offset, in double, then shifted and rounded once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

inline constexpr std::size_t las_header_1_0_size = 227;  // versions 1.0 to 1.2; 1.3 adds 8 bytes, 1.4 adds 148
inline constexpr std::size_t las_header_1_4_size = 375;

// What the public header says about the points.
struct LasHeader {
  std::size_t header_size = 0;
  std::uint64_t point_data_offset = 0;
  unsigned format_byte = 0;  // compression bits 0x80 and 0x40 included
  std::size_t record_length = 0;
  std::int64_t points = 0;   // the 32-bit count, or the 64-bit one of version 1.4 when the 32-bit one is 0
  double scale[3] = {1.0, 1.0, 1.0};
  double offset[3] = {0.0, 0.0, 0.0};
};

// Parses the public header from its first `size` bytes at `h` (all of it, or its
// first 375 bytes when it is longer). False when it is not a header of version
// 1.0 to 1.4 with a point format up to 10 (compression bits aside), a record at
// least as long as the format's, and finite scales and offsets.
bool parse_las_header(const char* h, std::size_t size, LasHeader& header);

// Coordinate `axis` of the record at `record`: its int32 times the scale plus the
// offset, in double.
double las_coordinate(const char* record, const LasHeader& header, std::size_t axis);

// Reads one LAS stream: the public header, then the records from the header's
// offset to point data, as many as the header's count (the 32-bit one, or the
// 64-bit one of version 1.4 when the 32-bit one is 0). A file that ends first
// keeps its complete records and notes facts.shortfall.
// Failure::unsupported (compressed records, a version or point format
// outside those above, a record shorter than its format, a header that cannot be
// read), Failure::out_of_memory, Failure::read_error, or Failure::none.
Failure read_las_cloud(ByteSource& in, PointAppender& out, FileFacts& facts);

}  // namespace ptdelta
