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
  Failure failure = Failure::none;
  std::string failed_name;
  std::vector<std::string> files_read;  // the files a list named
  CoordinateShift shift;                // the shift the points were stored with
  ReadFacts facts;                      // the input's format and what its reader found
  std::vector<ReadFacts> file_facts;    // each file of a list, parallel to files_read
  std::vector<std::string> lines;       // printed after the final line (skipped points, warnings)
};

// The loading frame: banner, the reader for `kind`, close, final line with the
// count, what the reader found. `in` is closed.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind, ShiftRule shift,
                      int threads, PointColumns& cloud);

// What the reports say of one loaded input.
InputReport input_report(const char* option, const std::string& name, const LoadResult& loaded, std::int32_t points);

// Prints the one message of a failed run; `name` is the file it is about. Returns exit_failure.
int stop(Failure failure, const std::string& name);

}  // namespace ptdelta
