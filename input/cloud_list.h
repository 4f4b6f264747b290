// cloud_list.h - a list of cloud file names (-cp), each file read by what it is
// Every named file is opened, recognised through the format table (PLY when nothing is recognised) and closed in turn.
#pragma once

#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"
#include "input/cloud_reader.h"

namespace ptdelta {

// Reads a list of file names, one per line (first token; blank lines skipped),
// and appends every named file's points through `out`; counts run on across
// files; each file is parsed on up to `threads` threads. The outcome is a list's
// (list set, one FileFacts per file opened, named by its line). A file that
// cannot be opened or read stops the list with its name in failed_name; a line
// longer than PATH_MAX bytes stops it with Failure::read_error and an empty
// failed_name (the failure is the list's). A read error of the list itself is
// left to the caller (list.failed()).
ReadOutcome read_cloud_list(ByteSource& list, PointAppender& out, FormatTable formats = cloud_formats(),
                            int threads = 1);

}  // namespace ptdelta
