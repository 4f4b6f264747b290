// header_line.h - one line of a header from a byte source, however long it is
// Keeps the first bytes of a line, takes the rest, and stops at a limit where the line or the header may never end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "input/byte_source.h"

namespace ptdelta {

struct HeaderLineLimits {
  // Bytes of a line kept in `line`, its '\n' counted; the rest of the line is
  // taken and dropped.
  std::size_t keep = SIZE_MAX;
  // A line with more bytes than this before its '\n' (or before the end of the
  // data) is refused.
  std::size_t max_length = SIZE_MAX;
  // Bytes that this and the following lines may still take together, '\n'
  // bytes counted; lowered by every line read.
  std::size_t allowance = SIZE_MAX;
};

enum class HeaderLineEnd {
  line,        // a line, ended by '\n' or by the end of the data
  no_data,     // nothing was left to read (or a read failed first)
  over_limit,  // the line would break max_length or the allowance; it is not read further, `line` is empty
};

struct HeaderLine {
  HeaderLineEnd end = HeaderLineEnd::no_data;
  bool cut = false;  // the line, its '\n' counted, had more than `keep` bytes
};

// Takes the next line, '\n' included, and leaves its first limits.keep bytes in
// `line` (replacing what it held). A line over a limit is left as soon as that
// is seen, without reading another block: a stream that never ends is not waited for.
HeaderLine read_header_line(ByteSource& in, std::string& line, HeaderLineLimits& limits);

}  // namespace ptdelta
