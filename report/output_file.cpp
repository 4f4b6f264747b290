#include "report/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace ptdelta {

namespace {

// ---- interrupts ----

// Named temporary files an interrupt must remove (unnamed ones vanish by themselves).
// The names live in static buffers and a slot is published by its flag only once its
// name is complete, so the handler reads nothing that is being written and calls
// only unlink, signal and raise.
constexpr int slot_count = 16;
char slot_names[slot_count][PATH_MAX + 1];
volatile std::sig_atomic_t slot_used[slot_count];

constexpr int interrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void remove_temporaries_and_reraise(int sig) {
  for (int i = 0; i < slot_count; ++i) {
    if (slot_used[i] != 0) unlink(slot_names[i]);
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void install_interrupt_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (const int sig : interrupts) {
    struct sigaction action {};
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0) continue;
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (previous.sa_handler == SIG_IGN) continue;
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
  }
}

// Interrupts wait while held: a temporary is never made without being registered,
// and outputs are never left half published.
class HeldInterrupts {
 public:
  HeldInterrupts() {
    sigset_t held;
    sigemptyset(&held);
    for (const int sig : interrupts) sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~HeldInterrupts() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  HeldInterrupts(const HeldInterrupts&) = delete;
  HeldInterrupts& operator=(const HeldInterrupts&) = delete;

 private:
  sigset_t previous_;
};

int claim_slot(const std::string& name) {
  if (name.size() > PATH_MAX) return -1;
  for (int i = 0; i < slot_count; ++i) {
    if (slot_used[i] == 0) {
      std::memcpy(slot_names[i], name.c_str(), name.size() + 1);
      slot_used[i] = 1;
      return i;
    }
  }
  return -1;
}

void release_slot(int& slot) {
  if (slot >= 0) slot_used[slot] = 0;
  slot = -1;
}

// ---- names ----

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Six name characters that differ from call to call and from process to process.
std::string random_suffix() {
  static std::uint64_t counter = 0;
  timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  std::uint64_t z = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(now.tv_sec) << 30) ^
                    (static_cast<std::uint64_t>(getpid()) << 40) ^ (++counter * 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  z ^= z >> 31;
  static constexpr char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(6, 'x');
  for (char& c : s) {
    c = alphabet[z % 62];
    z /= 62;
  }
  return s;
}

// "NAME.XXXXXX", or ".ptdelta.XXXXXX" when the name leaves no room for a suffix.
std::string temporary_base(const std::string& base, long name_max) {
  if (name_max <= 0 || base.size() + 7 <= static_cast<std::size_t>(name_max)) return base + "." + random_suffix();
  return ".ptdelta." + random_suffix();
}

long name_max_of(int folder_fd) {
  const long n = fpathconf(folder_fd, _PC_NAME_MAX);
  return n > 0 ? n : NAME_MAX;
}

bool is_decimal(const std::string& s) {
  return !s.empty() && s.size() <= 9 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// True for this process's descriptor folder (/proc/self/fd, /dev/fd), whose
// entries name descriptors rather than files.
bool is_own_descriptor_folder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return false;
  const std::string resolved = real;
  std::free(real);
  return resolved == "/proc/" + std::to_string(getpid()) + "/fd";
}

// Where writing `name` lands, followed link by link as open() would follow it.
struct Target {
  enum Kind { unusable, descriptor_number, missing, existing } kind = unusable;
  std::string path;     // the end of the symlink chain
  int descriptor = -1;  // kind == descriptor
  struct stat st {};    // kind == existing
};

Target resolve_target(const std::string& name) {
  Target t;
  t.path = name;
  for (int hop = 0; hop < 40; ++hop) {
    const std::string folder = folder_of(t.path), base = base_of(t.path);
    if (is_decimal(base) && is_own_descriptor_folder(folder)) {
      t.kind = Target::descriptor_number;
      t.descriptor = std::atoi(base.c_str());
      return t;
    }
    struct stat link {};
    if (lstat(t.path.c_str(), &link) != 0) {
      // A missing name is a new file (a dangling symlink creates its target);
      // anything else (a missing folder, no search permission) fails as open would.
      t.kind = errno == ENOENT && !base.empty() ? Target::missing : Target::unusable;
      return t;
    }
    if (!S_ISLNK(link.st_mode)) {
      t.kind = Target::existing;
      t.st = link;
      return t;
    }
    std::string to(static_cast<std::size_t>(PATH_MAX) + 1, '\0');
    const ssize_t n = readlink(t.path.c_str(), to.data(), to.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= to.size()) return t;
    to.resize(static_cast<std::size_t>(n));
    t.path = to[0] == '/' ? to : folder + "/" + to;
  }
  return t;  // a loop of links
}

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

// ---- what a replaced file is ----

// The names of the extended attributes of `fd`; none where the file system keeps none.
bool attribute_names(int fd, std::vector<std::string>& names) {
  names.clear();
  ssize_t size = flistxattr(fd, nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::string list(static_cast<std::size_t>(size), '\0');
  size = flistxattr(fd, list.data(), list.size());
  if (size < 0) return false;
  for (std::size_t i = 0; i < static_cast<std::size_t>(size);) {
    const std::size_t end = list.find('\0', i);
    if (end == std::string::npos) break;
    names.push_back(list.substr(i, end - i));
    i = end + 1;
  }
  return true;
}

// Gives the new file `to` the owner, group, mode and extended attributes (ACLs
// among them) of `from`. False when any of them cannot be given exactly, so that
// a rename would change what the file is.
bool take_identity(int from, int to) {
  struct stat want {};
  struct stat have {};
  if (fstat(from, &want) != 0 || fstat(to, &have) != 0) return false;
  if ((have.st_uid != want.st_uid || have.st_gid != want.st_gid) && fchown(to, want.st_uid, want.st_gid) != 0)
    return false;
  std::vector<std::string> wanted, present;
  if (!attribute_names(from, wanted) || !attribute_names(to, present)) return false;
  // What the folder gave the new file (a default ACL) and the old one lacks goes.
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) == wanted.end() && fremovexattr(to, name.c_str()) != 0)
      return false;
  }
  // The mode before the ACL: setting the ACL sets the group bits from its mask,
  // which are the old file's group bits already.
  if (fchmod(to, want.st_mode & 07777) != 0) return false;
  std::vector<char> value;
  for (const std::string& name : wanted) {
    const ssize_t size = fgetxattr(from, name.c_str(), nullptr, 0);
    if (size < 0) return false;
    value.resize(static_cast<std::size_t>(size) + 1);
    const ssize_t got = fgetxattr(from, name.c_str(), value.data(), value.size());
    if (got < 0 || fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) return false;
  }
  // Bits the system silently refused (set-group-ID outside our groups) show here.
  if (fstat(to, &have) != 0) return false;
  return have.st_uid == want.st_uid && have.st_gid == want.st_gid && (have.st_mode & 07777) == (want.st_mode & 07777);
}

