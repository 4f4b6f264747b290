// coordinate.h - one decimal coordinate read the way the point appender asks for it
// "%f" to float, "%lf" to double, or both from the same characters while the automatic shift is undecided.
#pragma once

#include <string_view>

#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

// Like scan_float (white space, then the characters "%f" takes), filling the
// readings `precision` names. With ReadPrecision::both the characters are kept
// and converted twice, so both readings come from exactly the same token.
// False when nothing converts; `c` is then of no use. Throws std::bad_alloc only
// when a token's copy cannot be had.
bool scan_coordinate(ByteSource& in, ReadPrecision precision, CoordinateReading& c);

// True when "%f" takes all of `token` (a run of non-white-space bytes); fills
// the readings `precision` names from it.
bool convert_whole_token(std::string_view token, ReadPrecision precision, CoordinateReading& c);

}  // namespace ptdelta
