// ply_reader.h - PLY files into a point cloud
// A declared vertex element is read by its declaration (ASCII or binary); other headers fall back to nine-field rows.
#pragma once

#include <cstddef>
#include <cstdint>

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

// Reads one PLY stream (header, then body) and appends its vertices through `out`,
// with their normals when `out` wants them and the vertex element declares
// scalar nx, ny and nz (any type, each rounded once to float).
// Failure::out_of_memory, Failure::read_error, Failure::unsupported (a binary
// body without an x y z vertex declaration; or a stream that may never end, such
// as /dev/zero, whose first line is not "ply" or whose header does not end within
// ply_header_unbounded_limit bytes), or Failure::none.
PlyReadResult read_ply_cloud(ByteSource& in, PointAppender& out, const PlyReadOptions& options = {});

// read_ply_cloud with what it found told in `facts` (the line where nine-field
// rows stopped, a declared vertex element that ended early: a shortfall in
// "vertices"), its ASCII body parsed on up to `threads` threads.
Failure read_ply_file(ByteSource& in, PointAppender& out, FileFacts& facts, int threads);

}  // namespace ptdelta
