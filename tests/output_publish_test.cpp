// Publishing a set of outputs: a failure in any call at any moment leaves the earlier set whole;
// the lock is never waited for in vain (held by ourselves) and its wait gives way to a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "report/output_file.h"
#include "report/output_set.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

enum class Call { fsync, close, linkat, renameat, pwrite };

// The real calls, except that the `nth` call of one kind fails with `error`.
class FailingCalls : public SystemCalls {
 public:
  FailingCalls(Call call, int nth, int error) : call_(call), nth_(nth), error_(error) {}
  int fsync(int fd) override { return fails(Call::fsync) ? -1 : SystemCalls::fsync(fd); }
  int close(int fd) override {
    if (!fails(Call::close)) return SystemCalls::close(fd);
    SystemCalls::close(fd);  // a failed close still frees the descriptor
    errno = error_;
    return -1;
  }
  int linkat(int a, const char* b, int c, const char* d, int flags) override {
    return fails(Call::linkat) ? -1 : SystemCalls::linkat(a, b, c, d, flags);
  }
  int renameat(int a, const char* b, int c, const char* d) override {
    return fails(Call::renameat) ? -1 : SystemCalls::renameat(a, b, c, d);
  }
  ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override {
    return fails(Call::pwrite) ? -1 : SystemCalls::pwrite(fd, data, size, offset);
  }
  bool fired() const { return seen_ >= nth_; }

 private:
  bool fails(Call call) {
    if (call != call_ || ++seen_ != nth_) return false;
    errno = error_;
    return true;
  }
  Call call_;
  int nth_;
  int error_;
  int seen_ = 0;
};

// The earlier pair in a folder: how each target is made decides how it is replaced.
enum class Layout { both_renamed, export_in_place, both_in_place, both_new };

void make_earlier(const TempDir& dir, Layout layout) {
  if (layout == Layout::both_new) return;
  write_file(dir / "out.ply", "earlier export, somewhat longer than the new one");
  write_file(dir / "out.ply.log", "earlier log");
  if (layout != Layout::both_renamed) link((dir / "out.ply").c_str(), (dir / "keep.ply").c_str());
  if (layout == Layout::both_in_place) link((dir / "out.ply.log").c_str(), (dir / "keep.log").c_str());
}

std::vector<std::string> contents(const TempDir& dir) {
  std::vector<std::string> all;
  for (const std::string& name : list_dir(dir.path())) all.push_back(name + "=" + read_file(dir / name));
  return all;
}

// With `calls`, publishes a new pair over the earlier one of `layout`.
OutputStatus publish_pair(const TempDir& dir, SystemCalls& calls) {
  OutputSet set;
  set.use_system_calls(calls);
  OutputFile& log = set.add(dir / "out.ply.log");
  OutputFile& exported = set.add(dir / "out.ply");
  if (const OutputStatus s = set.open(); s.failure != Failure::none) return s;
  log.write("new log");
  exported.write("new export");
  return set.publish();
}

TEST(OutputPublish, AFailedCallAnywhereLeavesTheWholeEarlierSet) {
  struct Injected {
    Call call;
    int error;
  };
  const std::vector<Injected> injected = {
      {Call::fsync, EIO},  {Call::fsync, EDQUOT}, {Call::close, EIO},   {Call::close, ENOSPC},
      {Call::linkat, ENOSPC}, {Call::linkat, EIO}, {Call::renameat, EIO}, {Call::pwrite, EIO},
  };
  for (const Layout layout : {Layout::both_renamed, Layout::export_in_place, Layout::both_in_place, Layout::both_new}) {
    TempDir reference;
    make_earlier(reference, layout);
    const std::vector<std::string> before = contents(reference);
    int failed_calls[5] = {};
    for (const Injected& inject : injected) {
      // The first call of the kind fails, then the second, ... until the kind runs out.
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + " call " +
                     std::to_string(static_cast<int>(inject.call)) + " error " + std::to_string(inject.error) +
                     " at " + std::to_string(nth));
        TempDir dir;
        make_earlier(dir, layout);
        FailingCalls calls(inject.call, nth, inject.error);
        const OutputStatus s = publish_pair(dir, calls);
        if (!calls.fired()) {
          ASSERT_EQ(s.failure, Failure::none);
          EXPECT_EQ(read_file(dir / "out.ply"), "new export");
          EXPECT_EQ(read_file(dir / "out.ply.log"), "new log");
          if (layout != Layout::both_renamed && layout != Layout::both_new) {
            EXPECT_EQ(read_file(dir / "keep.ply"), "new export") << "written in place, through the other link";
          }
          break;
        }
        ++failed_calls[static_cast<int>(inject.call)];
        EXPECT_EQ(s.failure, Failure::write_error);
        EXPECT_TRUE(s.name == dir / "out.ply" || s.name == dir / "out.ply.log") << s.name;
        EXPECT_EQ(contents(dir), before) << "the whole earlier set, and no temporary or lock file";
        if (nth > 20) break;  // no kind is called that often for a pair
      }
    }
    // Every temporary synced and closed; renames for all; copies into files written in place.
    const bool in_place = layout == Layout::export_in_place || layout == Layout::both_in_place;
    EXPECT_GE(failed_calls[static_cast<int>(Call::fsync)], 2 * 2);
    EXPECT_GE(failed_calls[static_cast<int>(Call::close)], 2 * 2);
    EXPECT_EQ(failed_calls[static_cast<int>(Call::renameat)] > 0, layout != Layout::both_in_place);
    EXPECT_EQ(failed_calls[static_cast<int>(Call::pwrite)] > 0, in_place);
  }
}

