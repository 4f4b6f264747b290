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
#include "driver/run_steps.h"
#include "driver/tile_run.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "report/optional_outputs.h"
#include "report/output_file.h"
#include "report/ply_export.h"
#include "report/run_result.h"
#include "report/statistics.h"

namespace ptdelta {

namespace {

// "%s" of a shift: plain positional notation with the fewest digits that read
// back to the same double.
std::string shift_text(double v) {
  char text[400];  // the longest fixed form of a finite double is about 330 characters
  return std::string(text, std::to_chars(text, text + sizeof text, v, std::chars_format::fixed).ptr);
}

// "%g" of a parameter.
std::string parameter_text(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// An optional output's name, empty when its option was not given.
std::string optional_name(const char* const* argv, std::int32_t index) { return index == 0 ? "" : argv[index]; }

// A failed load: the sink's write failure when it stopped the reader, else the reader's.
int stop_load(const LoadResult& loaded, const TileSink* sink) {
  if (sink != nullptr && !sink->failed_name().empty()) return stop(Failure::write_error, sink->failed_name());
  return stop(loaded.read);
}

}  // namespace

double lap(std::chrono::steady_clock::time_point& start) {
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - start).count();
  start = now;
  return seconds;
}

// The console's "Method: %s" of a run, with the parameters of the newer methods.
// `stored`: the reference's stored normals sign a nearest-point run, as stored
// (no radius, and no orientation applies to them).
std::string method_description(Method method, const SurfaceSettings& s, float maxdist, bool stored) {
  const std::string orient =
      s.orientation.towards_viewpoint
          ? ", normals towards " + parameter_text(s.orientation.viewpoint.x) + "," +
                parameter_text(s.orientation.viewpoint.y) + "," + parameter_text(s.orientation.viewpoint.z)
          : "";
  switch (method) {
    case Method::local_plane:
      return "least-squares plane through " + std::to_string(s.plane_points) + " nearest reference points" +
             (s.signed_distances ? ", signed" + orient : "");
    case Method::m3c2: {
      const double r = s.cylinder_radius < 0.0 ? s.m3c2_radius / 2.0 : s.cylinder_radius;
      const double depth = s.depth < 0.0 ? static_cast<double>(maxdist) : s.depth;
      return "M3C2, normal radius " + parameter_text(s.m3c2_radius) + ", cylinder radius " + parameter_text(r) +
             ", half-length " + parameter_text(depth) + ", registration error " +
             parameter_text(s.registration_error) + ", at least " + std::to_string(s.min_points) + " points" + orient;
    }
    case Method::nearest_point:
      if (s.signed_distances && stored) return "nearest reference point, signed by the stored normals";
      if (s.signed_distances)
        return std::string("nearest reference point, signed by the normal within ") + parameter_text(s.normal_radius) +
               " of it" + orient;
      break;
    case Method::plane:
      break;
  }
  return method_traits(method).description;
}

int load_inputs(const RunOptions& options, const char* const* argv, int threads, PointColumns& reference,
                PointColumns& test, TileSink* reference_sink, TileSink* test_sink, LoadedInputs& loaded,
                std::chrono::steady_clock::time_point& clock, StoredNormals* normals) {
  const std::string reference_name = argv[options.reference_index];
  const std::string test_name = argv[options.test_index];
  // Both inputs are open before either is read.
  std::FILE* reference_file = std::fopen(reference_name.c_str(), "r");
  if (reference_file == nullptr) return stop(Failure::cannot_open, reference_name);
  std::FILE* test_file = std::fopen(test_name.c_str(), "r");
  if (test_file == nullptr) return stop(Failure::cannot_open, test_name);

  RunDescription& what = loaded.what;
  LoadResult load = load_cloud("Loading Reference points ................", reference_file, reference_name,
                               options.reference_kind, options.shift, threads, reference, reference_sink, normals);
  if (load.read.failure != Failure::none) return stop_load(load, reference_sink);
  if (load.count == 0) {
    std::fclose(test_file);
    std::fprintf(stderr, "No points read from %s\n", reference_name.c_str());
    return exit_failure;
  }
  loaded.reference_count = load.count;
  what.reference = input_report(options.reference_kind == InputKind::text ? "-r" : "-rp", reference_name, load,
                                static_cast<std::int32_t>(load.count));
  what.warnings = load.lines;
  // Decided once, from the reference; the test cloud is read with the same shift.
  const CoordinateShift shift = load.shift;
  if (!shift.is_zero())
    std::fprintf(stderr, "Coordinates shifted by (%s, %s, %s)\n", shift_text(shift.x).c_str(),
                 shift_text(shift.y).c_str(), shift_text(shift.z).c_str());
  loaded.seconds.load_reference = lap(clock);
  load = load_cloud("Loading Test points .......................", test_file, test_name, options.test_kind,
                    {false, shift}, threads, test, test_sink);
  if (load.read.failure != Failure::none) return stop_load(load, test_sink);
  if (load.count == 0) {
    std::fprintf(stderr, "No points read from %s\n", test_name.c_str());
    return exit_failure;
  }
  loaded.test_count = load.count;
  what.test = input_report(options.test_kind == InputKind::text  ? "-c"
                           : options.test_kind == InputKind::ply ? "-cpl"
                                                                 : "-cp",
                           test_name, load, static_cast<std::int32_t>(load.count));
  what.warnings.insert(what.warnings.end(), load.lines.begin(), load.lines.end());
  what.shift = shift;
  loaded.listed = listed_files(load.read);
  loaded.seconds.load_test = lap(clock);
  return keep_going;
}

int claim_outputs(const RunOptions& options, const char* const* argv, std::span<const OptionalOutput> outputs,
                  const std::vector<std::string>& inputs, ClaimedOutputs& claimed) {
  // Nothing has been written yet: refuse an output that is one of the inputs.
  const std::string export_name = argv[options.output_index];
  const std::string log_name = statistics_log_name(export_name);
  std::vector<std::string> optional_names;  // one per row of the table, empty when not asked for
  for (const std::int32_t index : options.optional_index) optional_names.push_back(optional_name(argv, index));
  std::vector<std::string> output_names{export_name, log_name};
  for (const std::string& name : optional_names)
    if (!name.empty()) output_names.push_back(name);
  if (const std::string clash = find_overwritten_input(inputs, output_names); !clash.empty())
    return stop(Failure::refused_overwrite, clash);

  // The outputs are claimed before the work, as a plain open would be: a target we may
  // not write is said now. An export that is not a regular file (/dev/stdout, a pipe)
  // is written straight and gets no log.
  claimed.export_name = export_name;
  claimed.log = is_file_target(export_name) ? &claimed.set.add(log_name) : nullptr;
  claimed.log_name = claimed.log == nullptr ? std::string() : log_name;
  claimed.exported = &claimed.set.add(export_name);
  claimed.optional.assign(outputs.size(), nullptr);
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    if (optional_names[k].empty()) continue;
    claimed.optional[k] = &claimed.set.add(optional_names[k]);
    claimed.describe = claimed.describe || outputs[k].needs_distribution;
  }
  if (const OutputStatus s = claimed.set.open(); s.failure != Failure::none) return stop(s.failure, s.name);
  return keep_going;
}

