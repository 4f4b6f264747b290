#include "report/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "report/output_set.h"
#include "report/output_target.h"

namespace ptdelta {

using namespace output_detail;

namespace {

// ---- bytes ----

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      // A descriptor left non-blocking by whoever handed it over: wait for room.
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

bool pwrite_all(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

// ---- OutputFile ----

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  close_fd(fd_);
  if (!temp_base_.empty() && !unnamed_) unlinkat(folder_fd_, temp_base_.c_str(), 0);
  release_slot(signal_slot_);
  temp_base_.clear();
  temp_path_.clear();
  close_fd(target_fd_);
  close_fd(folder_fd_);
  std::vector<char>().swap(memory_);
  unnamed_ = false;
  in_memory_ = false;
  completed_ = false;
  reserved_ = false;
}

Failure OutputFile::open(const std::string& name) {
  discard();
  name_ = name;
  base_.clear();
  placement_ = Placement::none;
  failed_ = false;
  install_interrupt_handlers();

  const Target target = resolve_target(name);
  Failure result = Failure::cannot_open;
  if (target.kind == Target::descriptor_number) {
    // Written to the descriptor itself: its offset and append mode are the caller's.
    fd_ = fcntl(target.descriptor, F_DUPFD_CLOEXEC, 3);
    const int flags = fd_ < 0 ? -1 : fcntl(fd_, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) {
      placement_ = Placement::direct;
      result = Failure::none;
    }
  } else if (target.kind == Target::existing && !S_ISREG(target.st.st_mode)) {
    // A device or pipe cannot be replaced by a rename; it gets the bytes as they come.
    fd_ = ::open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ >= 0) {
      placement_ = Placement::direct;
      result = Failure::none;
    }
  } else if (target.kind != Target::unusable) {
    result = open_file_target(target.path, target.kind == Target::existing);
  }
  if (result != Failure::none) {
    discard();
    placement_ = Placement::none;
    return result;
  }
  if (!block_) block_.reset(new char[block_size]);
  cur_ = block_.get();
  block_end_ = cur_ + block_size;
  return Failure::none;
}

Failure OutputFile::open_file_target(const std::string& path, bool exists) {
  const std::string folder = folder_of(path);
  base_ = base_of(path);
  folder_fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd_ < 0) folder_fd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  struct stat dir {};
  if (folder_fd_ < 0 || fstat(folder_fd_, &dir) != 0) return Failure::cannot_open;
  // Said now, not after the work: the name cannot exist in this folder.
  if (base_.size() > static_cast<std::size_t>(name_max_of(folder_fd_)) || path.size() >= PATH_MAX)
    return Failure::cannot_open;
  temp_path_ = folder + "/";  // completed by a named temporary

