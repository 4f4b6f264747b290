#include "driver/loading.h"

#include <optional>
#include <utility>

#include "driver/console.h"
#include "driver/run.h"
#include "input/byte_source.h"

namespace ptdelta {

// Exit status exit_failure after the message.
int stop(Failure failure, const std::string& name, const FormatRow* format) {
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
    case Failure::unsupported:
      // Only a format's reader refuses a file; PLY is the one a file is read as by default.
      std::fprintf(stderr, "Unsupported %s file %s\n", format != nullptr ? format->name : ply_format.name,
                   name.c_str());
      break;
    case Failure::refused_overwrite:
      std::fprintf(stderr, "Refusing to overwrite input file %s\n", name.c_str());
      break;
  }
  return exit_failure;
}

int stop(const ReadOutcome& read) { return stop(read.failure, read.failed_name, read.failed_format); }

namespace {

// What a reader found besides its points, as the lines shown after the cloud's
// final line: first the points skipped for want of coordinates, then the
// warnings of the blocks that differ from their counts and of the clouds not
// read to the end of their data, each in list order.
std::vector<std::string> read_fact_lines(const ReadOutcome& outcome) {
  std::vector<std::string> lines;
  const auto number = [](std::int64_t n) { return std::to_string(n); };
  for (const FileFacts& file : outcome.files)
    if (file.skipped_points > 0)
      lines.push_back("Skipped " + number(file.skipped_points) + " points without coordinates in " + file.name);
  for (const FileFacts& file : outcome.files) {
    // In file order: the blocks, then where reading stopped. A file of countless
    // bad blocks gets a bounded list and one line for the rest.
    for (const BlockMismatch& b : file.blocks.listed)
      lines.push_back("Warning: " + file.name + " block at line " + number(b.line) + " has " + number(b.rows) + " of " +
                      number(b.count) + " points");
    if (const std::int64_t more = file.blocks.total - static_cast<std::int64_t>(file.blocks.listed.size()); more > 0)
      lines.push_back("Warning: " + file.name + " has " + number(more) + " more blocks that differ from their counts");
    if (file.stopped_at_line > 0)
      lines.push_back("Warning: stopped reading " + file.name + " at line " + number(file.stopped_at_line));
    if (const std::optional<Shortfall>& s = file.shortfall)
      lines.push_back("Warning: " + file.name + " ends after " + number(s->read) + " of " + number(s->declared) + " " +
                      s->unit);
  }
  return lines;
}

}  // namespace

// The loading frame: banner, the reader for `kind`, close, final line with the
// count, what the reader found.
LoadResult load_cloud(const char* banner, std::FILE* in, const std::string& name, InputKind kind, ShiftRule shift,
                      int threads, PointColumns& cloud, BlockSink* sink, StoredNormals* normals) {
  std::fputs(banner, stderr);
  LoadingCounter counter;
  LoadResult loaded;
  PointAppender appender(cloud, counter, shift);
  if (sink != nullptr) appender.stream_to(*sink);
  if (normals != nullptr) appender.keep_normals(*normals);
  {
    ByteSource source(in);
    loaded.read = read_cloud(kind, source, appender, threads);
  }
  std::fclose(in);
  loaded.count = appender.total();
  counter.reached(loaded.count);
  if (!loaded.read.list && !loaded.read.files.empty()) loaded.read.files.front().name = name;
  if (loaded.read.failure == Failure::none) {
    std::fprintf(stderr, "\t%lld final\n", static_cast<long long>(loaded.count));
    loaded.lines = read_fact_lines(loaded.read);
    for (const std::string& line : loaded.lines) std::fprintf(stderr, "%s\n", line.c_str());
  } else if (loaded.read.failed_name.empty()) {
    loaded.read.failed_name = name;
  }
  loaded.shift = appender.shift();
  return loaded;
}

InputReport input_report(const char* option, const std::string& name, const LoadResult& loaded, std::int32_t points) {
  InputReport input{option, name, input_format_name(loaded.read), listed_files(loaded.read), {}, points};
  if (loaded.read.list)
    for (const FileFacts& file : loaded.read.files) input.file_formats.push_back(format_name(file));
  return input;
}

}  // namespace ptdelta
