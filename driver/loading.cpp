#include "driver/loading.h"

#include <utility>

#include "driver/console.h"
#include "driver/run.h"
#include "input/byte_source.h"

namespace ptdelta {

// Exit status exit_failure after the message.
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

namespace {

// What a reader found besides its points, as the lines shown after the cloud's
// final line: first the points skipped for want of coordinates, then the
// warnings of the clouds not read to the end of their data, each in list order.
std::vector<std::string> read_fact_lines(const CloudReadOutcome& outcome, const std::string& name) {
  std::vector<std::pair<const std::string*, const ReadFacts*>> files;
  if (outcome.facts.format == CloudFormat::list) {
    for (std::size_t i = 0; i < outcome.file_facts.size() && i < outcome.files_read.size(); ++i)
      files.emplace_back(&outcome.files_read[i], &outcome.file_facts[i]);
  } else {
    files.emplace_back(&name, &outcome.facts);
  }
  std::vector<std::string> lines;
  const auto number = [](std::int64_t n) { return std::to_string(n); };
  for (const auto& [file, facts] : files)
    if (facts->skipped_points > 0)
      lines.push_back("Skipped " + number(facts->skipped_points) + " points without coordinates in " + *file);
  for (const auto& [file, facts] : files) {
    if (facts->stopped_at_line > 0)
      lines.push_back("Warning: stopped reading " + *file + " at line " + number(facts->stopped_at_line));
    if (facts->vertices_short)
      lines.push_back("Warning: " + *file + " ends after " + number(facts->vertices_read) + " of " +
                      number(facts->vertices_declared) + " vertices");
    if (facts->ended_early)
      lines.push_back("Warning: " + *file + " ends after " + number(facts->complete_points) + " of " +
                      number(facts->declared_points) + " points");
  }
  return lines;
}

}  // namespace

// The loading frame: banner, the reader for `kind`, close, final line with the
// count, what the reader found.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind, ShiftRule shift,
                      int threads, PointColumns& cloud) {
  std::fputs(banner, stderr);
  LoadingCounter counter;
  CloudReadOutcome outcome;
  PointAppender appender(cloud, counter, shift);
  {
    ByteSource source(in);
    outcome = read_cloud(kind, source, appender, threads);
  }
  std::fclose(in);
  counter.reached(cloud.count);
  std::vector<std::string> lines;
  if (outcome.failure == Failure::none) {
    std::fprintf(stderr, "\t%d final\n", cloud.count);
    lines = read_fact_lines(outcome, name);
    for (const std::string& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
  } else if (outcome.failed_name.empty()) {
    outcome.failed_name = name;
  }
  return {outcome.failure, std::move(outcome.failed_name), std::move(outcome.files_read), appender.shift(),
          outcome.facts,   std::move(outcome.file_facts),  std::move(lines)};
}

InputReport input_report(const char* option, const std::string& name, const LoadResult& loaded, std::int32_t points) {
  InputReport input{option, name, format_name(loaded.facts.format), loaded.files_read, {}, points};
  for (const ReadFacts& facts : loaded.file_facts) input.file_formats.push_back(format_name(facts.format));
  return input;
}


}  // namespace ptdelta