int present_run(RunResult& result, ClaimedOutputs& claimed, std::span<const OptionalOutput> outputs,
                const std::string& description, bool surface_run, std::chrono::steady_clock::time_point& clock) {
  // Present: the log and the console get the same statistics text. Every output is
  // completed first and published together at the end: all of them, or none.
  // A signed or local-surface run's log opens with the method and its parameters.
  const std::string statistics = statistics_report(result.run.method, result.summary);
  const std::string logged = surface_run ? "Method: " + description + "\n" + statistics : statistics;
  std::fputs(statistics.c_str(), stderr);
  if (claimed.log == nullptr) {
    const std::string notice = "No log written: " + claimed.export_name + " is not a regular file";
    std::fprintf(stderr, "%s\n", notice.c_str());
    result.run.warnings.push_back(notice);
  } else {
    claimed.log->write(logged);
    if (const Failure f = claimed.log->complete(); f != Failure::none) return stop(f, claimed.log_name);
  }

  std::fputs("\nExporting results .........", stderr);
  // Streamed test points that fail to read spoil what was made from them: nothing is published.
  const TestPoints& points = result.test_points;
  write_coloured_ply(*claimed.exported, result);
  if (points.failed()) return stop(Failure::read_error, points.source_name());
  if (const Failure f = claimed.exported->complete(); f != Failure::none) return stop(f, claimed.export_name);
  result.seconds.log_and_export = lap(clock);
  // An output that reports the timings comes after the others, so that they cover them.
  for (const bool timings : {false, true}) {
    for (std::size_t k = 0; k < outputs.size(); ++k) {
      OutputFile* file = claimed.optional[k];
      if (file == nullptr || outputs[k].reports_timings != timings) continue;
      if (timings) result.seconds.reports = lap(clock);
      if (const Failure f = outputs[k].write(*file, result); f != Failure::none) return stop(f, file->name());
      if (points.failed()) return stop(Failure::read_error, points.source_name());
      if (const Failure f = file->complete(); f != Failure::none) return stop(f, file->name());
    }
  }
  if (const OutputStatus s = claimed.set.publish(); s.failure != Failure::none) return stop(s.failure, s.name);
  std::fputs("Done.\n", stderr);
  return exit_complete;
}

