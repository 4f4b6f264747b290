// cloud_reader.h - one entry point for every kind of cloud file, and what reading it came to
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

struct ReadOutcome {
  Failure failure = Failure::none;
  std::string failed_name;                   // the file a failure is about when it is not the input itself
  const FormatRow* failed_format = nullptr;  // the row the failed file was read by: names a Failure::unsupported
  bool list = false;                         // the input was a list of cloud files
  // A single input: its one file (named by the caller). A list: every file it
  // named and opened, in list order, the one that failed included.
  std::vector<FileFacts> files;
};

// Reads `in` and appends its points through `out`: by the first row of
// `formats` that recognises its first bytes, otherwise as `kind`. Each file of
// a list is recognised the same way and read as PLY when nothing is recognised.
// Then stores any points still waiting for an automatic shift. Text and ASCII
// PLY bodies are parsed on up to `threads` threads (the same points for any
// number). A read error of the source itself is Failure::read_error.
ReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out, int threads = 1,
                       FormatTable formats = cloud_formats());

// As the JSON report names the input's format: "list", or its one file's format_name.
const char* input_format_name(const ReadOutcome& outcome);
// The files a list named, in list order; empty for a single file.
std::vector<std::string> listed_files(const ReadOutcome& outcome);

}  // namespace ptdelta
