// cloud_reader.h - one entry point for every kind of cloud file
// The driver names the kind an option gives; a table picks the reader, which only fills the cloud and says how it ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

enum class InputKind {
  text,      // -r, -c: x y z numbers
  ply,       // -rp, -cpl: one PLY file
  ply_list,  // -cp: a list of PLY file names, one per line, or a single PLY file
};

// A cloud that was read without failing but not to the end of its data.
struct ReadWarning {
  enum class Kind {
    stopped_at_line,  // a text cloud or nine-field rows ended before the end of the data
    short_vertices,   // a declared vertex element ended after fewer vertices than declared
  };
  Kind kind = Kind::stopped_at_line;
  std::string file;  // the PLY file of a list; empty: the input itself
  std::int64_t line = 0;
  std::int64_t vertices_read = 0, vertices_declared = 0;
};

struct CloudReadOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about when it is not the input itself
  std::vector<std::string> files_read;   // every file a list named and opened, in list order
  std::vector<ReadWarning> warnings;     // in reading order
};

// Reads `in` as `kind` and appends its points through `out`, then stores any
// points still waiting for an automatic shift. A read error of the source
// itself is Failure::read_error.
CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out);

}  // namespace ptdelta
