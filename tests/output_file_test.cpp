// Output files appear whole or not at all: temporary file, rename, clean-up on every failure path.
#include "report/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "report/output_set.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

using testing::list_dir;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(OutputFile, NewFileAppearsOnlyWhenFinishedWithPlainPermissions) {
  TempDir dir;
  const std::string target = dir / "out.ply";
  OutputFile out;
  ASSERT_EQ(out.open(target), Failure::none);
  out.write("first ");
  // Larger than a block, so some of it reaches the disk before finish().
  const std::string big(OutputFile::block_size + 17, 'x');
  out.write(big);
  EXPECT_FALSE(testing::file_exists(target));
  EXPECT_EQ(out.placement(), OutputFile::Placement::rename);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{}) << "an unnamed temporary until it is complete";
  ASSERT_EQ(out.finish(), Failure::none);
  EXPECT_EQ(read_file(target), "first " + big);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"out.ply"});
  const mode_t mask = umask(022);
  umask(mask);
  EXPECT_EQ(mode_of(target), static_cast<mode_t>(0666 & ~mask));
}

TEST(OutputFile, UnfinishedOutputLeavesEarlierFileAndNoTemporary) {
  TempDir dir;
  const std::string target = dir / "out.ply";
  write_file(target, "earlier\n");
  ASSERT_EQ(chmod(target.c_str(), 0640), 0);
  {
    OutputFile out;
    ASSERT_EQ(out.open(target), Failure::none);
    out.write("half of a new file");
    EXPECT_EQ(out.placement(), OutputFile::Placement::rename);
  }
  EXPECT_EQ(read_file(target), "earlier\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"out.ply"});

  // Replacing it keeps the mode the earlier file had, as rewriting it in place would.
  OutputFile out;
  ASSERT_EQ(out.open(target), Failure::none);
  out.write("new\n");
  ASSERT_EQ(out.finish(), Failure::none);
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(mode_of(target), 0640u);
}

TEST(OutputFile, SymlinkToFileIsFollowedDevicesAreWrittenDirectly) {
  TempDir dir;
  write_file(dir / "real.ply", "earlier");
  ASSERT_EQ(symlink("real.ply", (dir / "link.ply").c_str()), 0);
  OutputFile out;
  ASSERT_EQ(out.open(dir / "link.ply"), Failure::none);
  out.write("through the link");
  ASSERT_EQ(out.finish(), Failure::none);
  struct stat st {};
  ASSERT_EQ(lstat((dir / "link.ply").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_file(dir / "real.ply"), "through the link");
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"link.ply", "real.ply"}));

  OutputFile full;
  ASSERT_EQ(full.open("/dev/full"), Failure::none);
  EXPECT_EQ(full.placement(), OutputFile::Placement::direct);
  full.write("no room");
  EXPECT_EQ(full.finish(), Failure::write_error);

  OutputFile null;
  ASSERT_EQ(null.open("/dev/null"), Failure::none);
  null.write("gone");
  EXPECT_EQ(null.finish(), Failure::none);
  struct stat dev {};
  ASSERT_EQ(stat("/dev/null", &dev), 0);
  EXPECT_TRUE(S_ISCHR(dev.st_mode)) << "a device is never replaced by a file";
}

TEST(OutputFile, UnopenableAndOverlongNames) {
  TempDir dir;
  OutputFile missing;
  EXPECT_EQ(missing.open(dir / "no/such/folder.ply"), Failure::cannot_open);
  OutputFile folder;
  EXPECT_EQ(folder.open(dir.path()), Failure::cannot_open);
  EXPECT_EQ(folder.finish(), Failure::write_error);

  // Room for the name but not for a suffix: the temporary file takes a short name.
  const std::string longest(250, 'n');
  OutputFile out;
  ASSERT_EQ(out.open(dir / longest), Failure::none);
  out.write("long");
  ASSERT_EQ(out.finish(), Failure::none);
  EXPECT_EQ(read_file(dir / longest), "long");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{longest});

  OutputFile too_long;
  EXPECT_EQ(too_long.open(dir / std::string(300, 'n')), Failure::cannot_open);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{longest});
}

TEST(OutputFile, InterruptRemovesTemporariesAndStillEndsTheProcess) {
  TempDir dir;
  write_file(dir / "out.ply", "earlier");
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      OutputFile log, out;
      if (log.open(dir / "out.ply.log") != Failure::none || out.open(dir / "out.ply") != Failure::none) _exit(3);
      out.write("partial");
      raise(sig);
      _exit(4);  // not reached: the signal still ends the process
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << sig << " status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"out.ply"}) << "signal " << sig;
    EXPECT_EQ(read_file(dir / "out.ply"), "earlier");
  }
}

