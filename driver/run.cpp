#include "driver/run.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/exact.h"
#include "core/parallel.h"
#include "distance/comparison_pass.h"
#include "driver/console.h"
#include "driver/input_identity.h"
#include "driver/loading.h"
#include "driver/options.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/output_file.h"
#include "report/ply_export.h"
#include "report/run_report.h"
#include "report/statistics.h"

namespace ptdelta {

namespace {

// "%s" of a shift: plain positional notation with the fewest digits that read
// back to the same double.
std::string shift_text(double v) {
  char text[400];  // the longest fixed form of a finite double is about 330 characters
  return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::fixed).ptr);
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

}  // namespace

int run(int argc, const char* const* argv) {
  const RunOptions options = parse_command_line(argc, argv);

  print_banner();
  if (options.invalid != RunOptions::Invalid::none) {
    const char* what = options.invalid == RunOptions::Invalid::maxdist ? "maxdist"
                       : options.invalid == RunOptions::Invalid::shift ? "shift"
                                                                         : "thread count";
    std::fprintf(stderr, "Invalid %s %s\n", what, argv[options.invalid_index]);
    return exit_usage;
  }
  if (options.reference_index == 0 || options.test_index == 0 || options.output_index == 0) {
    print_help();
    return exit_usage;
  }
  const std::string reference_name = argv[options.reference_index];
  const std::string test_name = argv[options.test_index];
  const std::string export_name = argv[options.output_index];
  const int threads = options.threads != 0 ? options.threads : available_threads();

  // Both inputs are open before either is read.
  std::FILE* reference_file = std::fopen(reference_name.c_str(), "r");
  if (reference_file == nullptr) return stop(Failure::cannot_open, reference_name);
  std::FILE* test_file = std::fopen(test_name.c_str(), "r");
  if (test_file == nullptr) return stop(Failure::cannot_open, test_name);

  RunReport report;
  auto clock = std::chrono::steady_clock::now();
  PointColumns reference, test;
  LoadResult loaded = load_cloud("Loading Reference points ................", reference_file, reference_name,
                                 options.reference_kind, options.shift, threads, reference);
  if (loaded.read.failure != Failure::none) return stop(loaded.read);
  if (reference.count == 0) {
    std::fclose(test_file);
    std::fprintf(stderr, "No points read from %s\n", reference_name.c_str());
    return exit_failure;
  }
  report.reference = input_report(options.reference_kind == InputKind::text ? "-r" : "-rp", reference_name, loaded,
                                  reference.count);
  report.warnings = loaded.lines;
  // Decided once, from the reference; the test cloud is read with the same shift.
  const CoordinateShift shift = loaded.shift;
  if (!shift.is_zero())
    std::fprintf(stderr, "Coordinates shifted by (%s, %s, %s)\n", shift_text(shift.x).c_str(),
                 shift_text(shift.y).c_str(), shift_text(shift.z).c_str());
  report.seconds.load_reference = lap(clock);
  loaded = load_cloud("Loading Test points .......................", test_file, test_name, options.test_kind,
                      {false, shift}, threads, test);
  if (loaded.read.failure != Failure::none) return stop(loaded.read);
  if (test.count == 0) {
    std::fprintf(stderr, "No points read from %s\n", test_name.c_str());
    return exit_failure;
  }
  report.test = input_report(options.test_kind == InputKind::text  ? "-c"
                             : options.test_kind == InputKind::ply ? "-cpl"
                                                                   : "-cp",
                             test_name, loaded, test.count);
  report.warnings.insert(report.warnings.end(), loaded.lines.begin(), loaded.lines.end());
  report.seconds.load_test = lap(clock);

  // Nothing has been written yet: refuse an output that is one of the inputs.
  const std::string log_name = statistics_log_name(export_name);
  const std::string json_name = optional_name(argv, options.json_index);
  const std::string html_name = optional_name(argv, options.html_index);
  const std::string binary_ply_name = optional_name(argv, options.binary_ply_index);
  std::vector<std::string> inputs = listed_files(loaded.read);
  inputs.push_back(reference_name);
  inputs.push_back(test_name);
  std::vector<std::string> output_names{export_name, log_name};
  for (const std::string& name : {json_name, html_name, binary_ply_name})
    if (!name.empty()) output_names.push_back(name);
  if (const std::string clash = find_overwritten_input(inputs, output_names); !clash.empty())
    return stop(Failure::refused_overwrite, clash);

  // The outputs are claimed before the work, as a plain open would be: a target we may
  // not write is said now. An export that is not a regular file (/dev/stdout, a pipe)
  // is written straight and gets no log. One more output is one more add().
  OutputSet outputs;
  OutputFile* log = is_file_target(export_name) ? &outputs.add(log_name) : nullptr;
  OutputFile& exported = outputs.add(export_name);
  OutputFile* json = json_name.empty() ? nullptr : &outputs.add(json_name);
  OutputFile* html = html_name.empty() ? nullptr : &outputs.add(html_name);
  OutputFile* binary_ply = binary_ply_name.empty() ? nullptr : &outputs.add(binary_ply_name);
  if (const OutputStatus s = outputs.open(); s.failure != Failure::none) return stop(s.failure, s.name);

  // Compute: the pass, then the summary. The result columns are had before the
  // processing banner, so running out of memory for them shows no banner.
  PassResult pass;
  if (const Failure f = reserve_pass_result(test, pass); f != Failure::none) return stop(f, "");
  std::fprintf(stderr, "Method: %s\n", method_description(method_for(reference, test)));
  std::fputs("Processing ................................", stderr);
  ProcessingCounter counter;
  // The reference cloud is not needed after the pass, which may let it go early.
  if (const Failure f = comparison_pass(std::move(reference), test, options.maxdist, threads, counter, pass);
      f != Failure::none)
    return stop(f, "");
  report.seconds.comparison = lap(clock);
  const Summary summary = summarise(pass);

  // What the optional outputs say about the run.
  report.maxdist = options.maxdist;
  report.box_half_width = derive_box_half_width(options.maxdist);
  report.method = pass.method;
  report.shift = shift;
  report.threads = threads;
  report.export_name = export_name;
  report.log_name = log == nullptr ? std::string() : log_name;
  report.test_cloud = &test;
  report.pass = &pass;
  report.summary = &summary;
  if (json != nullptr || html != nullptr) {
    report.test_extent = measure_extent(test);
    report.distribution = describe_distribution(pass);
  }
  report.seconds.statistics = lap(clock);

  // Present: the log and the console get the same statistics text. Every output is
  // completed first and published together at the end: all of them, or none.
  const std::string statistics = stage1_report(pass.method, summary.totals, summary.stage1) + filter_notice() +
                                 stage2_report(summary.stage2);
  std::fputs(statistics.c_str(), stderr);
  if (log == nullptr) {
    const std::string notice = "No log written: " + export_name + " is not a regular file";
    std::fprintf(stderr, "%s\n", notice.c_str());
    report.warnings.push_back(notice);
  } else {
    log->write(statistics);
    if (const Failure f = log->complete(); f != Failure::none) return stop(f, log_name);
  }

  std::fputs("\nExporting results .........", stderr);
  write_coloured_ply(exported, test, shift, pass.cd, summary.kept, summary.totals.distance_max, threads);
  if (const Failure f = exported.complete(); f != Failure::none) return stop(f, export_name);
  report.seconds.log_and_export = lap(clock);
  if (binary_ply != nullptr) {
    write_binary_ply(*binary_ply, test, pass, summary.totals.distance_max, shift);
    if (const Failure f = binary_ply->complete(); f != Failure::none) return stop(f, binary_ply_name);
  }
  if (html != nullptr) {
    if (const Failure f = write_html_report(*html, report); f != Failure::none) return stop(f, html_name);
    if (const Failure f = html->complete(); f != Failure::none) return stop(f, html_name);
  }
  // Last, so that its timings cover every other output.
  if (json != nullptr) {
    report.seconds.reports = lap(clock);
    json->write(json_report(report));
    if (const Failure f = json->complete(); f != Failure::none) return stop(f, json_name);
  }
  if (const OutputStatus s = outputs.publish(); s.failure != Failure::none) return stop(s.failure, s.name);
  std::fputs("Done.\n", stderr);
  return exit_complete;
}

}  // namespace ptdelta
