// byte_source.h - buffered bytes from a stream or from memory
// Readers pull bytes through it in large blocks; end of data is kept apart from a read error.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

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

  // Set by a scanner that could not get the memory to hold what it was reading
  // (a token too long to copy); the reader then reports the memory failure
  // rather than an ordinary end of its data.
  void mark_out_of_memory() { out_of_memory_ = true; }
  bool out_of_memory() const { return out_of_memory_; }

 private:
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> block_;
  std::size_t block_size_ = 0;
  const char* cur_ = nullptr;
  const char* end_ = nullptr;
  bool failed_ = false;
  bool out_of_memory_ = false;
};

}  // namespace ptdelta
