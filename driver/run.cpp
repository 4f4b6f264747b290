#include "driver/run.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "distance/comparison_pass.h"
#include "driver/console.h"
#include "driver/input_identity.h"
#include "driver/options.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "core/exact.h"
#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/output_file.h"
#include "report/ply_export.h"
#include "report/run_report.h"
#include "report/statistics.h"

namespace ptdelta {

namespace {

// The one message of a failed run; `name` is the file it is about.
int stop(Failure failure, const std::string& name) {
  switch (failure) {
    case Failure::none:
      break;
    case Failure::cannot_open:
      std::fprintf(stderr, "Couldn't open %s\n", name.c_str());
      break;
    case Failure::out_of_memory:
      std::fputs("Cannot allocate MEMORY. Sorry!\n", stderr);
      break;
    case Failure::cd_out_of_memory:
      std::fputs("Cannot allocate MEMORY for Cd. Sorry!\n", stderr);
      break;
    case Failure::read_error:
      std::fprintf(stderr, "Couldn't read %s\n", name.c_str());
      break;
    case Failure::write_error:
      std::fprintf(stderr, "Couldn't write %s\n", name.c_str());
      break;
    case Failure::unsupported_ply:
      std::fprintf(stderr, "Unsupported PLY file %s\n", name.c_str());
      break;
    case Failure::refused_overwrite:
      std::fprintf(stderr, "Refusing to overwrite input file %s\n", name.c_str());
      break;
  }
  return exit_failure;
}

struct LoadResult {
  Failure failure = Failure::none;
  std::string failed_name;
  std::vector<std::string> files_read;  // the files a list named
};

// The loading frame: banner, the reader for `kind`, close, final line with the count.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind,
                      PointColumns& cloud) {
  std::fputs(banner, stderr);
  LoadingCounter counter;
  CloudReadOutcome outcome;
  {
    ByteSource source(in);
    outcome = read_cloud(kind, source, {cloud, counter});
  }
  std::fclose(in);
  counter.reached(cloud.count);
  LoadResult result{outcome.failure, std::move(outcome.failed_name), std::move(outcome.files_read)};
  if (result.failure != Failure::none) {
    if (result.failed_name.empty()) result.failed_name = name;
    return result;
  }
  std::fprintf(stderr, "\t%d final\n", cloud.count);
  return result;
}

// Seconds on the steady clock since `start`, and `start` moved to now.
double lap(std::chrono::steady_clock::time_point& start) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - start).count();
  start = now;
  return seconds;
}

// An optional output's name, empty when its option was not given.
std::string optional_name(const char* const* argv, std::int32_t index) { return index == 0 ? "" : argv[index]; }

InputReport input_report(const char* option, InputKind kind, const std::string& name, std::int32_t points) {
  // The format follows the option until files are recognised by their content.
  return {option, name, kind == InputKind::text ? "text" : "ply", {}, points};
}

}  // namespace

