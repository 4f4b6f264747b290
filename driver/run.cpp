#include "driver/run.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/parallel.h"
#include "distance/comparison_pass.h"
#include "driver/console.h"
#include "driver/input_identity.h"
#include "driver/options.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "report/output_file.h"
#include "report/ply_export.h"
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
    case Failure::unsupported_pcd:
      std::fprintf(stderr, "Unsupported PCD file %s\n", name.c_str());
      break;
    case Failure::unsupported_las:
      std::fprintf(stderr, "Unsupported LAS file %s\n", name.c_str());
      break;
  }
  return exit_failure;
}

struct LoadResult {
  Failure failure = Failure::none;
  std::string failed_name;
  std::vector<std::string> files_read;  // the files a list named
  CoordinateShift shift;                // the shift the points were stored with
  ReadFacts facts;                      // the input's format and what its reader found
  std::vector<ReadFacts> file_facts;    // each file of a list, parallel to files_read
};

// What a reader found besides its points, after the cloud's final line: first
// the points skipped for want of coordinates, then the warnings of the clouds
// that were not read to the end of their data, each in list order.
void print_read_facts(const CloudReadOutcome& outcome, const std::string& name) {
  std::vector<std::pair<const std::string*, const ReadFacts*>> files;
  if (outcome.facts.format == CloudFormat::list) {
    for (std::size_t i = 0; i < outcome.file_facts.size() && i < outcome.files_read.size(); ++i)
      files.emplace_back(&outcome.files_read[i], &outcome.file_facts[i]);
  } else {
    files.emplace_back(&name, &outcome.facts);
  }
  for (const auto& [file, facts] : files)
    if (facts->skipped_points > 0)
      std::fprintf(stderr, "Skipped %lld points without coordinates in %s\n",
                   static_cast<long long>(facts->skipped_points), file->c_str());
  for (const auto& [file, facts] : files) {
    if (facts->stopped_at_line > 0)
      std::fprintf(stderr, "Warning: stopped reading %s at line %lld\n", file->c_str(),
                   static_cast<long long>(facts->stopped_at_line));
    if (facts->vertices_short)
      std::fprintf(stderr, "Warning: %s ends after %lld of %lld vertices\n", file->c_str(),
                   static_cast<long long>(facts->vertices_read), static_cast<long long>(facts->vertices_declared));
    if (facts->ended_early)
      std::fprintf(stderr, "Warning: %s ends after %lld of %lld points\n", file->c_str(),
                   static_cast<long long>(facts->complete_points), static_cast<long long>(facts->declared_points));
  }
}

// The loading frame: banner, the reader for `kind`, close, final line with the
// count, what the reader found.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind, ShiftRule shift,
                      PointColumns& cloud) {
  std::fputs(banner, stderr);
  LoadingCounter counter;
  CloudReadOutcome outcome;
  PointAppender appender(cloud, counter, shift);
  {
    ByteSource source(in);
    outcome = read_cloud(kind, source, appender);
  }
  std::fclose(in);
  counter.reached(cloud.count);
  if (outcome.failure == Failure::none) {
    std::fprintf(stderr, "\t%d final\n", cloud.count);
    print_read_facts(outcome, name);
  } else if (outcome.failed_name.empty()) {
    outcome.failed_name = name;
  }
  return {outcome.failure,  std::move(outcome.failed_name), std::move(outcome.files_read),
          appender.shift(), outcome.facts,                  std::move(outcome.file_facts)};
}

// "%s" of a shift: plain positional notation with the fewest digits that read
// back to the same double.
std::string shift_text(double v) {
  char text[400];  // the longest fixed form of a finite double is about 330 characters
  return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::fixed).ptr);
}

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

  PointColumns reference, test;
  LoadResult loaded = load_cloud("Loading Reference points ................", reference_file, reference_name,
                                 options.reference_kind, options.shift, reference);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);
  if (reference.count == 0) {
    std::fclose(test_file);
    std::fprintf(stderr, "No points read from %s\n", reference_name.c_str());
    return exit_failure;
  }
  // Decided once, from the reference; the test cloud is read with the same shift.
  const CoordinateShift shift = loaded.shift;
  if (!shift.is_zero())
    std::fprintf(stderr, "Coordinates shifted by (%s, %s, %s)\n", shift_text(shift.x).c_str(),
                 shift_text(shift.y).c_str(), shift_text(shift.z).c_str());
  loaded = load_cloud("Loading Test points .......................", test_file, test_name, options.test_kind,
                      {false, shift}, test);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);
  if (test.count == 0) {
    std::fprintf(stderr, "No points read from %s\n", test_name.c_str());
    return exit_failure;
  }

  // Nothing has been written yet: refuse an export or log that is one of the inputs.
  const std::string log_name = statistics_log_name(export_name);
  std::vector<std::string> inputs = std::move(loaded.files_read);
  inputs.push_back(reference_name);
  inputs.push_back(test_name);
  if (const std::string clash = find_overwritten_input(inputs, {export_name, log_name}); !clash.empty())
    return stop(Failure::refused_overwrite, clash);

  // The outputs are claimed before the work, as a plain open would be: a target we may
  // not write is said now. An export that is not a regular file (/dev/stdout, a pipe)
  // is written straight and gets no log. One more output is one more add().
  OutputSet outputs;
  OutputFile* log = is_file_target(export_name) ? &outputs.add(log_name) : nullptr;
  OutputFile& exported = outputs.add(export_name);
  if (const OutputStatus s = outputs.open(); s.failure != Failure::none) return stop(s.failure, s.name);

  // Compute: the pass, then the summary. The result columns are had before the
  // processing banner, so running out of memory for them shows no banner.
  PassResult pass;
  if (const Failure f = reserve_pass_result(test, pass); f != Failure::none) return stop(f, "");
  std::fputs(method_for(reference, test) == Method::nearest_point ? "Method: nearest reference point\n"
                                                                  : "Method: plane through three reference points\n",
             stderr);
  std::fputs("Processing ................................", stderr);
  ProcessingCounter counter;
  if (const Failure f = comparison_pass(reference, test, options.maxdist, threads, counter, pass); f != Failure::none)
    return stop(f, "");
  const Summary summary = summarise(pass);

  // Present: the log and the console get the same statistics text. Every output is
  // completed first and published together at the end: all of them, or none.
  const std::string report = stage1_report(pass.method, summary.totals, summary.stage1) + filter_notice() +
                             stage2_report(summary.stage2);
  std::fputs(report.c_str(), stderr);
  if (log == nullptr) {
    std::fprintf(stderr, "No log written: %s is not a regular file\n", export_name.c_str());
  } else {
    log->write(report);
    if (const Failure f = log->complete(); f != Failure::none) return stop(f, log_name);
  }

  std::fputs("\nExporting results .........", stderr);
  write_coloured_ply(exported, test, shift, pass.cd, summary.kept, summary.totals.distance_max, threads);
  if (const Failure f = exported.complete(); f != Failure::none) return stop(f, export_name);
  if (const OutputStatus s = outputs.publish(); s.failure != Failure::none) return stop(s.failure, s.name);
  std::fputs("Done.\n", stderr);
  return exit_complete;
}

}  // namespace ptdelta