// A file system without second links (the earlier file cannot be linked aside, so it is
// renamed aside when replaced): a rename failing at any point still leaves the earlier set.
class NoSecondLinks : public FailingCalls {
 public:
  using FailingCalls::FailingCalls;
  int linkat(int a, const char* b, int c, const char* d, int flags) override {
    if (flags == 0) {  // a name linked to another name, not a temporary given its first name
      errno = EPERM;
      return -1;
    }
    return FailingCalls::linkat(a, b, c, d, flags);
  }
};

TEST(OutputPublish, WithoutSecondLinksTheEarlierFileIsRenamedAsideAndBack) {
  for (const Layout layout : {Layout::both_renamed, Layout::both_new}) {
    TempDir reference;
    make_earlier(reference, layout);
    const std::vector<std::string> before = contents(reference);
    int failures = 0;
    for (int nth = 1; nth < 20; ++nth) {
      SCOPED_TRACE("layout " + std::to_string(static_cast<int>(layout)) + " rename " + std::to_string(nth));
      TempDir dir;
      make_earlier(dir, layout);
      NoSecondLinks calls(Call::renameat, nth, EIO);
      const OutputStatus s = publish_pair(dir, calls);
      if (!calls.fired()) {
        ASSERT_EQ(s.failure, Failure::none);
        EXPECT_EQ(contents(dir), (std::vector<std::string>{"out.ply=new export", "out.ply.log=new log"}));
        break;
      }
      ++failures;
      EXPECT_EQ(s.failure, Failure::write_error);
      EXPECT_EQ(contents(dir), before);
    }
    // Two renames per output: aside (tried even where no earlier file is left), then in.
    EXPECT_EQ(failures, 4);
  }
}

// A child process that publishes a pair, ended by SIGALRM if it waits too long.
pid_t publish_in_child(const TempDir& dir, int ready_fd) {
  const pid_t child = fork();
  if (child != 0) return child;
  rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  alarm(30);
  OutputSet set;
  OutputFile& log = set.add(dir / "out.ply.log");
  OutputFile& exported = set.add(dir / "out.ply");
  if (set.open().failure != Failure::none) _exit(3);
  log.write("new log");
  exported.write("new export");
  if (ready_fd >= 0 && write(ready_fd, "r", 1) != 1) _exit(5);
  _exit(set.publish().failure == Failure::none ? 0 : 4);
}

char state_of(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t paren = line.rfind(')');
  return paren == std::string::npos || paren + 2 >= line.size() ? '?' : line[paren + 2];
}

TEST(OutputPublish, TheFolderLockedByOurselvesIsNoDeadlock) {
  // As a caller serialising its jobs on the folder does: the lock is held on a
  // descriptor the run inherits. Also where no lock file can be made (a folder in
  // its place), so that the folder itself is what a run locks.
  for (const bool lock_file : {true, false}) {
    TempDir dir;
    make_earlier(dir, Layout::both_renamed);
    if (!lock_file) {
      ASSERT_EQ(mkdir((dir / ".ptdelta.lock").c_str(), 0700), 0);
    }
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(folder, LOCK_EX), 0);
    const pid_t child = publish_in_child(dir, -1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(folder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << " (SIGALRM: it waited)";
    EXPECT_EQ(read_file(dir / "out.ply"), "new export");
    std::vector<std::string> names = {"out.ply", "out.ply.log"};
    if (!lock_file) names.insert(names.begin(), ".ptdelta.lock");
    EXPECT_EQ(list_dir(dir.path()), names);
  }
}

TEST(OutputPublish, ASignalWhileWaitingForTheLockEndsTheRunWithNothingPublished) {
  for (const int sig : {SIGINT, SIGTERM}) {
    TempDir dir;
    make_earlier(dir, Layout::export_in_place);
    const std::vector<std::string> before = contents(dir);
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    auto held = std::make_unique<output_detail::FolderLocks>(std::vector<int>{folder});
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = publish_in_child(dir, ready[1]);
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    // Asleep: in the lock's wait (a signal a moment earlier must end it the same way).
    for (int look = 0; look < 10000 && state_of(child) != 'S'; ++look) usleep(1000);
    ASSERT_EQ(kill(child, sig), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
    held.reset();
    close(folder);
    EXPECT_EQ(contents(dir), before) << "signal " << sig;
  }
}

}  // namespace
}  // namespace ptdelta
