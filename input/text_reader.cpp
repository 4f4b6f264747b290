#include "input/text_reader.h"

#include <new>
#include <string>
#include <string_view>

#include "input/coordinate.h"
#include "input/number_stream.h"
#include "input/scan_number.h"

namespace ptdelta {

namespace {

// How much of one line is looked at in a stream that may never end.
constexpr std::size_t unbounded_line_limit = std::size_t{1} << 20;

inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Splits `line` into tokens, calling take(token) for each until it returns false.
template <class Take>
void for_each_token(std::string_view line, Take take) {
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size()) return;
    const std::size_t begin = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    if (!take(line.substr(begin, i - begin))) return;
  }
}

struct LineShape {
  std::size_t tokens = 0;
  bool is_data = false;  // its first token converts
};

LineShape shape_of(std::string_view line) {
  LineShape shape;
  for_each_token(line, [&shape](std::string_view token) {
    if (shape.tokens++ == 0) {
      CoordinateReading ignored;
      shape.is_data = convert_whole_token(token, ReadPrecision::single, ignored);
    }
    return true;
  });
  return shape;
}

TextReadResult ended(const ByteSource& in, TextLayout layout) { return {in.end_state(), layout, 0}; }

TextReadResult stopped(const ByteSource& in, TextLayout layout) {
  if (const Failure f = in.end_state(); f != Failure::none) return {f, layout, 0};
  return {Failure::none, layout, in.marked_line()};
}

// Before each group the white space is taken and the position marked: where a
// group does not convert, that mark is the line reading stopped at.
TextReadResult read_stream(ByteSource& in, PointAppender& out, int threads, std::size_t window) {
  constexpr TextLayout layout = TextLayout::stream;
  // While the automatic shift is undecided, and on one thread with a shift.
  while (out.precision() == ReadPrecision::both || (threads < 2 && out.precision() == ReadPrecision::shifted)) {
    if (!in.skip_space()) return ended(in, layout);
    in.mark();
    const ReadPrecision p = out.precision();
    CoordinateReading x, y, z;
    if (!(scan_coordinate(in, p, x) && scan_coordinate(in, p, y) && scan_coordinate(in, p, z)))
      return stopped(in, layout);
    if (!out.add_reading(x, y, z)) return {Failure::out_of_memory, layout, 0};
  }
  if (threads > 1) {
    const NumberStreamEnd end = read_number_stream(in, out, threads, window);
    return {end.failure, layout, end.stopped_at_line};
  }
  // The hot loop: no shift, every value straight from "%f".
  for (float x = 0.0f, y = 0.0f, z = 0.0f;;) {
    if (!in.skip_space()) return ended(in, layout);
    in.mark();
    if (!(scan_float(in, x) && scan_float(in, y) && scan_float(in, z))) return stopped(in, layout);
    if (!out.add(x, y, z)) return {Failure::out_of_memory, layout, 0};
  }
}

TextReadResult read_lines(ByteSource& in, PointAppender& out) {
  constexpr TextLayout layout = TextLayout::lines;
  const std::size_t limit = in.bounded() ? SIZE_MAX : unbounded_line_limit;
  std::string line;
  for (;;) {
    line.clear();
    in.mark();
    if (!in.read_line(line, limit)) return ended(in, layout);
    // A line without an end in sight from a stream that may never end ends the cloud.
    if (line.size() >= limit && line.back() != '\n') return stopped(in, layout);
    const ReadPrecision p = out.precision();
    CoordinateReading xyz[3];
    std::size_t tokens = 0;
    bool converted = true;
    for_each_token(line, [&](std::string_view token) {
      converted = convert_whole_token(token, p, xyz[tokens]);
      return converted && ++tokens < 3;
    });
    if (tokens == 0 && converted) continue;  // a blank line
    if (tokens < 3) {
      // A line of one or two tokens, or one whose first three do not all convert.
      return stopped(in, layout);
    }
    if (!out.add_reading(xyz[0], xyz[1], xyz[2])) return {Failure::out_of_memory, layout, 0};
  }
}

}  // namespace

TextReadResult read_text_cloud(ByteSource& in, PointAppender& out, int threads, std::size_t stream_window) {
  try {
    // Look ahead as far as the second data line; heading lines are dropped,
    // the data lines (and what lies between them) are put back to be read.
    // A stream that may never end (a device, a pipe) may hold a line that never
    // ends either (/dev/zero): there a line is looked at up to a limit, and the
    // look-ahead stops at such a line as if the data ended there.
    const std::size_t limit = in.bounded() ? SIZE_MAX : unbounded_line_limit;
    std::string line, ahead;
    LineShape first, second;
    while (!second.is_data) {
      line.clear();
      if (!in.read_line(line, limit)) break;
      const bool cut = line.size() >= limit && line.back() != '\n';
      const LineShape shape = shape_of(line);
      if (!first.is_data) {
        if (!shape.is_data) {
          if (cut) break;
          continue;
        }
        first = shape;
      } else if (shape.is_data) {
        second = shape;
      }
      ahead += line;
      if (cut) break;
    }
    if (in.failed()) return {Failure::read_error, TextLayout::none, 0};
    if (!first.is_data) return {};
    in.unread(ahead);
    ahead = std::string();
    line = std::string();
    if (second.is_data && first.tokens == second.tokens && first.tokens > 3) return read_lines(in, out);
    return read_stream(in, out, threads, stream_window);
  } catch (const std::bad_alloc&) {
    return {Failure::out_of_memory, TextLayout::none, 0};
  }
}

}  // namespace ptdelta
