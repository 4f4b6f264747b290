// text_reader.h - text clouds of x y z numbers
// Numbers are taken three at a time with fscanf "%f" rules; the first incomplete group ends the cloud.
#pragma once

#include "input/byte_source.h"
#include "core/failure.h"
#include "core/point_cloud.h"

namespace ptdelta {

// Appends every complete x y z group before the first one that does not convert.
// Failure::out_of_memory when the store cannot grow, Failure::read_error when
// the source failed (not merely ended), otherwise Failure::none.
Failure read_text_cloud(ByteSource& in, PointAppender out);

}  // namespace ptdelta
