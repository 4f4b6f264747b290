// run_report.h - everything the JSON, HTML and binary PLY outputs say about one run, as one value
// The driver fills it after the summary; the renderers only read it and never compute a figure again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "report/distribution.h"
#include "report/png_map.h"
#include "report/statistics.h"

namespace ptdelta {

struct InputReport {
  std::string option;              // the option that named it: "-r", "-rp", "-c", "-cpl", "-cp"
  std::string name;                // as given on the command line
  std::string format;              // "text", "ply", "pcd", "las", or "list" for a -cp list
  std::vector<std::string> files;  // the files a list named, in list order; empty for a single file
  std::vector<std::string> file_formats;  // the format of each of those files
  std::int32_t point_count = 0;
};

// Wall time of each stage, in seconds: the one part of a report that differs between runs.
struct StageSeconds {
  double load_reference = 0.0;
  double load_test = 0.0;
  double comparison = 0.0;  // index build and pass
  double statistics = 0.0;  // summary, percentiles and histogram
  double log_and_export = 0.0;
  double reports = 0.0;     // the binary PLY and the HTML page, before the JSON is written
};

struct RunReport {
  InputReport reference, test;
  float maxdist = 0.0f;
  float box_half_width = 0.0f;
  Method method = Method::nearest_point;
  CoordinateShift shift;
  std::int32_t threads = 1;
  std::vector<std::string> warnings;  // every line printed about the inputs and outputs, without its "\n"
  std::string export_name, log_name;  // the -o export and its log (empty when none is written)

  // Not owned: the clouds and results of the run, alive while the outputs are written.
  const PointColumns* test_cloud = nullptr;
  const PassResult* pass = nullptr;
  const Summary* summary = nullptr;

  // Test points with a NaN or infinite coordinate.
  std::int64_t non_finite_count() const { return test.point_count - test_extent.finite_points; }

  CloudExtent test_extent;     // of the test cloud's finite points
  Distribution distribution;   // percentiles and histogram of the accepted distances
  StageSeconds seconds;
};

// The method as the JSON report names it: "nearest_point" or "plane".
const char* method_key(Method method);
// The method in words, as the console's method line says it.
const char* method_description(Method method);

}  // namespace ptdelta