int run(int argc, const char* const* argv) {
  const RunOptions options = parse_command_line(argc, argv);

  print_banner();
  if (options.reference_index == 0 || options.test_index == 0 || options.output_index == 0) {
    print_help();
    return exit_usage;
  }
  const std::string reference_name = argv[options.reference_index];
  const std::string test_name = argv[options.test_index];
  const std::string export_name = argv[options.output_index];

  // Both inputs are open before either is read.
  std::FILE* reference_file = std::fopen(reference_name.c_str(), "r");
  if (reference_file == nullptr) return stop(Failure::cannot_open, reference_name);
  std::FILE* test_file = std::fopen(test_name.c_str(), "r");
  if (test_file == nullptr) return stop(Failure::cannot_open, test_name);

  RunReport report;
  auto clock = std::chrono::steady_clock::now();
  PointColumns reference, test;
  LoadResult loaded = load_cloud("Loading Reference points ................", reference_file, reference_name,
                                 options.reference_kind, reference);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);
  report.seconds.load_reference = lap(clock);
  loaded = load_cloud("Loading Test points .......................", test_file, test_name, options.test_kind, test);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);
  report.seconds.load_test = lap(clock);

  // Nothing has been written yet: refuse an export or log that is one of the inputs.
  const std::string log_name = statistics_log_name(export_name);
  const std::string json_name = optional_name(argv, options.json_index);
  const std::string html_name = optional_name(argv, options.html_index);
  const std::string binary_ply_name = optional_name(argv, options.binary_ply_index);
  std::vector<std::string> inputs = loaded.files_read;
  inputs.push_back(reference_name);
  inputs.push_back(test_name);
  std::vector<std::string> outputs{export_name, log_name};
  for (const std::string& name : {json_name, html_name, binary_ply_name})
    if (!name.empty()) outputs.push_back(name);
  if (const std::string clash = find_overwritten_input(inputs, outputs); !clash.empty())
    return stop(Failure::refused_overwrite, clash);

  // Compute: the pass, then the summary. The result columns are had before the
  // processing banner, so running out of memory for them shows no banner.
  PassResult pass;
  if (const Failure f = reserve_pass_result(test, pass); f != Failure::none) return stop(f, "");
  std::fputs("Processing ................................", stderr);
  ProcessingCounter counter;
  if (const Failure f = comparison_pass(reference, test, options.maxdist, SearchMode::spatial_index, counter, pass);
      f != Failure::none)
    return stop(f, "");
  report.seconds.comparison = lap(clock);
  const Summary summary = summarise(pass);

  // What the optional outputs say about the run. The shift, the thread count
  // and the warnings keep their defaults until the run carries them.
  const bool reporting = !json_name.empty() || !html_name.empty();
  report.reference = input_report(options.reference_kind == InputKind::text ? "-r" : "-rp", options.reference_kind,
                                  reference_name, reference.count);
  report.test = input_report(options.test_kind == InputKind::text  ? "-c"
                             : options.test_kind == InputKind::ply ? "-cpl"
                                                                   : "-cp",
                             options.test_kind, test_name, test.count);
  if (options.test_kind == InputKind::ply_list) report.test.files = std::move(loaded.files_read);
  report.maxdist = options.maxdist;
  report.box_half_width = derive_box_half_width(options.maxdist);
  report.method = pass.method;
  report.export_name = export_name;
  report.log_name = log_name;
  report.test_cloud = &test;
  report.pass = &pass;
  report.summary = &summary;
  if (reporting) {
    report.test_extent = measure_extent(test);
    report.distribution = describe_distribution(pass);
  }
  report.seconds.statistics = lap(clock);

  // Present: the log and the console get the same statistics text.
  OutputFile log;
  if (const Failure f = log.open(log_name); f != Failure::none) return stop(f, log_name);
  const std::string report1 = stage1_report(summary.totals, summary.stage1);
  std::fputs(report1.c_str(), stderr);
  log.write(report1);
  const std::string report2 = filter_notice() + stage2_report(summary.stage2);
  std::fputs(report2.c_str(), stderr);
  log.write(report2);
  if (const Failure f = log.finish(); f != Failure::none) return stop(f, log_name);

  std::fputs("\nExporting results .........", stderr);
  OutputFile exported;
  if (const Failure f = exported.open(export_name); f != Failure::none) return stop(f, export_name);
  write_coloured_ply(exported, test, pass.cd, summary.kept, summary.totals.distance_max);
  if (const Failure f = exported.finish(); f != Failure::none) return stop(f, export_name);
  report.seconds.log_and_export = lap(clock);

  if (!json_name.empty()) {
    OutputFile json;
    if (const Failure f = json.open(json_name); f != Failure::none) return stop(f, json_name);
    json.write(json_report(report));
    if (const Failure f = json.finish(); f != Failure::none) return stop(f, json_name);
  }
  if (!html_name.empty()) {
    OutputFile html;
    if (const Failure f = html.open(html_name); f != Failure::none) return stop(f, html_name);
    if (const Failure f = write_html_report(html, report); f != Failure::none) return stop(f, html_name);
    if (const Failure f = html.finish(); f != Failure::none) return stop(f, html_name);
  }
  if (!binary_ply_name.empty()) {
    OutputFile binary;
    if (const Failure f = binary.open(binary_ply_name); f != Failure::none) return stop(f, binary_ply_name);
    write_binary_ply(binary, test, pass, summary.totals.distance_max, report.shift);
    if (const Failure f = binary.finish(); f != Failure::none) return stop(f, binary_ply_name);
  }
  std::fputs("Done.\n", stderr);
  return exit_complete;
}

}  // namespace ptdelta
