#include "driver/run.h"

#include <cstdio>
#include <string>
#include <vector>

#include "distance/comparison_pass.h"
#include "driver/input_identity.h"
#include "driver/options.h"
#include "input/byte_source.h"
#include "input/ply_reader.h"
#include "input/text_reader.h"
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
  }
  return exit_failure;
}

enum class CloudReader { text, ply, ply_list };

struct LoadResult {
  Failure failure = Failure::none;
  std::string failed_name;
  std::vector<std::string> files_read;  // the PLY files a list named
};

// The loading frame: banner, the selected reader, close, final line with the count.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, CloudReader reader,
                      PointColumns& cloud) {
  std::fputs(banner, stderr);
  LoadResult result;
  {
    ByteSource source(in);
    switch (reader) {
      case CloudReader::text:
        result.failure = read_text_cloud(source, cloud);
        break;
      case CloudReader::ply:
        result.failure = read_ply_cloud(source, cloud);
        break;
      case CloudReader::ply_list: {
        PlyListOutcome outcome = read_ply_list(source, cloud);
        result.failure = outcome.failure;
        result.failed_name = std::move(outcome.failed_name);
        result.files_read = std::move(outcome.files_read);
        if (result.failure == Failure::none && source.failed()) result.failure = Failure::read_error;
        break;
      }
    }
  }
  std::fclose(in);
  if (result.failure != Failure::none) {
    if (result.failed_name.empty()) result.failed_name = name;
    return result;
  }
  std::fprintf(stderr, "\t%d final\n", cloud.count);
  return result;
}

}  // namespace

int run(int argc, const char* const* argv) {
  RunOptions options = parse_command_line(argc, argv);
  options.box_half_width = derive_box_half_width(options.maxdist);

  print_banner();
  if (options.reference_index == 0 || options.test_index == 0 || options.output_index == 0) {
    print_help();
    return exit_usage;
  }
  const std::string reference_name = argv[options.reference_index];
  const std::string test_name = argv[options.test_index];
  const std::string export_name = argv[options.output_index];

  PointColumns reference, test;
  if (!create_point_columns(reference) || !create_point_columns(test)) return stop(Failure::out_of_memory, "");

  // Both inputs are open before either is read.
  std::FILE* reference_file = std::fopen(reference_name.c_str(), "r");
  if (reference_file == nullptr) return stop(Failure::cannot_open, reference_name);
  std::FILE* test_file = std::fopen(test_name.c_str(), "r");
  if (test_file == nullptr) return stop(Failure::cannot_open, test_name);

  const CloudReader reference_reader = options.rp_seen ? CloudReader::ply : CloudReader::text;
  // A list wins over a single PLY file when both flags were given.
  const CloudReader test_reader = options.cp_seen    ? CloudReader::ply_list
                                  : options.cpl_seen ? CloudReader::ply
                                                     : CloudReader::text;
  LoadResult loaded =
      load_cloud("Loading Reference points ................", reference_file, reference_name, reference_reader, reference);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);
  loaded = load_cloud("Loading Test points .......................", test_file, test_name, test_reader, test);
  if (loaded.failure != Failure::none) return stop(loaded.failure, loaded.failed_name);

  // Nothing has been written yet: refuse an export or log that is one of the inputs.
  std::vector<std::string> inputs = std::move(loaded.files_read);
  inputs.push_back(reference_name);
  inputs.push_back(test_name);
  if (const std::string clash = find_overwritten_input(inputs, {export_name, statistics_log_name(export_name)});
      !clash.empty())
    return stop(Failure::refused_overwrite, clash);

  std::vector<float> cd;
  PassTotals totals;
  if (const Failure f = comparison_pass(reference, test, options.maxdist, options.box_half_width,
                                        SearchMode::spatial_index, cd, totals);
      f != Failure::none)
    return stop(f, "");

  std::string failed_name;
  if (const Failure f = run_statistics(cd, totals, export_name, failed_name); f != Failure::none)
    return stop(f, failed_name);
  if (const Failure f = export_coloured_ply(test, cd, totals.distance_max, export_name); f != Failure::none)
    return stop(f, export_name);
  return exit_complete;
}

}  // namespace ptdelta