int run(int argc, const char* const* argv, std::span<const OptionalOutput> outputs) {
  const RunOptions options = parse_command_line(argc, argv, outputs);

  print_banner();
  if (options.invalid != RunOptions::Invalid::none) {
    const char* what = options.invalid == RunOptions::Invalid::maxdist ? "maxdist"
                       : options.invalid == RunOptions::Invalid::shift ? "shift"
                       : options.invalid == RunOptions::Invalid::named ? options.invalid_name
                                                                         : "thread count";
    std::fprintf(stderr, "Invalid %s %s\n", what, argv[options.invalid_index]);
    return exit_usage;
  }
  // The steps of a run split into tiles that need no inputs of their own.
  if (options.merge || options.task_index != 0) return run_tile_step(options, argv, outputs);
  if (options.reference_index == 0 || options.test_index == 0 || options.output_index == 0) {
    print_help(outputs);
    return exit_usage;
  }
  if (options.tiled() || options.plan_only) return run_tiled(options, argc, argv, outputs);
  const int threads = options.threads != 0 ? options.threads : available_threads();

  auto clock = std::chrono::steady_clock::now();
  PointColumns reference, test;
  // Normals are kept only for the run that uses them, so no other run pays for them.
  StoredNormals normals;
  LoadedInputs loaded;
  if (const int s = load_inputs(options, argv, threads, reference, test, nullptr, nullptr, loaded, clock,
                                reads_stored_normals(options) ? &normals : nullptr);
      s != keep_going)
    return s;
  RunDescription& what = loaded.what;
  std::vector<std::string> inputs = loaded.listed;
  inputs.push_back(argv[options.reference_index]);
  inputs.push_back(argv[options.test_index]);
  ClaimedOutputs claimed;
  if (const int s = claim_outputs(options, argv, outputs, inputs, claimed); s != keep_going) return s;

  // Compute: the pass, then the summary. The pass has its memory before it
  // prints the method and processing banner, so a run short of it shows none.
  what.maxdist = options.maxdist;
  what.box_half_width = derive_box_half_width(options.maxdist);
  what.method = chosen_method(options, reference.count, test.count);
  const SurfaceSettings& surface = options.surface;
  const bool surface_run = uses_surface(what.method, surface);
  if (surface.signed_distances && what.method == Method::plane) {
    std::fputs("-signed needs the nearest-point method (a reference with at least as many points as the test "
               "cloud), -plane or -m3c2\n",
               stderr);
    return exit_usage;
  }
  // Stored normals win over -normals.
  const bool stored = what.method == Method::nearest_point && normals.present();
  if (surface.signed_distances && what.method == Method::nearest_point && !stored &&
      !(surface.normal_radius > 0.0)) {
    std::fputs("-signed needs normals: the reference has none stored; give -normals R\n", stderr);
    return exit_usage;
  }
  const std::string description = method_description(what.method, surface, options.maxdist, stored);
  what.threads = threads;
  what.export_name = claimed.export_name;
  what.log_name = claimed.log_name;
  ProcessingCounter counter(description.c_str());
  PassResult pass;
  // The reference cloud is not needed after the pass, which may let it go early.
  if (const Failure f = comparison_pass(std::move(reference), test, what.method, options.maxdist, surface,
                                        stored ? &normals : nullptr, threads, counter, pass);
      f != Failure::none)
    return stop(f, "");
  normals = StoredNormals{};  // the pass was their one use
  StageSeconds seconds = loaded.seconds;
  seconds.comparison = lap(clock);
  RunResult result(std::move(what), test, std::move(pass), claimed.describe);
  result.seconds = seconds;
  result.seconds.statistics = lap(clock);
  return present_run(result, claimed, outputs, description, surface_run, clock);
}

}  // namespace ptdelta
