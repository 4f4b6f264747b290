// byte_source.h - buffered bytes from a stream or from memory
// Readers pull bytes through it in large blocks; end of data is kept apart from a read error, lines are counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/failure.h"

namespace ptdelta {

// How many '\n' bytes [b, e) holds.
std::int64_t count_line_ends(const char* b, const char* e);

class ByteSource {
 public:
  // Reads `file` (a regular file, a pipe, a terminal) in blocks of `block_size`
  // bytes. The source does not own or close the stream.
  explicit ByteSource(std::FILE* file, std::size_t block_size = std::size_t{1} << 20);
  // The bytes [data, data + size); no copy is made, they must outlive the source.
  ByteSource(const void* data, std::size_t size);

  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  // The next byte (0 to 255) without taking it, or -1 at the end of the data.
  int peek() {
    if (cur_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*cur_);
  }
  // Takes the byte that peek() returned; only after a peek() that was not -1.
  void advance() { ++cur_; }
  int get() {
    const int c = peek();
    if (c >= 0) ++cur_;
    return c;
  }

  // Appends the rest of the current line, its '\n' included, to `line`, or
  // only its first `limit` bytes when it is longer. False when nothing was left
  // to read.
  bool read_line(std::string& line, std::size_t limit = SIZE_MAX);
  // A header's count of records of `record_bytes` each, no more than the bytes
  // left could hold (a 2^20 guess when that is not known): what a reader may
  // reserve without trusting the header.
  std::int64_t records_that_fit(std::int64_t declared, std::int64_t record_bytes) const;
  // Takes `n` bytes; false when the data ends first.
  bool skip_bytes(std::uint64_t n);
  // The next `size` bytes as one record: in place in the buffer, or copied into
  // `straddling` (resized to `size`) when they straddle two blocks. Null when
  // the data ends first.
  const char* next_record(std::size_t size, std::vector<char>& straddling);
  // Copies up to `size` bytes; returns how many were copied (fewer only at the end).
  std::size_t read_bytes(void* out, std::size_t size);

  // The bytes buffered and not yet taken: [cursor(), buffer_end()). Fast paths
  // may scan them directly and then skip(n) what they consumed.
  const char* cursor() const { return cur_; }
  const char* buffer_end() const { return end_; }
  void skip(std::size_t n) { cur_ += n; }
  // Reads the next block when the buffer is used up; false at the end of data.
  bool refill();

  // True once a read failed with an error (not at the end of the data).
  bool failed() const { return failed_; }
  // False for a stream that may never end (a device such as /dev/zero, a pipe, a
  // terminal): a reader must not wait for an end that may not come. Memory and
  // regular files are bounded.
  bool bounded() const { return bounded_; }

  // Takes white space (as the classic locale's isspace sees it); false when the
  // data ends first.
  bool skip_space();

  // Remembers the current position, for marked_line(). Cheap (a pointer): the
  // line is only worked out when a block is used up or when it is asked for.
  void mark() { mark_ = cur_; }
  // The 1-based line of the marked position: one more than the '\n' bytes taken
  // before it, from the first byte of the data on. 0 when nothing was marked.
  std::int64_t marked_line() const;

  // Keeps a copy of every byte taken from now on in `into`, until stop_recording().
  void start_recording(std::string& into) {
    recording_ = &into;
    recorded_from_ = cur_;
  }
  void stop_recording() {
    recording_->append(recorded_from_, cur_);
    recording_ = nullptr;
  }

  // Puts `bytes` back in front of what is left, as if they had not been taken
  // yet (a reader that looked ahead). Lines count on as before; a mark is lost.
  void unread(const std::string& bytes);

  // Set by a scanner that could not get the memory to hold what it was reading
  // (a token too long to copy); the reader then reports the memory failure
  // rather than an ordinary end of its data.
  void mark_out_of_memory() { out_of_memory_ = true; }
  bool out_of_memory() const { return out_of_memory_; }

  // How the data ended for a reader that stopped: the memory failure, a read
  // error, or Failure::none (the end of the data, or something not convertible).
  Failure end_state() const {
    if (out_of_memory_) return Failure::out_of_memory;
    return failed_ ? Failure::read_error : Failure::none;
  }

  // Positioned reads: memory and regular files can seek, streams (a pipe, a
  // terminal, a device) cannot.
  bool seekable() const { return seekable_; }
  // The bytes taken so far from the start of the data (where a file stood when
  // the source was made), bytes put back by unread() not counted.
  std::int64_t position() const;
  // Moves to `offset` bytes from the start of the data: what was buffered or put
  // back is dropped, a mark is lost, and lines count on from the new position as
  // they would had every byte before it been taken. False, and nothing changed,
  // when the source cannot seek or `offset` lies beyond the end of the data
  // (memory, or a regular file's size when the source was made); a failed seek
  // of the file itself is a read error.
  bool seek(std::uint64_t offset);

  // How many bytes are left to take when that is known (memory, a regular file
  // whose size was had when the source was made), otherwise -1. Readers use it
  // only to bound what a header's count lets them reserve.
  std::int64_t remaining_size() const;

 private:
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> block_;
  std::size_t block_size_ = 0;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  bool failed_ = false;

  // Line counting: '\n' bytes before counted_from_ (in earlier blocks, or
  // already put back), and the line of a mark once its block is gone.
  const char* counted_from_ = nullptr;
  std::int64_t newlines_before_ = 0;
  const char* mark_ = nullptr;
  std::int64_t marked_line_ = 0;
  std::string front_;  // bytes put back by unread(), served before the rest
  bool serving_front_ = false;
  std::string* recording_ = nullptr;
  const char* recorded_from_ = nullptr;
  void fold_counts();

  bool out_of_memory_ = false;
  bool bounded_ = true;
  std::int64_t file_size_ = -1;       // a regular file's size when the source was made, else -1
  std::int64_t file_consumed_ = 0;    // bytes read from the file into the buffer so far
  const char* memory_ = nullptr;      // a memory source: its first byte
  std::int64_t data_size_ = 0;        // a memory source's size
  std::int64_t origin_ = 0;           // a file's position when the source was made: offset 0
  bool seekable_ = true;
  // After a seek in a file: the '\n' bytes before the new position are counted
  // only when a line is asked for (reading them back costs as much as the skip saved).
  std::uint64_t uncounted_before_ = 0;
  mutable std::int64_t uncounted_newlines_ = -1;  // their count once worked out
  std::int64_t newlines_skipped() const;
};

// The rest of `in` (from its next byte to the end of the data) appended to
// `into`, for a reader that must seek in a stream that cannot. Failure::none,
// Failure::out_of_memory when it does not fit in memory, or Failure::read_error.
Failure read_rest(ByteSource& in, std::string& into);

}  // namespace ptdelta
