#include "report/output_set.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
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

extern "C" void remove_temporaries_and_reraise(int sig) {
  for (int i = 0; i < slot_count; ++i) {
    if (slot_used[i] != 0) unlink(slot_names[i]);
  }
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

// ---- folder locks ----

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

FolderLocks::~FolderLocks() {
  for (const int fd : locked_) {
    flock(fd, LOCK_UN);
    close(fd);
  }
}

}  // namespace output_detail

using namespace output_detail;

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
