#include "report/output_staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "report/output_set.h"
#include "report/output_target.h"

namespace ptdelta {

int SystemCalls::fsync(int fd) { return ::fsync(fd); }
int SystemCalls::close(int fd) { return ::close(fd); }
int SystemCalls::linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
  return ::linkat(from_folder, from, to_folder, to, flags);
}
int SystemCalls::renameat(int from_folder, const char* from, int to_folder, const char* to) {
  return ::renameat(from_folder, from, to_folder, to);
}
ssize_t SystemCalls::pwrite(int fd, const void* data, std::size_t size, off_t offset) {
  return ::pwrite(fd, data, size, offset);
}

SystemCalls& real_system_calls() {
  static SystemCalls calls;
  return calls;
}

namespace output_detail {

bool pwrite_all(SystemCalls& calls, int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = calls.pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

void Staging::open_beside(int folder_fd, const std::string& base) {
  release();
  opened_ = true;
  if (folder_fd < 0) return;
  fd_ = openat(folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return;
  // No unnamed files here: a named one, removed at once (interrupts wait in between).
  HeldInterrupts held;
  const long name_max = name_max_of(folder_fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = temporary_base(base, name_max);
    fd_ = openat(folder_fd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      unlinkat(folder_fd, name.c_str(), 0);
      return;
    }
    if (errno != EEXIST) return;
  }
}

void Staging::adopt(int fd, off_t size) {
  release();
  opened_ = true;
  fd_ = fd;
  size_ = size;
}

bool Staging::append(const char* bytes, std::size_t size) {
  if (fd_ < 0) {
    try {
      memory_.insert(memory_.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
      return false;
    }
  } else if (!pwrite_all(real_system_calls(), fd_, bytes, size, size_)) {
    return false;
  }
  size_ += static_cast<off_t>(size);
  return true;
}

bool Staging::fill_from(int fd, off_t size, char* buffer, std::size_t buffer_size) {
  for (off_t at = 0; at < size;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(size - at, static_cast<off_t>(buffer_size)));
    const ssize_t n = pread(fd, buffer, want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !append(buffer, static_cast<std::size_t>(n))) return false;
    at += n;
  }
  return true;
}

bool Staging::copy_to(int fd, SystemCalls& calls, char* buffer, std::size_t buffer_size) const {
  if (fd_ < 0) return pwrite_all(calls, fd, memory_.data(), memory_.size(), 0);
  for (off_t at = 0; at < size_;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(size_ - at, static_cast<off_t>(buffer_size)));
    const ssize_t n = pread(fd_, buffer, want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || !pwrite_all(calls, fd, buffer, static_cast<std::size_t>(n), at)) return false;
    at += n;
  }
  return true;
}

bool Staging::sync(SystemCalls& calls) const { return fd_ < 0 || calls.fsync(fd_) == 0; }

void Staging::release() {
  close_fd(fd_);
  std::vector<char>().swap(memory_);
  size_ = 0;
  opened_ = false;
}

}  // namespace output_detail
}  // namespace ptdelta
