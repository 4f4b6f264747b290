// text_reader.h - text clouds of x y z numbers, and the loading frame every reader runs in
// Numbers are taken three at a time with fscanf "%f" rules; the first incomplete group ends the cloud.
#pragma once

#include <cstdio>

#include "input/byte_source.h"
#include "input/failure.h"
#include "input/point_columns.h"

namespace ptdelta {

// Appends every complete x y z group before the first one that does not convert.
// Failure::out_of_memory when the store cannot grow, Failure::read_error when
// the source failed (not merely ended), otherwise Failure::none.
Failure read_text_cloud(ByteSource& in, PointColumns& cloud);

// The plain oracle: the same reader on fscanf(in, "%f %f %f", ...).
Failure read_text_cloud_fscanf(std::FILE* in, PointColumns& cloud);

}  // namespace ptdelta
