// ply_reader.h - PLY files and lists of PLY files into a point cloud
// A declared vertex element is read by its declaration (ASCII or binary); other headers fall back to nine-field rows.
#pragma once

#include <string>
#include <vector>

#include "input/byte_source.h"
#include "input/cloud_format.h"
#include "core/failure.h"
#include "core/point_cloud.h"

namespace ptdelta {

// Reads one PLY stream (header, then body) and appends its vertices to `cloud`.
// Failure::out_of_memory, Failure::read_error, Failure::unsupported_ply (a binary
// body without an x y z vertex declaration), or Failure::none.
Failure read_ply_cloud(ByteSource& in, PointAppender out);

struct PlyListOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about (cannot_open, read_error, unsupported_ply)
  std::vector<std::string> files_read;   // every file opened, in list order
  std::vector<ReadFacts> file_facts;     // what was found in each of them, parallel to files_read
};

// Reads one opened file of a list, appends its points and tells its format and facts.
using ListedFileReader = Failure (*)(ByteSource& in, PointAppender out, ReadFacts& facts);

// Reads a list of file names, one per line (first token; blank lines skipped),
// and appends every named file's points to `cloud`; counts run on across files.
// Each file is read by `read_file`, or as PLY when it is null.
PlyListOutcome read_ply_list(ByteSource& list, PointAppender out, ListedFileReader read_file = nullptr);

}  // namespace ptdelta
