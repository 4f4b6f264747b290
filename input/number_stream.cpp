#include "input/number_stream.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "input/scan_number.h"

namespace ptdelta {

namespace {

// White space as the classic locale's isspace sees it, as the scanner has it.
inline bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::int64_t count_newlines(const char* b, const char* e) { return std::count(b, e, '\n'); }

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

void parse_chunk(const std::string& window, Chunk& c, bool wide) {
  const char* const base = window.data();
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
  in.mark();
  std::int64_t window_line = in.marked_line();  // the line the window's first byte is on
  if (window_line < 1) window_line = 1;

  // A group split across chunks or windows waits here, with the line its first
  // number starts on.
  float single_group[3] = {0.0f, 0.0f, 0.0f};
  double wide_group[3] = {0.0, 0.0, 0.0};
  int in_group = 0;
  std::int64_t group_line = 0;

  const int workers = threads < 1 ? 1 : threads;
  const std::size_t chunk_count_wanted = static_cast<std::size_t>(workers) * 4;
  std::string window;  // the bytes carried over (a token cut by the window's end), then the new ones
  std::vector<Chunk> chunks;
  for (;;) {
    // Fill the window; when it holds no white space but more may come, it is
    // one long token and takes more bytes until it ends.
    bool at_end = false;
    std::size_t cut = 0;
    for (std::size_t want = window_bytes;; want *= 2) {
      const std::size_t had = window.size();
      window.resize(had + want);
      const std::size_t got = in.read_bytes(window.data() + had, want);
      window.resize(had + got);
      if (got < want) at_end = true;
      if (at_end) {
        cut = window.size();
        break;
      }
      const auto last_space = std::find_if(window.rbegin(), window.rend(), is_space);
      if (last_space != window.rend()) {
        cut = static_cast<std::size_t>(window.rend() - last_space);  // just after it
        break;
      }
    }
    if (const Failure f = in.end_state(); f != Failure::none) return {f, 0};

    // Chunks end just after a white space byte (or at the cut), so no token is split.
    // A few chunks a thread, none much smaller than a 64th of a window.
    const std::size_t smallest = std::max<std::size_t>(1, window_bytes / 64);
    chunks.assign(std::max<std::size_t>(1, std::min(chunk_count_wanted, cut / smallest + 1)), Chunk{});
    std::size_t begin = 0;
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      std::size_t end = k + 1 == chunks.size() ? cut : std::max(begin, cut / chunks.size() * (k + 1));
      while (end < cut && (end == 0 || !is_space(window[end - 1]))) ++end;
      chunks[k].begin = begin;
      chunks[k].end = end;
      begin = chunks[k].end;
    }
    run_chunks(static_cast<std::int64_t>(chunks.size()), workers,
               [&](std::int64_t k) { parse_chunk(window, chunks[static_cast<std::size_t>(k)], wide); });

    // Join in order: every complete group is appended, up to the first chunk
    // that did not convert to its end.
    const auto line_of = [&](std::size_t at) { return window_line + count_newlines(window.data(), window.data() + at); };
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
        group_line = line_of(c.last_starts[in_group - 1]);
      if (c.failed) {
        if (c.out_of_memory) return {Failure::out_of_memory, 0};
        return {Failure::none, in_group > 0 ? group_line : line_of(c.failed_at)};
      }
    }
    if (at_end) return {Failure::none, in_group > 0 ? group_line : 0};
    window_line += count_newlines(window.data(), window.data() + cut);
    window.erase(0, cut);
  }
}

}  // namespace ptdelta
