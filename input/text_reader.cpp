#include "input/text_reader.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/coordinate.h"
#include "input/number_stream.h"
#include "input/room_for_rest.h"
#include "input/scan_number.h"
#include "input/text_tokens.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

// How much of one line is looked at in a stream that may never end.
constexpr std::size_t unbounded_line_limit = std::size_t{1} << 20;

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
// group does not convert, that mark is the line reading stopped at. With
// `only_undecided`, only while the automatic shift is undecided.
TextReadResult read_stream_serially(ByteSource& in, PointAppender& out, bool only_undecided) {
  constexpr TextLayout layout = TextLayout::stream;
  RoomForRest room(in, out);
  while (out.precision() == ReadPrecision::both || (!only_undecided && out.precision() == ReadPrecision::shifted)) {
    if (!in.skip_space()) return ended(in, layout);
    in.mark();
    const ReadPrecision p = out.precision();
    CoordinateReading x, y, z;
    if (!(scan_coordinate(in, p, x) && scan_coordinate(in, p, y) && scan_coordinate(in, p, z)))
      return stopped(in, layout);
    if (!out.add_reading(x, y, z)) return {Failure::out_of_memory, layout, 0};
    room.check(in, out);
  }
  if (only_undecided) return {Failure::none, layout, 0};
  // The hot loop: no shift, every value straight from "%f".
  for (float x = 0.0f, y = 0.0f, z = 0.0f;;) {
    if (!in.skip_space()) return ended(in, layout);
    in.mark();
    if (!(scan_float(in, x) && scan_float(in, y) && scan_float(in, z))) return stopped(in, layout);
    if (!out.add(x, y, z)) return {Failure::out_of_memory, layout, 0};
    room.check(in, out);
  }
}

TextReadResult read_stream(ByteSource& in, PointAppender& out, int threads, std::size_t window) {
  // The threads find the stop line themselves: nothing is left for one thread.
  return read_threaded_once_shift_known(
      out, threads, [&](bool only_undecided) { return read_stream_serially(in, out, only_undecided); },
      [&]() -> std::optional<TextReadResult> {
        const NumberStreamEnd end = read_number_stream(in, out, threads, window);
        return TextReadResult{end.failure, TextLayout::stream, end.stopped_at_line};
      });
}

// With `only_undecided`, only while the automatic shift is undecided (the
// threads take over once it is known).
TextReadResult read_lines_serially(ByteSource& in, PointAppender& out, bool only_undecided) {
  constexpr TextLayout layout = TextLayout::lines;
  const std::size_t limit = in.bounded() ? SIZE_MAX : unbounded_line_limit;
  std::string line;
  RoomForRest room(in, out);
  for (;;) {
    if (only_undecided && out.precision() != ReadPrecision::both) return {Failure::none, layout, 0};
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
    room.check(in, out);
  }
}

// The lines of each chunk read as read_lines_serially reads them, up to the
// first that does not give a point; at that line (or a line too long to look
// at whole) the bytes from its start are put back, for the serial loop to stop
// there as it always did.
class LineReader {
 public:
  struct Chunk {
    std::size_t begin = 0, end = 0;  // in the window
    std::vector<float> single;
    std::vector<double> wide;
    bool stopped = false;
    std::size_t stopped_at = 0;  // the first byte of that line

    void start(std::size_t b, std::size_t e) {
      begin = b;
      end = e;
      single.clear();
      wide.clear();
      stopped = false;
    }
  };

  LineReader(PointAppender& out, std::size_t limit) : out_(out), p_(out.precision()), limit_(limit) {}

  void parse(const TextWindows& window, Chunk& c) const {
    const char* const base = window.data();
    const char* at = base + c.begin;
    const char* const end = base + c.end;
    while (at != end) {
      const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
      const char* const line_end = newline != nullptr ? newline : end;
      const std::string_view line(at, static_cast<std::size_t>(line_end - at));
      CoordinateReading xyz[3];
      std::size_t tokens = 0;
      bool converted = true;
      // A line as long as the limit is never whole to the serial loop.
      if (line.size() < limit_) {
        for_each_token(line, [&](std::string_view token) {
          converted = convert_whole_token(token, p_, xyz[tokens]);
          return converted && ++tokens < 3;
        });
      }
      if (line.size() >= limit_ || (tokens < 3 && !(tokens == 0 && converted))) {
        c.stopped = true;
        c.stopped_at = static_cast<std::size_t>(at - base);
        return;
      }
      if (tokens == 3) {
        for (const CoordinateReading& v : xyz) {
          if (p_ == ReadPrecision::shifted) {
            c.wide.push_back(v.wide);
          } else {
            c.single.push_back(v.single);
          }
        }
      }
      at = newline != nullptr ? newline + 1 : end;
    }
  }

  WindowStep join(const Chunk& c, const TextWindows&) {
    const bool stored = p_ == ReadPrecision::shifted ? out_.add_double_block(c.wide.data(), c.wide.size() / 3)
                                                     : out_.add_block(c.single.data(), c.single.size() / 3);
    if (!stored) return WindowStep::done(Failure::out_of_memory);
    return c.stopped ? WindowStep::put_back(c.stopped_at) : WindowStep::go_on();
  }

 private:
  PointAppender& out_;
  ReadPrecision p_;
  std::size_t limit_;
};

TextReadResult read_lines(ByteSource& in, PointAppender& out, int threads, std::size_t window) {
  return read_threaded_once_shift_known(
      out, threads, [&](bool only_undecided) { return read_lines_serially(in, out, only_undecided); },
      [&]() -> std::optional<TextReadResult> {
        // A window without a line end within the limit goes back whole.
        const std::size_t limit = in.bounded() ? SIZE_MAX : unbounded_line_limit;
        LineReader reader(out, limit);
        if (const Failure f = read_in_windows(in, {window, WindowCut::line_end, limit}, threads, reader);
            f != Failure::none)
          return TextReadResult{f, TextLayout::lines, 0};
        // What the threads left: the line that stops the cloud, or nothing.
        return std::nullopt;
      });
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
    if (second.is_data && first.tokens == second.tokens && first.tokens > 3) return read_lines(in, out, threads, stream_window);
    return read_stream(in, out, threads, stream_window);
  } catch (const std::bad_alloc&) {
    return {Failure::out_of_memory, TextLayout::none, 0};
  }
}

}  // namespace ptdelta
