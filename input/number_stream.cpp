#include "input/number_stream.h"

#include <utility>
#include <vector>

#include "core/parallel.h"
#include "input/room_for_rest.h"
#include "input/scan_number.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

// What one chunk held: its numbers in order up to the first token that does not
// convert, and where its last two numbers and that token start.
struct Chunk {
  std::size_t begin = 0, end = 0;  // in the window
  std::vector<float> single;
  std::vector<double> wide;
  std::size_t count = 0;
  std::size_t last_starts[2] = {0, 0};  // [0] the last number's start, [1] the one before
  bool failed = false;                  // a token did not convert
  std::size_t failed_at = 0;            // that token's first byte
  bool out_of_memory = false;
};

void parse_chunk(const char* base, Chunk& c, bool wide) {
  ByteSource in(base + c.begin, c.end - c.begin);
  for (;;) {
    if (!in.skip_space()) return;
    const auto start = static_cast<std::size_t>(in.cursor() - base);
    bool converted;
    if (wide) {
      double v = 0.0;
      converted = scan_double(in, v);
      if (converted) c.wide.push_back(v);
    } else {
      float v = 0.0f;
      converted = scan_float(in, v);
      if (converted) c.single.push_back(v);
    }
    if (!converted) {
      c.failed = true;
      c.failed_at = start;
      c.out_of_memory = in.out_of_memory();
      return;
    }
    c.last_starts[1] = c.last_starts[0];
    c.last_starts[0] = start;
    ++c.count;
  }
}

}  // namespace

NumberStreamEnd read_number_stream(ByteSource& in, PointAppender& out, int threads, std::size_t window_bytes) {
  const bool wide = out.precision() == ReadPrecision::shifted;
  TextWindows window(in, window_bytes, WindowCut::space);

  // A group split across chunks or windows waits here. Where its first number
  // starts is kept as an offset in the window while it is there, and turned into
  // a line only when needed (at the end, or when the window moves on): counting
  // lines for every chunk would go over the window once a chunk.
  float single_group[3] = {0.0f, 0.0f, 0.0f};
  double wide_group[3] = {0.0, 0.0, 0.0};
  int in_group = 0;
  std::size_t group_at = 0;     // in the current window, unless group_line is set
  std::int64_t group_line = 0;  // the line of a group that began in an earlier window
  const auto open_group_line = [&] { return group_line > 0 ? group_line : window.line_of(group_at); };
  const auto take = [&](const Chunk& c, std::size_t i) {
    if (wide) {
      wide_group[in_group] = c.wide[i];
    } else {
      single_group[in_group] = c.single[i];
    }
    if (++in_group < 3) return true;
    in_group = 0;
    return wide ? out.add_double(wide_group[0], wide_group[1], wide_group[2])
                : out.add(single_group[0], single_group[1], single_group[2]);
  };

  RoomForRest room(in, out);
  const int workers = threads < 1 ? 1 : threads;
  std::vector<Chunk> chunks;  // kept from window to window, so their numbers' room is had once
  for (;;) {
    // A window without white space is one long token: it grows until the token ends.
    if (const Failure f = window.fill(); f != Failure::none) return {f, 0};
    const std::vector<std::size_t>& ends = window.chunk_ends();
    chunks.resize(ends.size());
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      Chunk& c = chunks[k];
      c.single.clear();
      c.wide.clear();
      c = Chunk{window.chunk_begin(k), ends[k], std::move(c.single), std::move(c.wide)};
    }
    run_chunks(static_cast<std::int64_t>(chunks.size()), workers, [&](std::int64_t k) {
      parse_chunk(window.data(), chunks[static_cast<std::size_t>(k)], wide);
    });

    // Join in order: every complete group is appended, up to the first chunk
    // that did not convert to its end.
    for (const Chunk& c : chunks) {
      // The group left open by the chunks before, then whole groups, then what is left.
      std::size_t i = 0;
      while (in_group > 0 && i < c.count)
        if (!take(c, i++)) return {Failure::out_of_memory, 0};
      const std::size_t whole = (c.count - i) / 3;
      if (!(wide ? out.add_double_block(c.wide.data() + i, whole) : out.add_block(c.single.data() + i, whole)))
        return {Failure::out_of_memory, 0};
      i += 3 * whole;
      for (; i < c.count; ++i)
        if (!take(c, i)) return {Failure::out_of_memory, 0};
      // A group still open at the end of the chunk began at one of its last two
      // numbers, unless it began in an earlier chunk (where it is then known).
      if (in_group > 0 && static_cast<std::size_t>(in_group) <= c.count) {
        group_at = c.last_starts[in_group - 1];
        group_line = 0;
      }
      if (c.failed) {
        if (c.out_of_memory) return {Failure::out_of_memory, 0};
        return {Failure::none, in_group > 0 ? open_group_line() : window.line_of(c.failed_at)};
      }
    }
    room.check(in, out);
    if (window.at_end()) return {Failure::none, in_group > 0 ? open_group_line() : 0};
    if (in_group > 0) group_line = open_group_line();
    window.drop_before(window.cut());
  }
}

}  // namespace ptdelta
