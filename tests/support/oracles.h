// oracles.h - the C library's own readers, kept as the reference for the fast ones
// fscanf conversions and the two fscanf-based cloud readers; tests compare the product with them bit for bit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/failure.h"
#include "core/point_cloud.h"

namespace ptdelta::testing {

bool scan_float_fscanf(std::FILE* in, float& value);
bool scan_int_fscanf(std::FILE* in, int& value);

// fscanf(in, "%f %f %f", ...) until a group does not convert completely.
Failure read_text_cloud_fscanf(std::FILE* in, PointColumns& cloud);

// The text layouts through the C library alone: tokens converted with sscanf
// "%f%n", heading lines skipped, line mode when the first two data lines have
// the same count (> 3) of tokens, otherwise fscanf "%f %f %f" from the first
// data line on. `stopped_at_line` as read_text_cloud gives it.
Failure read_text_layouts_fscanf(const std::string& bytes, PointColumns& cloud, std::int64_t& stopped_at_line);

// The nine-field rows: skips the header by whole lines up to the end_header
// line, then fscanf(in, "%f %f %f %f %f %f %d %d %d", ...) until a group does
// not convert completely. The header's declarations are not used.
Failure read_ply_rows_fscanf(std::FILE* in, PointColumns& cloud);

}  // namespace ptdelta::testing