  if (!exists) {
    // Created as a plain open creates a file: 0666 less the umask (or the folder's default ACL).
    if (!make_temporary_beside(0666)) return Failure::cannot_open;
    placement_ = Placement::rename;
    return Failure::none;
  }
  // Not writable by us means not written at all, whatever the folder allows.
  target_fd_ = openat(folder_fd_, base_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  struct stat st {};
  if (target_fd_ < 0 || fstat(target_fd_, &st) != 0) return Failure::cannot_open;
  if (st.st_nlink == 1 && !is_mount_point(target_fd_, st, dir) && make_temporary_beside(0600)) {
    if (take_identity(target_fd_, fd_)) {
      placement_ = Placement::rename;
      return Failure::none;
    }
    close_fd(fd_);
    if (!unnamed_) unlinkat(folder_fd_, temp_base_.c_str(), 0);
    release_slot(signal_slot_);
    unnamed_ = false;
    temp_base_.clear();
  }
  // The new contents are completed elsewhere and copied into the file at the end.
  placement_ = Placement::in_place;
  if (!stage_elsewhere()) in_memory_ = true;
  return Failure::none;
}

bool OutputFile::make_temporary_beside(mode_t mode) {
  HeldInterrupts held;
  if (proc_available()) {
    fd_ = openat(folder_fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (fd_ >= 0) {
      unnamed_ = true;
      return true;
    }
  }
  // No unnamed files here: a named one, registered for removal before any signal can end the run.
  const long name_max = name_max_of(folder_fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_base_ = temporary_base(base_, name_max);
    fd_ = openat(folder_fd_, temp_base_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
    if (fd_ >= 0) {
      temp_path_ += temp_base_;
      signal_slot_ = claim_slot(temp_path_);
      return true;
    }
    if (errno != EEXIST) break;
  }
  temp_base_.clear();
  return false;
}

bool OutputFile::stage_elsewhere() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  HeldInterrupts held;
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return true;
  std::string pattern = folder + "/ptdelta.XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  unlink(pattern.c_str());  // removed at once: nothing to clean up later
  return true;
}

void OutputFile::flush_block() {
  const auto size = static_cast<std::size_t>(cur_ - block_.get());
  cur_ = block_.get();
  put(block_.get(), size);
}

void OutputFile::put(const char* bytes, std::size_t size) {
  if (size == 0 || failed_) return;
  if (in_memory_) {
    try {
      memory_.insert(memory_.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
      failed_ = true;
    }
  } else if (fd_ < 0 || !write_all(fd_, bytes, size)) {
    failed_ = true;
  }
}

void OutputFile::write(std::string_view text) {
  if (!block_) return;
  // Long text (64 KiB or more) goes out as it is, without a copy into the
  // block (the bytes still leave in order: whatever the block holds goes first).
  if (text.size() >= block_size / 16) {
    flush_block();
    put(text.data(), text.size());
    return;
  }
  while (!text.empty()) {
    if (cur_ == block_end_) flush_block();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(block_end_ - cur_));
    std::memcpy(cur_, text.data(), n);
    cur_ += n;
    text.remove_prefix(n);
  }
}

Failure OutputFile::complete() {
  if (completed_) return Failure::none;
  if (placement_ == Placement::none || !block_) return Failure::write_error;
  flush_block();
  bool ok = !failed_;
  if (placement_ == Placement::direct) {
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
  }
  if (!ok) {
    discard();
    placement_ = Placement::none;
    return Failure::write_error;
  }
  completed_ = true;
  return Failure::none;
}

Failure OutputFile::publish() {
  if (!completed_ && complete() != Failure::none) return Failure::write_error;
  Failure result = Failure::none;
  if (placement_ == Placement::rename) result = rename_into_place();
  if (placement_ == Placement::in_place) result = copy_into_target();
  discard();
  return result;
}

Failure OutputFile::finish() {
  if (complete() != Failure::none) return Failure::write_error;
  HeldInterrupts held;
  FolderLocks lock({folder_fd_});
  return publish();
}

Failure OutputFile::rename_into_place() {
  if (unnamed_) {
    // Linked under a temporary name, then renamed over the target (a link cannot replace a name).
    char proc_name[32];
    std::snprintf(proc_name, sizeof proc_name, "/proc/self/fd/%d", fd_);
    const long name_max = name_max_of(folder_fd_);
    bool linked = false;
    for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
      temp_base_ = temporary_base(base_, name_max);
      linked = linkat(AT_FDCWD, proc_name, folder_fd_, temp_base_.c_str(), AT_SYMLINK_FOLLOW) == 0;
      if (!linked && errno != EEXIST) break;
    }
    if (!linked) {
      temp_base_.clear();
      return Failure::write_error;
    }
    unnamed_ = false;  // now a name to remove on failure
  }
  if (renameat(folder_fd_, temp_base_.c_str(), folder_fd_, base_.c_str()) == 0) {
    temp_base_.clear();
    release_slot(signal_slot_);
    return Failure::none;
  }
  const int error = errno;
  unlinkat(folder_fd_, temp_base_.c_str(), 0);
  temp_base_.clear();
  release_slot(signal_slot_);
  // A mount point refuses the rename: the contents are complete, copy them in.
  if ((error == EBUSY || error == EXDEV) && target_fd_ >= 0) return copy_into_target();
  return Failure::write_error;
}

Failure OutputFile::reserve_space() {
  if (reserved_) return Failure::none;
  // Another run may have replaced or removed the file since it was claimed
  // (the folder's lock is held only while publishing): the contents go to the
  // file the name holds now, never into one no name leads to any more.
  const int now = openat(folder_fd_, base_.c_str(), O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  if (now < 0) return Failure::write_error;
  struct stat claimed {};
  struct stat current {};
  if (fstat(now, &current) != 0 || !S_ISREG(current.st_mode)) {
    close(now);
    return Failure::write_error;
  }
  if (fstat(target_fd_, &claimed) == 0 && claimed.st_dev == current.st_dev && claimed.st_ino == current.st_ino) {
    close(now);
  } else {
    close(target_fd_);
    target_fd_ = now;
  }
  struct stat before {};
  struct stat staged {};
  if (fstat(target_fd_, &before) != 0) return Failure::write_error;
  earlier_size_ = before.st_size;
  if (in_memory_) {
    staged_size_ = static_cast<off_t>(memory_.size());
  } else {
    if (fstat(fd_, &staged) != 0) return Failure::write_error;
    staged_size_ = staged.st_size;
  }
  // Reserved first, so a full disk or quota fails before the first byte changes.
  if (staged_size_ > 0 && fallocate(target_fd_, FALLOC_FL_KEEP_SIZE, 0, staged_size_) != 0) {
    const bool unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
    if (!unsupported || posix_fallocate(target_fd_, 0, staged_size_) != 0) {
      release_space();
      return Failure::write_error;
    }
  }
  reserved_ = true;
  return Failure::none;
}

void OutputFile::release_space() {
  // Gives back what was reserved (or added) beyond the end; the contents are unchanged.
  if (target_fd_ >= 0 && ftruncate(target_fd_, earlier_size_) != 0) {
  }
  reserved_ = false;
}

Failure OutputFile::copy_into_target() {
  if (const Failure f = reserve_space(); f != Failure::none) return f;
  bool ok = true;
  if (in_memory_) {
    ok = pwrite_all(target_fd_, memory_.data(), memory_.size(), 0);
  } else {
    for (off_t at = 0; ok && at < staged_size_;) {
      const ssize_t n = pread(fd_, block_.get(), block_size, at);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0 && pwrite_all(target_fd_, block_.get(), static_cast<std::size_t>(n), at);
      at += n;
    }
  }
  // Only now, with the new contents in place, is anything beyond them cut off.
  ok = ok && ftruncate(target_fd_, staged_size_) == 0;
  ok = close(target_fd_) == 0 && ok;
  target_fd_ = -1;
  reserved_ = false;
  return ok ? Failure::none : Failure::write_error;
}

}  // namespace ptdelta
