// pts_reader.h - PTS scanner text: blocks of x y z rows, each after a line with its count
// Recognised by a first data line of one whole number followed by a row; x y z read as text clouds read by lines.
#pragma once

#include <string_view>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// The first data line (see is_data_line) holds one whole number, and the next
// line that is not blank is a row: its first three tokens convert.
bool is_pts_file(std::string_view first_bytes);

// Lines before the first data line are skipped. From there each line of one
// whole number starts a block (it is not a point); every other line gives x y z
// from its first three tokens, converted as text clouds read by lines convert
// them (the rest of the line, intensity and colour, is ignored; blank lines are
// skipped). A line whose first three tokens do not all convert ends the cloud
// (facts.stopped_at_line). Every block whose rows differ from its count, the one
// reading stopped in included, is noted in facts (see FileFacts::blocks).
// Failure::out_of_memory, Failure::read_error, or Failure::none.
Failure read_pts_cloud(ByteSource& in, PointAppender& out, FileFacts& facts);

}  // namespace ptdelta
