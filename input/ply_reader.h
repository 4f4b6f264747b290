// ply_reader.h - PLY files and lists of PLY files into a point cloud
// A declared vertex element is read by its declaration (ASCII or binary); other headers fall back to nine-field rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/text_windows.h"
#include "input/cloud_format.h"

namespace ptdelta {

struct PlyReadResult {
  Failure failure = Failure::none;
  // Nine-field rows: the 1-based line where reading stopped before the end of
  // the data (the first byte after the last stored row and the white space
  // after it), counting the header's lines; 0 when the rows ran to the end.
  std::int64_t stopped_at_line = 0;
  // A declared vertex element: its count, and how many of its vertices were
  // read (fewer when the body ended or stopped converting first).
  std::int64_t vertices_declared = 0;
  std::int64_t vertices_read = 0;
};

// How an ASCII body is parsed: on `threads` threads, in windows of `window`
// bytes (tests make them small). The points are the same for any numbers.
struct PlyReadOptions {
  int threads = 1;
  std::size_t window = text_window_bytes;
};

// Reads one PLY stream (header, then body) and appends its vertices through `out`.
// Failure::out_of_memory, Failure::read_error, Failure::unsupported_ply (a binary
// body without an x y z vertex declaration; or a stream that may never end, such
// as /dev/zero, whose first line is not "ply" or whose header does not end within
// ply_header_unbounded_limit bytes), or Failure::none.
PlyReadResult read_ply_cloud(ByteSource& in, PointAppender& out, const PlyReadOptions& options = {});

// read_ply_cloud with what it found told in `facts` (format ply, the line where
// nine-field rows stopped, a declared vertex element that ended early), its
// ASCII body parsed on up to `threads` threads.
Failure read_ply_file(ByteSource& in, PointAppender& out, ReadFacts& facts, int threads);

struct PlyListOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about (cannot_open, read_error, unsupported_ply)
  std::vector<std::string> files_read;   // every file opened, in list order
  std::vector<ReadFacts> file_facts;     // what was found in each of them, parallel to files_read
};

// Reads one opened file of a list, appends its points and tells its format and
// facts; text is parsed on up to `threads` threads.
using ListedFileReader = Failure (*)(ByteSource& in, PointAppender& out, ReadFacts& facts, int threads);

// Reads a list of file names, one per line (first token; blank lines skipped),
// and appends every named file's points through `out`, each read by `read_file`;
// counts run on across files; each file is parsed on up to `threads` threads. A line longer than PATH_MAX bytes stops the list:
// Failure::read_error with an empty failed_name (the failure is the list's).
PlyListOutcome read_ply_list(ByteSource& list, PointAppender& out, ListedFileReader read_file, int threads = 1);

}  // namespace ptdelta