// A rename over a mount point (a bind-mounted file) fails or would hide it.
bool is_mount_point(int fd, const struct stat& target, const struct stat& folder) {
  if (target.st_dev != folder.st_dev) return true;
  struct statx sx {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) == 0 && (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
    return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  return false;
}

bool proc_available() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Exclusive locks on the folders of the outputs (each folder once, in a fixed
// order), so two runs publishing to the same names never interleave.
class FolderLocks {
 public:
  explicit FolderLocks(const std::vector<int>& folders) {
    std::vector<std::pair<std::pair<dev_t, ino_t>, int>> unique;
    for (const int fd : folders) {
      struct stat st {};
      if (fd < 0 || fstat(fd, &st) != 0) continue;
      const auto id = std::make_pair(st.st_dev, st.st_ino);
      if (std::none_of(unique.begin(), unique.end(), [&](const auto& u) { return u.first == id; }))
        unique.emplace_back(id, fd);
    }
    std::sort(unique.begin(), unique.end());
    for (const auto& u : unique) {
      // Held through a descriptor of our own: an output closing its folder when
      // published must not end the lock. A folder that takes no lock (open only as
      // a path, some network file systems) is published unlocked.
      const int own = fcntl(u.second, F_DUPFD_CLOEXEC, 3);
      if (own < 0) continue;
      int r;
      while ((r = flock(own, LOCK_EX)) != 0 && errno == EINTR) {
      }
      locked_.push_back(own);
    }
  }
  ~FolderLocks() {
    for (const int fd : locked_) {
      flock(fd, LOCK_UN);
      close(fd);
    }
  }
  FolderLocks(const FolderLocks&) = delete;
  FolderLocks& operator=(const FolderLocks&) = delete;

 private:
  std::vector<int> locked_;
};

// What makes two names the same file: an existing file's own identity, a new
// file's folder and name. Direct targets have none: they replace nothing.
struct TargetKey {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;  // empty for an existing file
  bool operator==(const TargetKey&) const = default;
};

std::optional<TargetKey> key_of(const std::string& output) {
  const Target target = resolve_target(output);
  if (target.kind == Target::existing && S_ISREG(target.st.st_mode)) return TargetKey{target.st.st_dev, target.st.st_ino, {}};
  struct stat folder {};
  if (target.kind == Target::missing && stat(folder_of(target.path).c_str(), &folder) == 0)
    return TargetKey{folder.st_dev, folder.st_ino, base_of(target.path)};
  return std::nullopt;
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

// ---- OutputSet ----

OutputFile& OutputSet::add(const std::string& name) {
  files_.push_back(std::make_unique<OutputFile>());
  names_.push_back(name);
  return *files_.back();
}

OutputStatus OutputSet::open() {
  // Two outputs that are the same file are refused before any is opened.
  std::vector<std::optional<TargetKey>> keys;
  for (std::size_t i = 0; i < names_.size(); ++i) {
    keys.push_back(key_of(names_[i]));
    for (std::size_t j = 0; j < i; ++j) {
      if (keys[i] && keys[j] && *keys[i] == *keys[j]) return {Failure::cannot_open, names_[j]};
    }
  }
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (const Failure f = files_[i]->open(names_[i]); f != Failure::none) return {f, names_[i]};
  }
  return {};
}

OutputStatus OutputSet::publish() {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i]->complete() != Failure::none) return {Failure::write_error, names_[i]};
  }
  HeldInterrupts held;
  std::vector<int> folders;
  for (const auto& file : files_) folders.push_back(file->folder_fd_);
  FolderLocks locks(folders);
  // Every in-place target's space first: a full disk stops the set before any byte of any output changes.
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i]->placement_ != OutputFile::Placement::in_place) continue;
    if (files_[i]->reserve_space() != Failure::none) {
      for (std::size_t k = 0; k < i; ++k)
        if (files_[k]->placement_ == OutputFile::Placement::in_place) files_[k]->release_space();
      return {Failure::write_error, names_[i]};
    }
  }
  for (const OutputFile::Placement pass : {OutputFile::Placement::in_place, OutputFile::Placement::rename,
                                           OutputFile::Placement::direct}) {
    for (std::size_t i = 0; i < files_.size(); ++i) {
      if (files_[i]->placement_ != pass) continue;
      if (files_[i]->publish() != Failure::none) return {Failure::write_error, names_[i]};
    }
  }
  return {};
}

bool is_file_target(const std::string& name) {
  const Target target = resolve_target(name);
  if (target.kind == Target::descriptor_number) return false;
  return target.kind != Target::existing || S_ISREG(target.st.st_mode);
}

void prepare_process_io() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number, which is `fd` itself since those below it are open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace ptdelta
