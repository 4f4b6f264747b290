// output_file.h - a checked, buffered output file
// Every write, the flush and the close are checked; a file that failed is never reported as written.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "input/failure.h"

namespace ptdelta {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates (or empties) the file. Failure::cannot_open when it cannot be opened.
  Failure open(const std::string& name);

  // Buffered; an error is remembered and reported by finish().
  void write(std::string_view text);
  // Room for at least `size` bytes to format into; hand the end of what was
  // written to commit(). `size` must not exceed block_size.
  char* reserve(std::size_t size) {
    if (static_cast<std::size_t>(block_end_ - cur_) < size) flush_block();
    return cur_;
  }
  void commit(char* end) { cur_ = end; }

  // Writes what is buffered, flushes and closes. Failure::write_error when any
  // write, the flush or the close failed.
  Failure finish();

  const std::string& name() const { return name_; }

  static constexpr std::size_t block_size = std::size_t{1} << 20;

 private:
  void flush_block();

  std::string name_;
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> block_;
  char* cur_ = nullptr;
  char* block_end_ = nullptr;
  bool failed_ = false;
};

}  // namespace ptdelta
