// cloud_reader.h - one entry point for every kind of cloud file
// A file is read by the format its first bytes show, otherwise by the reader of the kind its option names; readers only fill the cloud and say what they found.
#pragma once

#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

enum class InputKind {
  text,      // -r, -c: x y z numbers
  ply,       // -rp, -cpl: one PLY file
  ply_list,  // -cp: a list of cloud file names, one per line
};

struct CloudReadOutcome {
  Failure failure = Failure::none;
  std::string failed_name;               // the file a failure is about when it is not the input itself
  std::vector<std::string> files_read;   // every file a list named and opened, in list order
  ReadFacts facts;                       // the input itself: its format (list for a list) and what was found
  std::vector<ReadFacts> file_facts;     // each file of a list, parallel to files_read
};

// Reads `in` and appends its points through `out`: as PLY, LAS or PCD when its
// first bytes say so (recognise_format), otherwise as `kind`. Each file of a
// list is recognised the same way and read as PLY when nothing is recognised.
// Then stores any points still waiting for an automatic shift. Text and ASCII
// PLY bodies are parsed on up to `threads` threads (the same points for any number). A read error of
// the source itself is Failure::read_error.
CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out, int threads = 1);

}  // namespace ptdelta
