// text_windows.h - text read a window at a time, each window cut into chunks parsed on threads and joined in order
// A window ends just after a boundary byte (white space, or a line end), so no token or line is split; chunk edges follow from sizes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/parallel.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/text_tokens.h"

namespace ptdelta {

// The bytes taken at a time by the readers that parse on several threads: small
// enough that a chunk of it is still in the cache when its thread parses it.
inline constexpr std::size_t text_window_bytes = std::size_t{1} << 20;

// What may end a window or a chunk.
enum class WindowCut {
  space,     // any white space byte: tokens are whole
  line_end,  // '\n': lines are whole
};

class TextWindows {
 public:
  // Reads `in` from its current position in windows of about `window_bytes`.
  TextWindows(ByteSource& in, std::size_t window_bytes, WindowCut at);

  // Appends the next bytes of the source to those kept from the last window and
  // cuts the window just after its last boundary byte among the new ones (at its
  // end when the data ended): the cut always lies past the kept bytes, so a
  // window that kept an open group of tokens moves on. Without a boundary byte
  // in them it takes more bytes, twice as many each time, until one comes, the
  // data ends, or it holds more than `most_without_cut` bytes (it then has no
  // cut: has_cut() is false).
  // Failure::read_error or out_of_memory from the source, otherwise none.
  Failure fill(std::size_t most_without_cut = SIZE_MAX);

  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  // Where the window is cut: [0, cut()) holds whole tokens (lines); the bytes
  // after it wait for the next window.
  std::size_t cut() const { return cut_; }
  bool has_cut() const { return has_cut_; }
  // True when the source has no bytes after this window.
  bool at_end() const { return at_end_; }

  // [0, cut()) in chunks, each ending just after a boundary byte (the last at
  // the cut). Their sizes follow from the window size alone, never from a
  // thread count. Chunk k is [chunk_ends()[k-1], chunk_ends()[k]), the first from 0.
  const std::vector<std::size_t>& chunk_ends() const { return chunk_ends_; }
  std::size_t chunk_begin(std::size_t k) const { return k == 0 ? 0 : chunk_ends_[k - 1]; }

  // The 1-based line of the window's byte `at`.
  std::int64_t line_of(std::size_t at) const;

  // Drops the window's bytes before `from` (those read); the next fill()
  // appends to the rest.
  void drop_before(std::size_t from);
  // Gives the window's bytes from `from` on back to the source, to be read
  // again from there (line numbers included); the window is then empty.
  void put_back(std::size_t from);

 private:
  bool is_boundary(char c) const { return at_ == WindowCut::space ? is_text_space(c) : c == '\n'; }
  void split();

  ByteSource* in_;
  std::size_t window_bytes_;
  WindowCut at_;
  std::string bytes_;
  std::size_t cut_ = 0;
  bool has_cut_ = false;
  bool at_end_ = false;
  std::int64_t first_line_ = 1;  // the line of the window's first byte
  std::vector<std::size_t> chunk_ends_;
};

// What the join makes of a chunk, or of a window once all its chunks went on.
struct WindowStep {
  enum class Kind {
    go_on,     // the next chunk (after the last one: the next window, from the cut)
    done,      // reading ends here, with `failure`; the window's other bytes are dropped
    put_back,  // reading ends; the bytes from `at` on go back into the source
    carry,     // the window's bytes from `at` on wait for the next window, the chunks after are dropped
  };
  Kind kind = Kind::go_on;
  std::size_t at = 0;  // put_back, carry: an offset in the window
  Failure failure = Failure::none;

