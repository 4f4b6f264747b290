// byte_source.h - buffered bytes from a stream or from memory
// Readers pull bytes through it in large blocks; end of data is kept apart from a read error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace ptdelta {

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

  // Appends the rest of the current line, its '\n' included, to `line`.
  // False when nothing was left to read.
  bool read_line(std::string& line);
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
  std::int64_t file_size_ = -1;       // a regular file's size when the source was made, else -1
  std::int64_t file_consumed_ = 0;    // bytes read from the file into the buffer so far
};

}  // namespace ptdelta
