#include "report/output_set.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <utility>

#include "report/output_file.h"
#include "report/output_target.h"

namespace ptdelta {

namespace output_detail {

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

// A run's own folder an interrupt removes with everything in it, published like a slot.
char folder_name[PATH_MAX + 1];
volatile std::sig_atomic_t folder_used;

// Every entry of the folder unlinked, then the folder removed. Only calls a
// signal handler may make: the entries are listed by the system call itself
// (readdir may take a lock). Another thread may still be adding a file, so the
// removal is tried a few times.
void remove_folder_now() {
  struct Entry {  // the head of a getdents64 record, its name after it
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short length;
    unsigned char type;
  };
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = open(folder_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    alignas(8) char records[4096];
    for (;;) {
      const long n = syscall(SYS_getdents64, fd, records, sizeof records);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        Entry head{};
        std::memcpy(&head, records + at, sizeof head);
        const char* name = records + at + offsetof(Entry, type) + 1;
        const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
        if (!dots) unlinkat(fd, name, 0);
        at += head.length;
      }
    }
    close(fd);
    if (rmdir(folder_name) == 0 || errno != ENOTEMPTY) return;
  }
}

extern "C" void remove_temporaries_and_reraise(int sig) {
  for (int i = 0; i < slot_count; ++i) {
    if (slot_used[i] != 0) unlink(slot_names[i]);
  }
  if (folder_used != 0) remove_folder_now();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

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

HeldInterrupts::HeldInterrupts() {
  sigset_t held;
  sigemptyset(&held);
  for (const int sig : interrupts) sigaddset(&held, sig);
  pthread_sigmask(SIG_BLOCK, &held, &previous_);
}

HeldInterrupts::~HeldInterrupts() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

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

bool claim_folder(const std::string& path) {
  if (folder_used != 0 || path.size() > PATH_MAX) return false;
  std::memcpy(folder_name, path.c_str(), path.size() + 1);
  folder_used = 1;
  return true;
}

void release_folder() { folder_used = 0; }

// ---- folder locks ----

namespace {

constexpr char lock_name[] = ".ptdelta.lock";

// Takes the lock file of the folder, waiting while another run holds it. A holder
// removes the file before letting go, so a waiter that wins a removed file (its
// name now leads elsewhere or nowhere) tries again. -1 when no lock file can be made.
int take_lock_file(int folder) {
  for (;;) {
    const int fd = openat(folder, lock_name, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int r;
    while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat held {};
    struct stat named {};
    if (r != 0 || fstat(fd, &held) != 0) {
      close(fd);
      return -1;
    }
    if (fstatat(folder, lock_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino)
      return fd;
    close(fd);
  }
}

// True when another descriptor of this process (one it inherited) holds an exclusive
// lock on the folder `folder` refers to: waiting for that lock would never end.
bool held_by_this_process(int folder) {
  struct stat want {};
  if (fstat(folder, &want) != 0) return false;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return false;
  bool held = false;
  while (const dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    struct stat st {};
    if (held || fd == folder || fd == dirfd(fds) || entry->d_name[0] < '0' || entry->d_name[0] > '9' ||
        fstat(fd, &st) != 0 || st.st_dev != want.st_dev || st.st_ino != want.st_ino)
      continue;
    // The locks this descriptor's open file holds are listed with it.
    std::ifstream info("/proc/self/fdinfo/" + std::string(entry->d_name));
    for (std::string line; !held && std::getline(info, line);)
      held = line.starts_with("lock:") && line.find("FLOCK") != std::string::npos &&
             line.find("WRITE") != std::string::npos;
  }
  closedir(fds);
  return held;
}

}  // namespace

FolderLocks::FolderLocks(const std::vector<int>& folders) {
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
    // Held through descriptors of our own: an output closing its folder when
    // published must not end the lock.
    Lock lock;
    lock.folder = fcntl(u.second, F_DUPFD_CLOEXEC, 3);
    if (lock.folder < 0) continue;
    // A file no caller locks, rather than the folder itself: a caller serialising
    // its jobs on the folder (flock DIR ...) would otherwise make us wait for ever
    // for the lock that our own inherited descriptor holds.
    lock.fd = take_lock_file(lock.folder);
    if (lock.fd < 0) {
      // No file can be made here (a read-only folder, no free inode): the folder
      // itself. A folder that takes no lock (open only as a path, some network file
      // systems) is published unlocked.
      // Not when a caller's lock on it is ours already.
      lock.on_folder = !held_by_this_process(lock.folder);
      int r;
      while (lock.on_folder && (r = flock(lock.folder, LOCK_EX)) != 0 && errno == EINTR) {
      }
    }
    locked_.push_back(lock);
  }
}

void FolderLocks::release() {
  for (const Lock& lock : locked_) {
    if (lock.on_folder) {
      flock(lock.folder, LOCK_UN);
    } else if (lock.fd >= 0) {
      // Removed while still held, so no waiter ever takes a lock that a newcomer
      // could take again from a fresh file of the same name.
      unlinkat(lock.folder, lock_name, 0);
      close(lock.fd);
    }
    close(lock.folder);
  }
  locked_.clear();
}

FolderLocks::~FolderLocks() { release(); }

}  // namespace output_detail

using namespace output_detail;

// ---- OutputSet ----

OutputFile& OutputSet::add(const std::string& name) {
  files_.push_back(std::make_unique<OutputFile>());
  files_.back()->use_system_calls(*calls_);
  names_.push_back(name);
  return *files_.back();
}

void OutputSet::use_system_calls(SystemCalls& calls) {
  calls_ = &calls;
  for (const auto& file : files_) file->use_system_calls(calls);
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
  std::vector<OutputFile*> files;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (files_[i]->complete() != Failure::none) return {Failure::write_error, names_[i]};
    files.push_back(files_[i].get());
  }
  return publish_files(files);
}

OutputStatus OutputSet::publish_files(const std::vector<OutputFile*>& files) {
  std::vector<int> folders;
  for (const OutputFile* file : files) folders.push_back(file->folder_fd_);
  // Waited for with interrupts free: a signal now ends the run with nothing published.
  FolderLocks locks(folders);
  HeldInterrupts held;
  const auto fail = [&](std::size_t failed) {
    // Every output back as it was, the last replaced first.
    for (std::size_t k = failed + 1; k-- > 0;) files[k]->undo();
    locks.release();  // before an interrupt held meanwhile ends the run
    return OutputStatus{Failure::write_error, files[failed]->name()};
  };
  // Everything that can be done without changing a target, for every output...
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i]->prepare() != Failure::none) return fail(i);
  }
  // ...then the replacements (in place first: copying is what takes time and can fail).
  std::vector<std::size_t> order;
  for (const OutputFile::Placement pass : {OutputFile::Placement::in_place, OutputFile::Placement::rename,
                                           OutputFile::Placement::direct}) {
    for (std::size_t i = 0; i < files.size(); ++i)
      if (files[i]->placement_ == pass) order.push_back(i);
  }
  std::vector<OutputFile*> replaced;
  for (const std::size_t i : order) {
    replaced.push_back(files[i]);
    if (files[i]->replace() == Failure::none) continue;
    for (std::size_t k = replaced.size(); k-- > 0;) replaced[k]->undo();
    for (OutputFile* file : files) file->undo();  // the ones not reached: their temporaries go
    locks.release();
    return {Failure::write_error, files[i]->name()};
  }
  for (OutputFile* file : files) file->settle();
  locks.release();
  return {};
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
