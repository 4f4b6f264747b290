// laz_reader.h - compressed LAS files into a point cloud: chunks decoded on the threads, joined in file order
// x y z as for plain LAS: the record's integers times the header's scale plus its offset, in double, then shifted and rounded once.
#pragma once

#include <string_view>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// A LAS header whose format byte has bit 7 set, or whose VLRs carry the LASzip
// record, in the first bytes.
bool is_laz_file(std::string_view first_bytes);

// Reads one compressed LAS file from byte 0 (the whole file is held in memory
// while it is decoded). Chunks decode on up to `threads` threads, a few at a
// time per thread, and their points join in file order, so the cloud is the
// same for any number. Only x y z are decoded where the chunk's layers allow.
// A chunk that does not decode (its stream runs out, a chunk table that does not
// fit the file, counts that disagree) ends the cloud after the whole chunks
// before it, noted as facts.shortfall.
// Failure::unsupported (a header or VLR that is not usable, an unknown
// compressor, item, item version or chunk-table version), Failure::out_of_memory,
// Failure::read_error, or Failure::none.
Failure read_laz_cloud(ByteSource& in, PointAppender& out, FileFacts& facts, int threads);

}  // namespace ptdelta
