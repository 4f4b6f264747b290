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

}  // namespace

// ---- OutputFile ----

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  close_fd(fd_);
  forget_temporary();
  // A second link of the earlier file goes; the earlier file itself is never removed here.
  if (aside_linked_ && !aside_base_.empty()) unlinkat(folder_fd_, aside_base_.c_str(), 0);
  aside_base_.clear();
  aside_linked_ = aside_moved_ = aside_by_rename_ = false;
  temp_path_.clear();
  close_fd(target_fd_);
  close_fd(folder_fd_);
  staged_.release();
  earlier_.release();
  completed_ = false;
  replaced_ = false;
  reserved_ = false;
}

void OutputFile::forget_temporary() {
  if (!temp_base_.empty() && !unnamed_) unlinkat(folder_fd_, temp_base_.c_str(), 0);
  release_slot(signal_slot_);
  temp_base_.clear();
  unnamed_ = false;
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
    forget_temporary();
  }
  // The new contents wait on the target's own file system and are copied in at the end.
  placement_ = Placement::in_place;
  staged_.open_beside(folder_fd_, base_);
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

void OutputFile::flush_block() {
  const auto size = static_cast<std::size_t>(cur_ - block_.get());
  cur_ = block_.get();
  put(block_.get(), size);
}

void OutputFile::put(const char* bytes, std::size_t size) {
  if (size == 0 || failed_) return;
  if (placement_ == Placement::in_place) {
    failed_ = !staged_.append(bytes, size);
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
    ok = calls_->close(fd_) == 0 && ok;
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

Failure OutputFile::finish() {
  if (complete() != Failure::none) return Failure::write_error;
  return OutputSet::publish_files({this}).failure;
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
  if (fstat(target_fd_, &before) != 0) return Failure::write_error;
  earlier_size_ = before.st_size;
  const off_t size = staged_.size();
  // Reserved first, so a full disk or quota fails before the first byte changes.
  if (size > 0 && fallocate(target_fd_, FALLOC_FL_KEEP_SIZE, 0, size) != 0) {
    const bool unsupported = errno == EOPNOTSUPP || errno == ENOSYS;
    if (!unsupported || posix_fallocate(target_fd_, 0, size) != 0) {
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

// ---- publishing in steps ----

Failure OutputFile::prepare() {
  if (placement_ == Placement::rename) {
    if (const Failure f = keep_earlier_aside(); f != Failure::none) return f;
  }
  if (placement_ == Placement::rename) {
    // Synced and closed, both checked, before anything is linked or renamed: a
    // delayed write error (quota, NFS, EIO) is reported by one of them.
    const int fd = fd_;
    const bool synced = calls_->fsync(fd) == 0;
    if (!synced) return Failure::write_error;
    if (unnamed_) {
      if (const Failure f = link_temporary(); f != Failure::none) return f;
    }
    fd_ = -1;
    if (calls_->close(fd) != 0) return Failure::write_error;
    return Failure::none;
  }
  if (placement_ == Placement::in_place) return prepare_in_place();
  return Failure::none;
}

Failure OutputFile::keep_earlier_aside() {
  // A second link keeps the earlier file until the set is settled: replacing the
  // name is then one rename, and undoing it another.
  const long name_max = name_max_of(folder_fd_);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
    aside_base_ = temporary_base(base_, name_max);
    error = calls_->linkat(folder_fd_, base_.c_str(), folder_fd_, aside_base_.c_str(), 0) == 0 ? 0 : errno;
  }
  if (error == 0) {
    aside_linked_ = true;
    return Failure::none;
  }
  aside_base_.clear();
  if (error == ENOENT) return Failure::none;  // nothing there (any more): a new file
  if (error == EXDEV && target_fd_ >= 0) {
    // The name is a mount point (a bind-mounted file) that a rename cannot replace:
    // the complete temporary becomes the contents to copy in.
    struct stat st {};
    if (fstat(fd_, &st) != 0) return Failure::write_error;
    staged_.adopt(fd_, st.st_size);
    fd_ = -1;
    forget_temporary();
    placement_ = Placement::in_place;
    return Failure::none;
  }
  // No second link on this file system: replace() renames the earlier file aside.
  if (error == EPERM || error == EMLINK || error == EOPNOTSUPP || error == ENOSYS) {
    aside_by_rename_ = true;
    return Failure::none;
  }
  return Failure::write_error;  // no room for one more name, an I/O error
}

Failure OutputFile::link_temporary() {
  // Linked under a temporary name, renamed over the target by replace() (a link cannot replace a name).
  char proc_name[32];
  std::snprintf(proc_name, sizeof proc_name, "/proc/self/fd/%d", fd_);
  const long name_max = name_max_of(folder_fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_base_ = temporary_base(base_, name_max);
    if (calls_->linkat(AT_FDCWD, proc_name, folder_fd_, temp_base_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      unnamed_ = false;  // now a name to remove on failure
      return Failure::none;
    }
    if (errno != EEXIST) break;
  }
  temp_base_.clear();
  return Failure::write_error;
}

Failure OutputFile::prepare_in_place() {
  if (!staged_.sync(*calls_)) return Failure::write_error;
  if (const Failure f = reserve_space(); f != Failure::none) return f;
  // The earlier contents are kept beside the target too, so that a failure while
  // this or another output of the set is replaced can put them back.
  // (Read through a descriptor of their own: the target's is open for writing only.
  // A file we may write but not read keeps no copy, and cannot be put back.)
  char proc_name[32];
  std::snprintf(proc_name, sizeof proc_name, "/proc/self/fd/%d", target_fd_);
  const int reader = ::open(proc_name, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  if (reader < 0) return Failure::none;
  earlier_.open_beside(folder_fd_, base_);
  const bool kept = earlier_.fill_from(reader, earlier_size_, block_.get(), block_size) && earlier_.sync(*calls_);
  close(reader);
  return kept ? Failure::none : Failure::write_error;
}

Failure OutputFile::replace() {
  if (placement_ == Placement::rename) {
    if (aside_by_rename_) {
      aside_base_ = temporary_base(base_, name_max_of(folder_fd_));
      if (calls_->renameat(folder_fd_, base_.c_str(), folder_fd_, aside_base_.c_str()) == 0) {
        aside_moved_ = true;
      } else if (errno != ENOENT) {
        aside_base_.clear();
        return Failure::write_error;
      } else {
        aside_base_.clear();
      }
    }
    if (calls_->renameat(folder_fd_, temp_base_.c_str(), folder_fd_, base_.c_str()) != 0) {
      if (aside_moved_ && renameat(folder_fd_, aside_base_.c_str(), folder_fd_, base_.c_str()) == 0) {
        aside_moved_ = false;
        aside_base_.clear();
      }
      return Failure::write_error;
    }
    temp_base_.clear();
    release_slot(signal_slot_);
    replaced_ = true;
    // The folder synced, so the new name outlasts a power cut (a folder open only as
    // a path, or one that cannot be synced, is left to the system).
    if (calls_->fsync(folder_fd_) != 0 && errno != EBADF && errno != EINVAL) return Failure::write_error;
    return Failure::none;
  }
  if (placement_ != Placement::in_place) return Failure::none;
  replaced_ = true;  // from the first byte on, undo() has the earlier contents to put back
  bool ok = staged_.copy_to(target_fd_, *calls_, block_.get(), block_size);
  // Only now, with the new contents in place, is anything beyond them cut off.
  ok = ok && ftruncate(target_fd_, staged_.size()) == 0;
  ok = ok && calls_->fsync(target_fd_) == 0;
  const int fd = target_fd_;
  target_fd_ = -1;
  ok = calls_->close(fd) == 0 && ok;
  reserved_ = false;
  return ok ? Failure::none : Failure::write_error;
}

void OutputFile::undo() {
  if (placement_ == Placement::rename && replaced_) {
    // The earlier file back at its name, or (there was none) the new one gone.
    // (Should that fail too, the earlier file stays under its aside name, never removed.)
    if (aside_linked_ || aside_moved_) {
      renameat(folder_fd_, aside_base_.c_str(), folder_fd_, base_.c_str());
      aside_base_.clear();
      aside_linked_ = aside_moved_ = false;
    } else {
      unlinkat(folder_fd_, base_.c_str(), 0);
    }
  }
  if (placement_ == Placement::in_place) {
    if (replaced_) {
      if (target_fd_ < 0) target_fd_ = openat(folder_fd_, base_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      // A repair has nobody to report to: it is tried once, through the plain calls.
      if (target_fd_ >= 0 && earlier_.opened() &&
          earlier_.copy_to(target_fd_, real_system_calls(), block_.get(), block_size) &&
          ftruncate(target_fd_, earlier_size_) == 0) {
        fsync(target_fd_);
      }
    } else if (reserved_) {
      release_space();
    }
  }
  replaced_ = false;
  discard();
}

void OutputFile::settle() {
  // The earlier file's aside name goes: a second link, or the replaced file itself.
  if ((aside_linked_ || aside_moved_) && !aside_base_.empty()) unlinkat(folder_fd_, aside_base_.c_str(), 0);
  aside_base_.clear();
  aside_linked_ = aside_moved_ = false;
  discard();
}

}  // namespace ptdelta
