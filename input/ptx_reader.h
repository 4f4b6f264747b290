// ptx_reader.h - PTX scanner text: scans of x y z rows, each after a header with its size and matrix
// Every point is moved into the registered frame by its scan's matrix; rows at the scanner's origin are missing returns.
#pragma once

#include <string_view>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// The first lines are a scan header: two lines of one whole number (columns,
// rows), three or four lines of exactly three numbers (the scanner's position
// and axes) and four lines of exactly four numbers (the matrix).
bool is_ptx_file(std::string_view first_bytes);

// Reads scan after scan: a header (blank lines before it skipped), then
// columns x rows rows giving x y z from their first three tokens (intensity and
// colour ignored, blank lines skipped). Each point is [x y z 1] times the
// scan's matrix, the translation in its fourth row, in double
// (registered_coordinate), then shifted and rounded once; a scan whose matrix
// is exactly the identity is read as text clouds read by lines, so it gives the
// bytes its rows would as text. A row whose x, y and z are all zero (in double)
// is a missing return: skipped and counted in facts.skipped_points.
// A scan whose rows end early (the end of the data, or a line that is not a
// row, such as the next header) keeps its points, notes facts.shortfall with
// that scan's counts and ends the reading. A header that is cut off or has a
// line of the wrong shape ends the reading at its first line
// (facts.stopped_at_line). Failure::out_of_memory, Failure::read_error, or Failure::none.
Failure read_ptx_cloud(ByteSource& in, PointAppender& out, FileFacts& facts);

}  // namespace ptdelta
