// output_staging.h - where contents copied into a file in place wait, and the calls an output makes
// Private to the output files: a staging area on the target's own file system (or memory), and the seam of system calls.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace ptdelta {

// The system calls by which outputs are synced, closed, linked, renamed and copied
// into place. The real ones by default; a test hands in its own to fail one on cue.
class SystemCalls {
 public:
  virtual ~SystemCalls() = default;
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int linkat(int from_folder, const char* from, int to_folder, const char* to, int flags);
  virtual int renameat(int from_folder, const char* from, int to_folder, const char* to);
  virtual ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset);
};

// The real calls (stateless, shared by every output).
SystemCalls& real_system_calls();

namespace output_detail {

// Bytes kept aside until they are copied into a file: an unnamed file in the
// target's folder where one can be made, else a named one there removed at once,
// else memory. Never a folder elsewhere ($TMPDIR may be a small tmpfs).
class Staging {
 public:
  Staging() = default;
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;
  ~Staging() { release(); }

  // Makes the area in the folder of `base`; memory when no file can be made there.
  void open_beside(int folder_fd, const std::string& base);
  // Takes over `fd` (complete contents of `size` bytes) as the area.
  void adopt(int fd, off_t size);
  // Appends; false on a write error or when memory runs out.
  bool append(const char* bytes, std::size_t size);
  // Appends the first `size` bytes of `fd`, read through `buffer` of `buffer_size`.
  bool fill_from(int fd, off_t size, char* buffer, std::size_t buffer_size);
  // Writes the whole contents to the start of `fd` through `calls`.
  bool copy_to(int fd, SystemCalls& calls, char* buffer, std::size_t buffer_size) const;
  // Synced and checked (memory has nothing to sync).
  bool sync(SystemCalls& calls) const;
  off_t size() const { return size_; }
  bool in_memory() const { return fd_ < 0 && opened_; }
  bool opened() const { return opened_; }
  // Closes the file or frees the memory.
  void release();

 private:
  int fd_ = -1;
  bool opened_ = false;
  off_t size_ = 0;
  std::vector<char> memory_;
};

// Writes all of `data` at `offset` through `calls`, retrying short writes and interrupts.
bool pwrite_all(SystemCalls& calls, int fd, const char* data, std::size_t size, off_t offset);

}  // namespace output_detail
}  // namespace ptdelta
