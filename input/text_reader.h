// text_reader.h - text clouds of x y z numbers, as scanners write them
// Heading lines skipped; rows of more than three numbers read by lines, anything else as a stream of "%f" numbers.
#pragma once

#include <cstdint>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/text_windows.h"

namespace ptdelta {

// How the numbers of a text cloud are taken.
enum class TextLayout {
  none,    // no data line: nothing to read
  stream,  // three numbers at a time, across line ends
  lines,   // the first three tokens of every line
};

struct TextReadResult {
  Failure failure = Failure::none;
  TextLayout layout = TextLayout::none;
  // The 1-based line where reading stopped before the end of the data (the
  // line of the first byte after the last stored point and the white space
  // after it); 0 when the cloud ran to the end of the data.
  std::int64_t stopped_at_line = 0;
};

// A token is a run of non-white-space bytes; it converts when "%f" takes all of
// it. Lines before the first whose first token converts (a data line) are
// skipped. When the first two data lines hold the same number of tokens, more
// than three, every line gives x y z from its first three tokens (the rest is
// ignored, blank lines are skipped) until a line whose first three tokens do
// not all convert. Otherwise the numbers from the first data line on are taken
// three at a time with "%f" rules until a group does not convert.
// Streams and lines are parsed on up to `threads` threads once the shift is
// known; the points and the stop line are the same for any number.
// Failure::out_of_memory when the store cannot grow, Failure::read_error when
// the source failed (not merely ended), otherwise Failure::none.
// `stream_window` is the bytes taken at a time by the threads (tests make it small).
TextReadResult read_text_cloud(ByteSource& in, PointAppender& out, int threads = 1,
                               std::size_t stream_window = text_window_bytes);

}  // namespace ptdelta
