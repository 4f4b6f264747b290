// output_file.h - a checked, buffered output file that appears only when complete
// Every write, the flush and the close are checked; a file that failed is never reported as written.
// A regular (or new) target is written to a temporary file in its folder and renamed over the
// target only after a clean close, so a failed or interrupted run leaves any earlier file as it was.
// A target that exists and is not a regular file (a device, a pipe) is written directly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/failure.h"

namespace ptdelta {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Closes and removes the temporary file of an output that was never finished.
  ~OutputFile();

  // Prepares the file. Failure::cannot_open when it cannot be created.
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

  // Writes what is buffered, flushes, closes and puts the file in place.
  // Failure::write_error when any write, the flush, the close or the rename
  // failed; the temporary file is gone either way.
  Failure finish();

  const std::string& name() const { return name_; }
  // The temporary file being written until finish(); empty when the target is
  // written directly (a device, a pipe) or nothing is open.
  const std::string& temporary_name() const { return temp_name_; }

  static constexpr std::size_t block_size = std::size_t{1} << 20;

 private:
  void flush_block();
  void discard();

  std::string name_;
  std::string final_name_;  // what the temporary file is renamed to (a symlink's target)
  std::string temp_name_;   // empty when writing directly
  int signal_slot_ = -1;
  std::FILE* file_ = nullptr;
  std::unique_ptr<char[]> block_;
  char* cur_ = nullptr;
  char* block_end_ = nullptr;
  bool failed_ = false;
};

}  // namespace ptdelta
