// ply_reader.h - PLY files and lists of PLY files into a point cloud
// A declared vertex element is read by its declaration (ASCII or binary); other headers fall back to nine-field rows.
#pragma once

#include <string>
#include <vector>

#include "input/byte_source.h"
#include "core/failure.h"
#include "core/point_cloud.h"

namespace ptdelta {

// Reads one PLY stream (header, then body) and appends its vertices to `cloud`.
// Failure::out_of_memory, Failure::read_error, Failure::unsupported_ply (a binary
// body without an x y z vertex declaration; or a stream that may never end, such
// as /dev/zero, whose first line is not "ply" or whose header does not end within
// ply_header_unbounded_limit bytes), or Failure::none.
Failure read_ply_cloud(ByteSource& in, PointAppender out);

struct PlyListOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about (cannot_open, read_error, unsupported_ply)
  std::vector<std::string> files_read;   // every PLY file opened, in list order
};

// Reads a list of PLY file names, one per line (first token; blank lines skipped),
// and appends every named file's vertices to `cloud`; counts run on across files.
// A line longer than PATH_MAX bytes stops the list: Failure::read_error with an
// empty failed_name (the failure is the list's).
PlyListOutcome read_ply_list(ByteSource& list, PointAppender out);

}  // namespace ptdelta
