// run_result.h - one run as a value: what was run, and what came of it
// Built once after the pass; the log, the export and every optional output only read it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "report/distribution.h"
#include "report/png_map.h"
#include "report/statistics.h"
#include "report/test_points.h"

namespace ptdelta {

struct InputReport {
  std::string option;              // the option that named it: "-r", "-rp", "-c", "-cpl", "-cp"
  std::string name;                // as given on the command line
  std::string format;              // "text", "ply", "pcd", "las", or "list" for a -cp list
  std::vector<std::string> files;  // the files a list named, in list order; empty for a single file
  std::vector<std::string> file_formats;  // the format of each of those files
  std::int32_t point_count = 0;
};

// Wall time of each stage, in seconds: the one part of a run that differs between runs.
struct StageSeconds {
  double load_reference = 0.0;
  double load_test = 0.0;
  double comparison = 0.0;  // index build and pass
  double statistics = 0.0;  // summary, percentiles and histogram
  double log_and_export = 0.0;
  double reports = 0.0;     // the optional outputs written before the JSON summary
};

// What was run: the inputs, the parameters and the names of the outputs.
struct RunDescription {
  InputReport reference, test;
  float maxdist = 0.0f;
  float box_half_width = 0.0f;
  Method method = Method::nearest_point;
  CoordinateShift shift;
  std::int32_t threads = 1;
  std::string export_name, log_name;  // the -o export and its log (empty when none is written)
  std::vector<std::string> warnings;  // every line printed about the inputs and outputs, without its "\n"
};

struct RunResult {
  // Summarises `pass` (the statistics, in test order), and when `describe`
  // also the distribution of the accepted distances and the extent of the test
  // cloud's finite points (one reading of its blocks), which only some outputs
  // need. `test` must outlive the result; a reading that fails leaves
  // test.failed() true. Throws std::bad_alloc.
  RunResult(RunDescription what, const TestPoints& test, PassResult&& pass, bool describe);
  // The same over columns in memory, as one block.
  RunResult(RunDescription what, const PointColumns& test_cloud, PassResult&& pass, bool describe);
  RunResult(const RunResult&) = delete;
  RunResult& operator=(const RunResult&) = delete;

  RunDescription run;
 private:
  WholeTestPoints whole_;  // the block of the columns a run in memory hands over (unused otherwise)
 public:
  const TestPoints& test_points;
  PassResult pass;
  Summary summary;
  CloudExtent test_extent;    // of the test cloud's finite points (when described)
  Distribution distribution;  // percentiles and histogram of the accepted distances (when described)
  StageSeconds seconds;

  // Test points with a NaN or infinite coordinate.
  std::int64_t non_finite_count() const { return run.test.point_count - test_extent.finite_points; }
};

}  // namespace ptdelta
