#include "report/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace ptdelta {

namespace {

// Temporary files an interrupt must remove. The names live in static buffers and a
// slot is published by its flag only once its name is complete, so the handler
// reads nothing that is being written and calls only unlink, signal and raise.
constexpr int slot_count = 4;
char slot_names[slot_count][PATH_MAX + 1];
volatile std::sig_atomic_t slot_used[slot_count];

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
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
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

void release_slot(int slot) {
  if (slot >= 0) slot_used[slot] = 0;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A new file from the mkstemp pattern `pattern`; -1 on failure.
int make_temporary(std::string& pattern) {
  pattern.push_back('\0');
  const int fd = mkstemp(pattern.data());
  pattern.pop_back();
  return fd;
}

// A new temporary file beside `target` (the same folder, so the rename is atomic);
// its name goes to `temp_name`. -1 when none can be made; -2 when the target's own
// name is too long for the folder, so the run can say so now, not after the work.
int open_temporary_beside(const std::string& target, std::string& temp_name) {
  temp_name = target + ".XXXXXX";
  int fd = make_temporary(temp_name);
  if (fd < 0 && errno == ENAMETOOLONG) {
    // Room for the name but not for the suffix: a short name in the same folder.
    const std::string folder = folder_of(target);
    const long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::size_t slash = target.rfind('/');
    const std::size_t base = slash == std::string::npos ? target.size() : target.size() - slash - 1;
    if (name_max > 0 && base > static_cast<std::size_t>(name_max)) return -2;
    temp_name = folder + "/.ptdelta.XXXXXX";
    fd = make_temporary(temp_name);
  }
  return fd;
}

// mkstemp makes the file 0600; give it what opening the target for writing would
// leave: the mode (and, for root, the owner) of the file it replaces, or 0666 less
// the umask for a new one.
void match_target_mode(int fd, const struct stat* replaced) {
  mode_t mode = 0;
  if (replaced != nullptr) {
    mode = replaced->st_mode & 07777;
    if (getuid() == 0 && fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
      // keep root's ownership
    }
  } else {
    const mode_t mask = umask(022);
    umask(mask);
    mode = static_cast<mode_t>(0666 & ~mask);
  }
  fchmod(fd, mode);
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!temp_name_.empty()) unlink(temp_name_.c_str());
  release_slot(signal_slot_);
  signal_slot_ = -1;
  temp_name_.clear();
}

Failure OutputFile::open(const std::string& name) {
  discard();
  name_ = name;
  final_name_ = name;
  failed_ = false;

  struct stat target {};
  const bool exists = stat(name.c_str(), &target) == 0;
  if (exists && !S_ISREG(target.st_mode)) {
    // A device or pipe cannot be replaced by a rename; it gets the bytes as they come.
    file_ = std::fopen(name.c_str(), "w");
  } else {
    // A symlink to a file is followed, as a plain open would: the file it points to is replaced.
    struct stat link {};
    if (exists && lstat(name.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      if (char* resolved = realpath(name.c_str(), nullptr); resolved != nullptr) {
        final_name_ = resolved;
        std::free(resolved);
      }
    }
    std::string temp_name;
    const int fd = open_temporary_beside(final_name_, temp_name);
    if (fd == -2) return Failure::cannot_open;
    if (fd >= 0) {
      match_target_mode(fd, exists ? &target : nullptr);
      temp_name_ = temp_name;
      install_interrupt_handlers();
      signal_slot_ = claim_slot(temp_name_);
      file_ = fdopen(fd, "w");
      if (file_ == nullptr) {
        close(fd);
        discard();
      }
    } else {
      // No temporary file can be made here (an unwritable folder holding a writable
      // file): write the target directly rather than refuse a run that could complete.
      file_ = std::fopen(name.c_str(), "w");
    }
  }
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
  if (file_ == nullptr) return Failure::write_error;
  flush_block();
  bool ok = !failed_ && std::fflush(file_) == 0 && !std::ferror(file_);
  ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (ok && !temp_name_.empty()) {
    ok = std::rename(temp_name_.c_str(), final_name_.c_str()) == 0;
    if (ok) {
      release_slot(signal_slot_);
      signal_slot_ = -1;
      temp_name_.clear();
    }
  }
  discard();
  return ok ? Failure::none : Failure::write_error;
}

}  // namespace ptdelta
