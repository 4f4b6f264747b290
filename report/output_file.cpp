#include "report/output_file.h"

#include <algorithm>
#include <cstring>

namespace ptdelta {

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

Failure OutputFile::open(const std::string& name) {
  name_ = name;
  file_ = std::fopen(name.c_str(), "w");
  if (file_ == nullptr) return Failure::cannot_open;
  block_.reset(new char[block_size]);
  cur_ = block_.get();
  block_end_ = cur_ + block_size;
  return Failure::none;
}

void OutputFile::flush_block() {
  const auto size = static_cast<std::size_t>(cur_ - block_.get());
  if (size != 0 && !failed_ && std::fwrite(block_.get(), 1, size, file_) != size) failed_ = true;
  cur_ = block_.get();
}

void OutputFile::write(std::string_view text) {
  while (!text.empty()) {
    if (cur_ == block_end_) flush_block();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(block_end_ - cur_));
    std::memcpy(cur_, text.data(), n);
    cur_ += n;
    text.remove_prefix(n);
  }
}

Failure OutputFile::finish() {
  flush_block();
  bool ok = !failed_ && std::fflush(file_) == 0 && !std::ferror(file_);
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  return ok ? Failure::none : Failure::write_error;
}

}  // namespace ptdelta