TEST(OutputFile, PlacementFollowsWhatARenameWouldChange) {
  TempDir dir;
  write_file(dir / "plain.ply", "earlier");
  write_file(dir / "linked.ply", "earlier");
  ASSERT_EQ(link((dir / "linked.ply").c_str(), (dir / "second.ply").c_str()), 0);
  struct Case {
    std::string name;
    const char* tmpdir;  // where in-place contents are completed; a missing folder leaves memory
    OutputFile::Placement placement;
  };
  using P = OutputFile::Placement;
  const std::vector<Case> cases = {
      {dir / "new.ply", nullptr, P::rename},       {dir / "plain.ply", nullptr, P::rename},
      {dir / "linked.ply", nullptr, P::in_place},  {dir / "second.ply", "/no/such/folder", P::in_place},
      {"/dev/null", nullptr, P::direct},           {"/dev/stderr", nullptr, P::direct},
  };
  const char* saved = std::getenv("TMPDIR");
  const std::string saved_tmpdir = saved != nullptr ? saved : "";
  for (const Case& c : cases) {
    if (c.tmpdir != nullptr) setenv("TMPDIR", c.tmpdir, 1);
    OutputFile out;
    ASSERT_EQ(out.open(c.name), Failure::none) << c.name;
    EXPECT_EQ(out.placement(), c.placement) << c.name;
    out.write(c.placement == P::direct ? "" : "new contents of " + c.name);
    EXPECT_EQ(out.finish(), Failure::none) << c.name;
    if (c.placement != P::direct) {
      EXPECT_EQ(read_file(c.name), "new contents of " + c.name);
    }
    if (saved != nullptr) setenv("TMPDIR", saved_tmpdir.c_str(), 1);
    if (saved == nullptr) unsetenv("TMPDIR");
  }
  // Copied in place, through either name: the link stays.
  EXPECT_EQ(read_file(dir / "linked.ply"), "new contents of " + dir / "second.ply");
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"linked.ply", "new.ply", "plain.ply", "second.ply"}));
}

// A file claimed for writing in place that another run replaces or removes
// before the end: the contents go to the name, not to the file it used to hold.
TEST(OutputFile, InPlaceTargetReplacedOrRemovedMeanwhileGetsTheContentsAtItsName) {
  for (const bool removed : {false, true}) {
    TempDir dir;
    write_file(dir / "out.ply", "earlier");
    ASSERT_EQ(link((dir / "out.ply").c_str(), (dir / "keep.ply").c_str()), 0);
    OutputFile out;
    ASSERT_EQ(out.open(dir / "out.ply"), Failure::none);
    ASSERT_EQ(out.placement(), OutputFile::Placement::in_place);
    if (removed) {
      ASSERT_EQ(unlink((dir / "out.ply").c_str()), 0);
    } else {
      write_file(dir / "other.ply", "another run");
      ASSERT_EQ(rename((dir / "other.ply").c_str(), (dir / "out.ply").c_str()), 0);
    }
    out.write("ours");
    EXPECT_EQ(out.finish(), Failure::none);
    EXPECT_EQ(read_file(dir / "out.ply"), "ours") << removed;
    EXPECT_EQ(read_file(dir / "keep.ply"), "earlier") << removed;
  }
}

TEST(OutputSet, SameFileTwiceIsRefusedBeforeAnythingIsOpened) {
  TempDir dir;
  write_file(dir / "out.ply", "earlier");
  ASSERT_EQ(symlink("out.ply", (dir / "out.ply.log").c_str()), 0);
  ASSERT_EQ(symlink("new.ply", (dir / "new.ply.log").c_str()), 0);  // dangling: both would create new.ply
  for (const std::string& base : {dir / "out.ply", dir / "new.ply"}) {
    OutputSet set;
    set.add(base + ".log");
    set.add(base);
    const OutputStatus s = set.open();
    EXPECT_EQ(s.failure, Failure::cannot_open);
    EXPECT_EQ(s.name, base + ".log");
  }
  EXPECT_EQ(read_file(dir / "out.ply"), "earlier");
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"new.ply.log", "out.ply", "out.ply.log"}));
}

// Runs that publish the same pair at the same time take turns by the folder's lock:
// one who holds it never sees one run's log beside another's export.
TEST(OutputSet, ConcurrentRunsPublishWholePairs) {
  TempDir dir;
  write_file(dir / "out.ply", "none");
  write_file(dir / "out.ply.log", "none");
  std::vector<pid_t> children;
  for (int k = 0; k < 4; ++k) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int round = 0; round < 100; ++round) {
        OutputSet set;
        OutputFile& log = set.add(dir / "out.ply.log");
        OutputFile& exported = set.add(dir / "out.ply");
        if (set.open().failure != Failure::none) _exit(3);
        log.write("run " + std::to_string(k) + "." + std::to_string(round));
        exported.write("run " + std::to_string(k) + "." + std::to_string(round));
        if (set.publish().failure != Failure::none) _exit(4);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  int mixed = 0;
  for (int look = 0; look < 1000; ++look) {
    const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    {
      output_detail::FolderLocks lock({folder});
      if (read_file(dir / "out.ply") != read_file(dir / "out.ply.log")) ++mixed;
    }
    close(folder);
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(mixed, 0);
  EXPECT_EQ(read_file(dir / "out.ply"), read_file(dir / "out.ply.log"));
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"out.ply", "out.ply.log"}));
}

}  // namespace
}  // namespace ptdelta
