// loading.h - one cloud loaded with its console frame, and the one message of a failed run
// Banner, the reader, the final line and what the reader found, as lines the driver prints and reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/cloud_reader.h"
#include "report/run_result.h"

namespace ptdelta {

struct LoadResult {
  ReadOutcome read;                // what the reader came to; a failure always has its failed_name
  CoordinateShift shift;           // the shift the points were stored with
  std::vector<std::string> lines;  // printed after the final line (skipped points, warnings)
  std::int64_t count = 0;          // the points stored (handed to the sink included)
};

// The loading frame: banner, the reader for `kind`, close, final line with the
// count, what the reader found. `in` is closed. With a `sink` the points go
// to it a block at a time and `cloud` holds one block at most. With `normals`
// (empty), the normals the file stores are kept there, one per point; it stays
// empty when the file has none.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind, ShiftRule shift,
                      int threads, PointColumns& cloud, BlockSink* sink = nullptr, StoredNormals* normals = nullptr);

// What the reports say of one loaded input.
InputReport input_report(const char* option, const std::string& name, const LoadResult& loaded, std::int32_t points);

// Prints the one message of a failed run; `name` is the file it is about and
// `format` the row a Failure::unsupported file was read by. Returns exit_failure.
int stop(Failure failure, const std::string& name, const FormatRow* format = nullptr);
// The message of a failed read: its file and, when unsupported, its format.
int stop(const ReadOutcome& read);

}  // namespace ptdelta