  static WindowStep go_on() { return {}; }
  static WindowStep done(Failure f = Failure::none) { return {Kind::done, 0, f}; }
  static WindowStep put_back(std::size_t at) { return {Kind::put_back, at, Failure::none}; }
  static WindowStep carry(std::size_t at) { return {Kind::carry, at, Failure::none}; }
};

struct WindowPlan {
  std::size_t bytes = text_window_bytes;  // taken from the source at a time
  WindowCut cut = WindowCut::space;
  // A window that holds more bytes than this without a boundary byte ends the
  // reading, its bytes put back into the source (a line too long to look at).
  std::size_t most_without_cut = SIZE_MAX;
};

// Reads `in` from its current position in windows on `threads` threads. The
// reader gives:
//   typename Reader::Chunk, with start(begin, end): made empty (keeping its
//       room) for the window's bytes [begin, end);
//   void prepare(std::vector<Chunk>&, const TextWindows&)  (optional): called
//       once the chunks are started and before any is parsed;
//   void parse(const TextWindows&, Chunk&) const: on any thread, touching
//       nothing but the chunk;
//   WindowStep join(const Chunk&, const TextWindows&): the chunks in order;
//   WindowStep end_window(const TextWindows&)  (optional, else go_on): after
//       the last chunk of a window went on.
// A window that goes on or carries at the end of the data ends the reading;
// bytes carried then go back into the source. Returns a fill's failure (read
// error, out of memory) or the failure a `done` step names. Throws
// std::bad_alloc.
template <class Reader>
Failure read_in_windows(ByteSource& in, const WindowPlan& plan, int threads, Reader& reader) {
  using Chunk = typename Reader::Chunk;
  const int workers = threads < 1 ? 1 : threads;
  TextWindows window(in, plan.bytes, plan.cut);
  std::vector<Chunk> chunks;  // kept from window to window, so their room is had once
  for (;;) {
    if (const Failure f = window.fill(plan.most_without_cut); f != Failure::none) return f;
    if (!window.has_cut()) {
      window.put_back(0);
      return Failure::none;
    }
    const std::vector<std::size_t>& ends = window.chunk_ends();
    chunks.resize(ends.size());
    for (std::size_t k = 0; k < chunks.size(); ++k) chunks[k].start(window.chunk_begin(k), ends[k]);
    if constexpr (requires { reader.prepare(chunks, window); }) reader.prepare(chunks, window);
    run_chunks(static_cast<std::int64_t>(chunks.size()), workers,
               [&](std::int64_t k) { reader.parse(window, chunks[static_cast<std::size_t>(k)]); });

    WindowStep step;
    for (const Chunk& c : chunks) {
      step = reader.join(c, window);
      if (step.kind != WindowStep::Kind::go_on) break;
    }
    if (step.kind == WindowStep::Kind::go_on) {
      if constexpr (requires { reader.end_window(window); }) step = reader.end_window(window);
    }
    switch (step.kind) {
      case WindowStep::Kind::done:
        return step.failure;
      case WindowStep::Kind::put_back:
        window.put_back(step.at);
        return Failure::none;
      case WindowStep::Kind::go_on:
        step.at = window.cut();
        break;
      case WindowStep::Kind::carry:
        break;
    }
    if (window.at_end()) {
      if (step.at < window.size()) window.put_back(step.at);
      return Failure::none;
    }
    window.drop_before(step.at);
  }
}

// How much a reader's result says about the failure.
inline Failure failure_of(Failure f) { return f; }
template <class Result>
Failure failure_of(const Result& r) {
  return r.failure;
}

// Reads with one thread while the automatic shift is undecided (the values
// then convert twice, which only the one-thread reader does), then on
// `threads` threads, then with one thread again for what the threads left.
//   serial(only_undecided): the one-thread reader from where reading is; with
//       true it returns as soon as the shift is decided;
//   threaded(): the threads' part; a result when it ended the reading itself,
//       otherwise nullopt (the one-thread reader goes on from where it left off).
// With fewer than two threads, serial(false) does it all.
template <class Serial, class Threaded>
auto read_threaded_once_shift_known(const PointAppender& out, int threads, Serial serial, Threaded threaded)
    -> decltype(serial(false)) {
  if (threads < 2) return serial(false);
  // Still undecided when it returns: the data ended or stopped converting.
  auto r = serial(true);
  if (failure_of(r) != Failure::none || out.precision() == ReadPrecision::both) return r;
  if (auto ended = threaded()) return *ended;
  return serial(false);
}

}  // namespace ptdelta
