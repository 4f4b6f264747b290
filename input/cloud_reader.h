// cloud_reader.h - one entry point for every kind of cloud file
// The driver names the kind an option gives; a table picks the reader, which only fills the cloud.
#pragma once

#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

enum class InputKind {
  text,      // -r, -c: x y z numbers
  ply,       // -rp, -cpl: one PLY file
  ply_list,  // -cp: a list of PLY file names, one per line
};

struct CloudReadOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about when it is not the input itself
  std::vector<std::string> files_read;   // every file a list named and opened, in list order
};

// Reads `in` as `kind` and appends its points through `out`. A read error of
// the source itself is Failure::read_error.
CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender out);

}  // namespace ptdelta
