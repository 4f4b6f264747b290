// cloud_format.h - the formats a cloud file can be, one row each, and what reading one file found
// A row names its format, recognises it by the first buffered bytes and reads it; recognition never takes a byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

struct FormatRow;

// A body that ended before its header's count: "ends after `read` of `declared` `unit`".
struct Shortfall {
  std::int64_t read = 0;
  std::int64_t declared = 0;
  const char* unit = "points";  // "vertices" for a PLY vertex element, "points" otherwise
};

// A block of rows whose number differs from the count on the block's first line.
struct BlockMismatch {
  std::int64_t line = 0;  // the 1-based line of the count
  std::int64_t rows = 0;
  std::int64_t count = 0;
};

// The blocks of a file that differ from their counts. A hostile file may hold
// millions of them: only the first `most_listed` are kept (and shown), the rest
// are counted.
struct BlockMismatches {
  static constexpr std::size_t most_listed = 100;
  std::vector<BlockMismatch> listed;  // in file order
  std::int64_t total = 0;             // listed and not
};

// What reading one file found besides the points it stored.
struct FileFacts {
  std::string name;                   // the file (a list's line, or the input's own name)
  const FormatRow* format = nullptr;  // the row it was read by; null: read as text (x y z numbers)
  std::int64_t skipped_points = 0;    // records without coordinates (x, y or z NaN): not stored
  // Text clouds and nine-field PLY rows: the 1-based line where reading stopped
  // before the end of the data; 0 when it ran to the end.
  std::int64_t stopped_at_line = 0;
  std::optional<Shortfall> shortfall;
  BlockMismatches blocks;  // PTS: the blocks whose rows differ from their counts
};

// Reads one file of the row's format from byte 0 and appends its points; fills
// every fact but name and format. Bodies that parse on threads use up to `threads`.
using FormatReader = Failure (*)(ByteSource& in, PointAppender& out, FileFacts& facts, int threads);

struct FormatRow {
  const char* name = "";  // as "Unsupported %s file %s" says it: "PLY"
  const char* key = "";   // as the JSON report says it: "ply"
  // Judges the first buffered bytes (all of a small file, the first block of a
  // large one); a line cut off by the end of them is judged by its start.
  bool (*recognise)(std::string_view first_bytes) = nullptr;
  FormatReader read = nullptr;
  const char* help = "";  // a line for the help text after the options; "" for none
  // The reader seeks (ByteSource::seek): an input that cannot seek is read into memory first.
  bool seeks = false;
};

using FormatTable = std::span<const FormatRow* const>;

// The rows, each defined with its reader. PLY is also what a -rp or -cpl file and
// every file of a list are read as when no row recognises them.
extern const FormatRow laz_format;
extern const FormatRow las_format;
extern const FormatRow ply_format;
extern const FormatRow pcd_format;
extern const FormatRow ptx_format;
extern const FormatRow pts_format;

// Every format, in the order they are tried: compressed LAS by its header, LAS
// by its signature, then PLY by its first line, then PCD by its header's looser
// rules, then the scanner texts by their numbers: PTX by its header, PTS by its
// count line.
FormatTable cloud_formats();

// The first row of `formats` that recognises the buffered bytes of `in`; null
// when none does or the data is empty. Only the first block is looked at and no
// byte is taken, so the reader chosen starts at byte 0.
const FormatRow* recognise_format(ByteSource& in, FormatTable formats = cloud_formats());

// The JSON name of the format a file was read as: the row's key, or "text".
const char* format_name(const FileFacts& facts);

// Reads `in` by `row`: the facts name the row; a row that seeks gets the rest of
// an input that cannot seek as a copy in memory. Failure::out_of_memory as well
// when that copy does not fit.
Failure read_by_row(const FormatRow& row, ByteSource& in, PointAppender& out, FileFacts& facts, int threads);

}  // namespace ptdelta
