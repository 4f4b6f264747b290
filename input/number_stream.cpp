#include "input/number_stream.h"

#include <vector>

#include "core/parallel.h"
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

  // A group split across chunks or windows waits here, with the line its first
  // number starts on.
  float single_group[3] = {0.0f, 0.0f, 0.0f};
  double wide_group[3] = {0.0, 0.0, 0.0};
  int in_group = 0;
  std::int64_t group_line = 0;

  const int workers = threads < 1 ? 1 : threads;
  std::vector<Chunk> chunks;
  for (;;) {
    // A window without white space is one long token: it grows until the token ends.
    if (const Failure f = window.fill(); f != Failure::none) return {f, 0};
    const std::vector<std::size_t>& ends = window.chunk_ends();
    chunks.assign(ends.size(), Chunk{});
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      chunks[k].begin = window.chunk_begin(k);
      chunks[k].end = ends[k];
    }
    run_chunks(static_cast<std::int64_t>(chunks.size()), workers, [&](std::int64_t k) {
      parse_chunk(window.data(), chunks[static_cast<std::size_t>(k)], wide);
    });

    // Join in order: every complete group is appended, up to the first chunk
    // that did not convert to its end.
    for (const Chunk& c : chunks) {
      for (std::size_t i = 0; i < c.count; ++i) {
        if (wide) {
          wide_group[in_group] = c.wide[i];
        } else {
          single_group[in_group] = c.single[i];
        }
        if (++in_group == 3) {
          in_group = 0;
          const bool stored = wide ? out.add_double(wide_group[0], wide_group[1], wide_group[2])
                                   : out.add(single_group[0], single_group[1], single_group[2]);
          if (!stored) return {Failure::out_of_memory, 0};
        }
      }
      // A group still open at the end of the chunk began at one of its last two
      // numbers, unless it began in an earlier chunk (its line is then known).
      if (in_group > 0 && static_cast<std::size_t>(in_group) <= c.count)
        group_line = window.line_of(c.last_starts[in_group - 1]);
      if (c.failed) {
        if (c.out_of_memory) return {Failure::out_of_memory, 0};
        return {Failure::none, in_group > 0 ? group_line : window.line_of(c.failed_at)};
      }
    }
    if (window.at_end()) return {Failure::none, in_group > 0 ? group_line : 0};
    window.drop_before(window.cut());
  }
}

}  // namespace ptdelta
