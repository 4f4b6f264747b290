// cloud_format.h - which kind of cloud a file holds, told by its first bytes, and what its reader found
// Recognition only looks at buffered bytes; it never takes any, so the reader chosen starts at byte 0.
#pragma once

#include <cstdint>
#include <optional>

#include "input/byte_source.h"

namespace ptdelta {

enum class CloudFormat {
  text,  // x y z numbers
  ply,
  pcd,
  las,
  list,  // a -cp list of cloud files (each file has its own format)
};

// "text", "ply", "pcd", "las", "list".
const char* format_name(CloudFormat format);

// PLY when the first line is "ply"; LAS when the file starts with "LASF"; PCD
// when the first line starts with "# .PCD" or the first line that is neither
// blank nor a '#' comment starts with the word VERSION or FIELDS. Nothing for
// anything else (the option's own reader then reads it as it always has).
// Only the bytes of the first block are looked at; none is taken from `in`.
std::optional<CloudFormat> recognise_format(ByteSource& in);

// What a reader found besides the points it stored.
struct ReadFacts {
  CloudFormat format = CloudFormat::text;
  std::int64_t skipped_points = 0;  // records without coordinates (x, y or z NaN): not stored
  bool ended_early = false;         // the body ended before the header's count of points
  std::int64_t complete_points = 0; // when ended early: the complete records the body held
  std::int64_t declared_points = 0; // when ended early: the header's count
  // Text clouds and nine-field PLY rows: the 1-based line where reading stopped
  // before the end of the data; 0 when it ran to the end.
  std::int64_t stopped_at_line = 0;
  // A declared PLY vertex element that ended before its count.
  bool vertices_short = false;
  std::int64_t vertices_read = 0, vertices_declared = 0;
};

}  // namespace ptdelta
