// number_stream.h - a stream of "%f" numbers taken three at a time, parsed on several threads
// The bytes are cut at white space into chunks parsed at once and joined in order: the same points and stop line as one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/text_windows.h"

namespace ptdelta {

struct NumberStreamEnd {
  Failure failure = Failure::none;
  // The 1-based line of the first byte of the first group that did not
  // convert completely (white space before it skipped); 0 when the numbers ran
  // to the end of the data in whole groups.
  std::int64_t stopped_at_line = 0;
};

// Takes the rest of `in` as numbers three at a time, each converted as the
// appender's precision asks (single: "%f"; shifted: "%lf"; it must not be
// `both`), and appends every complete group before the first that does not
// convert. The source's bytes are read in windows of `window_bytes` (more when
// one token is longer), cut at white space into chunks that `threads` threads
// parse at once; a token never spans two chunks, and every chunk starts after
// white space, so each number converts exactly as in one pass over the bytes.
// Throws std::bad_alloc.
NumberStreamEnd read_number_stream(ByteSource& in, PointAppender& out, int threads,
                                   std::size_t window_bytes = text_window_bytes);

}  // namespace ptdelta
