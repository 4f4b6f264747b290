// text_windows.h - the bytes of a source taken a window at a time, each cut into chunks for threads
// A window ends just after a boundary byte (white space, or a line end), so no token or line is split; chunk edges follow from sizes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "input/byte_source.h"

namespace ptdelta {

// The bytes taken at a time by the readers that parse on several threads: small
// enough that a chunk of it is still in the cache when its thread parses it.
inline constexpr std::size_t text_window_bytes = std::size_t{1} << 20;

// White space as the classic locale's isspace sees it, as the scanners have it.
inline bool is_text_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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
  // cuts the window just after its last boundary byte (at its end when the data
  // ended). A window without a boundary byte takes more bytes, twice as many
  // each time, until one comes, the data ends, or it holds more than
  // `most_without_cut` bytes (it then has no cut: has_cut() is false).
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

}  // namespace ptdelta
