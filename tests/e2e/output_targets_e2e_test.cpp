// Output targets end to end: what a plain open would refuse is refused before the work; any
// other target gets the whole new export and log with what it was kept (owner, links, ACLs),
// or keeps its earlier contents; interrupts, closed pipes and full disks never leave a half.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

constexpr int nobody = 65534;

// `n` points of a fixed pseudo-random cloud, three decimals each.
std::string cloud_text(int n, std::uint32_t seed) {
  std::string s;
  for (int i = 0; i < 3 * n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    s += std::to_string((seed >> 8) % 100000 / 1000) + "." + std::to_string((seed >> 8) % 1000);
    s += i % 3 == 2 ? "\n" : " ";
  }
  return s;
}

struct Inputs {
  std::string ref, test;
};

const Inputs& inputs() {
  static const Inputs in{cloud_text(2000, 1), cloud_text(3000, 2)};  // an export of about 150 KB
  return in;
}

void write_inputs(const TempDir& dir) {
  write_file(dir / "ref.txt", inputs().ref);
  write_file(dir / "test.txt", inputs().test);
}

// The export and log of a complete run, for comparison.
struct Outputs {
  std::string exported, log;
};

const Outputs& expected() {
  static const Outputs out = [] {
    TempDir dir;
    write_inputs(dir);
    const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    return Outputs{read_file(dir / "out.ply"), read_file(dir / "out.ply.log")};
  }();
  return out;
}

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string attribute(const std::string& path, const char* name) {
  std::string value(256, '\0');
  const ssize_t n = getxattr(path.c_str(), name, value.data(), value.size());
  return n < 0 ? "<none>" : value.substr(0, static_cast<std::size_t>(n));
}

// An access ACL: owner rw, user 1234 rw, owning group r, mask rw, others nothing.
std::string acl_with_named_user() {
  std::string acl;
  const auto put = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  };
  put(2, 4);  // version
  for (const auto& [tag, perm, id] : {std::array<std::uint32_t, 3>{1, 6, ~0u}, {2, 6, 1234}, {4, 4, ~0u},
                                      {0x10, 6, ~0u}, {0x20, 0, ~0u}}) {
    put(tag, 2);
    put(perm, 2);
    put(id, 4);
  }
  return acl;
}

// Mounts in a mount namespace of this test process alone, so nothing outlives it.
bool mount_here(const char* source, const std::string& target, const char* type, unsigned long flags,
                const char* options) {
  static const bool private_mounts =
      geteuid() == 0 && unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return private_mounts && mount(source, target.c_str(), type, flags, options) == 0;
}

// A folder on a tmpfs of `options`; false when nothing can be mounted here.
bool small_disk(const TempDir& dir, const char* options) {
  mkdir((dir / "small").c_str(), 0777);
  return mount_here("tmpfs", dir / "small", "tmpfs", 0, options);
}

// Takes the free inodes of `folder` with empty files.
void use_every_inode(const std::string& folder) {
  for (int i = 0; i < 1000; ++i) {
    const int fd = open((folder + "/fill" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0) return;
    close(fd);
  }
}

template <class Field, class Value>
ChildSetup setup_with(Field ChildSetup::*field, const Value& value) {
  ChildSetup setup;
  setup.*field = value;
  return setup;
}

struct TargetCase {
  std::string what;
  std::string export_name;
  // Makes the target; returns an empty text, or why this row cannot run here.
  std::function<std::string(const TempDir&)> setup;
  bool unprivileged;  // run as another user (as root) or as we are
  int status;
  std::string err_tail;
  std::function<void(const TempDir&)> check;
};

TEST(OutputTargets, EveryKindOfTargetIsWrittenWholeOrKeptAsItWas) {
  const Outputs& want = expected();
  const bool root = geteuid() == 0;
  const std::string loaded = "\t3000 final\n";
  const std::string done = "\nExporting results .........Done.\n";
  const auto earlier_pair = [](const std::string& folder) {
    return [folder](const TempDir& dir) {
      EXPECT_EQ(read_file(dir / (folder + "out.ply")), "earlier export");
      EXPECT_EQ(read_file(dir / (folder + "out.ply.log")), "earlier log");
      EXPECT_FALSE(file_exists(dir / (folder + "new.ply")));
    };
  };
  const auto make_earlier_pair = [](const std::string& folder) {
    return [folder](const TempDir& dir) {
      write_file(dir / (folder + "out.ply"), "earlier export");
      write_file(dir / (folder + "out.ply.log"), "earlier log");
    };
  };
  const std::vector<TargetCase> cases = {
      {"read-only file", "out.ply",
       [&](const TempDir& dir) {
         write_file(dir / "out.ply", "earlier");
         if (root && chown((dir / "out.ply").c_str(), nobody, nobody) != 0) return "chown failed";
         chmod((dir / "out.ply").c_str(), 0444);
         return "";
       },
       true, 1, loaded + "Couldn't open out.ply\n",  // before the comparison runs
       [](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "out.ply"), "earlier");
         EXPECT_FALSE(file_exists(dir / "out.ply.log"));
       }},
      {"writable file of another owner", "out.ply",
       [&](const TempDir& dir) {
         if (!root) return "needs root to give a file to another user";
         write_file(dir / "out.ply", "earlier");
         if (chown((dir / "out.ply").c_str(), 1234, 1234) != 0) return "chown failed";
         chmod((dir / "out.ply").c_str(), 0666);
         return "";
       },
       true, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "out.ply"), want.exported);
         const struct stat st = stat_of(dir / "out.ply");
         EXPECT_EQ(st.st_uid, 1234u);
         EXPECT_EQ(st.st_gid, 1234u);
         EXPECT_EQ(st.st_mode & 07777, 0666u);
       }},
      {"hard link", "out.ply",
       [](const TempDir& dir) {
         write_file(dir / "out.ply", "earlier");
         link((dir / "out.ply").c_str(), (dir / "other.ply").c_str());
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "other.ply"), want.exported);
         EXPECT_EQ(stat_of(dir / "out.ply").st_ino, stat_of(dir / "other.ply").st_ino);
       }},
      {"symlink to a file", "out.ply",
       [](const TempDir& dir) {
         write_file(dir / "real.ply", "earlier");
         symlink("real.ply", (dir / "out.ply").c_str());
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "real.ply"), want.exported);
         EXPECT_EQ(read_file(dir / "out.ply.log"), want.log);
         EXPECT_EQ(list_dir(dir.path()),
                   (std::vector<std::string>{"out.ply", "out.ply.log", "real.ply", "ref.txt", "test.txt"}));
       }},
      {"dangling symlink", "out.ply",
       [](const TempDir& dir) {
         mkdir((dir / "sub").c_str(), 0755);
         symlink("sub/new.ply", (dir / "out.ply").c_str());
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "sub/new.ply"), want.exported);
         struct stat st {};
         EXPECT_EQ(lstat((dir / "out.ply").c_str(), &st), 0);
         EXPECT_TRUE(S_ISLNK(st.st_mode));
       }},
      {"ACL and extended attribute", "out.ply",
       [](const TempDir& dir) {
         write_file(dir / "out.ply", "earlier");
         chmod((dir / "out.ply").c_str(), 0640);
         const std::string acl = acl_with_named_user();
         if (setxattr((dir / "out.ply").c_str(), "user.note", "kept", 4, 0) != 0 ||
             setxattr((dir / "out.ply").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
           return "no ACLs or extended attributes here";
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "out.ply"), want.exported);
         EXPECT_EQ(attribute(dir / "out.ply", "user.note"), "kept");
         EXPECT_EQ(attribute(dir / "out.ply", "system.posix_acl_access"), acl_with_named_user());
         EXPECT_EQ(stat_of(dir / "out.ply").st_mode & 07777, 0660u) << "the group bits show the ACL mask";
       }},
      {"log that links to the export", "out.ply",
       [](const TempDir& dir) {
         symlink("out.ply", (dir / "out.ply.log").c_str());
         return "";
       },
       false, 1, loaded + "Couldn't open out.ply.log\n",
       [](const TempDir& dir) { EXPECT_FALSE(file_exists(dir / "out.ply")); }},
      {"export pipe whose reader is gone", "/dev/stdout", [](const TempDir&) { return ""; }, false, 1,
       "Exporting results .........Couldn't write /dev/stdout\n",
       [](const TempDir& dir) { EXPECT_FALSE(file_exists(dir / "out.ply.log")); }},
      {"console pipe whose reader is gone", "out.ply", [](const TempDir&) { return ""; }, false, 0, "",
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "out.ply"), want.exported);
         EXPECT_EQ(read_file(dir / "out.ply.log"), want.log);
       }},
      {"file size limit", "out.ply",
       [&](const TempDir& dir) {
         make_earlier_pair("")(dir);
         return "";
       },
       false, 1, "Exporting results .........Couldn't write out.ply\n", earlier_pair("")},
      {"full disk", "small/out.ply",
       [&](const TempDir& dir) {
         if (!small_disk(dir, "size=64k")) return "cannot mount a tmpfs here";
         make_earlier_pair("small/")(dir);
         return "";
       },
       false, 1, "Exporting results .........Couldn't write small/out.ply\n",
       [&](const TempDir& dir) {
         earlier_pair("small/")(dir);
         EXPECT_EQ(list_dir(dir / "small"), (std::vector<std::string>{"out.ply", "out.ply.log"}));
       }},
      {"no free inode: written in place", "small/out.ply",
       [&](const TempDir& dir) {
         if (!small_disk(dir, "size=1m,nr_inodes=16")) return "cannot mount a tmpfs here";
         make_earlier_pair("small/")(dir);
         use_every_inode(dir / "small");
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "small/out.ply"), want.exported);
         EXPECT_EQ(read_file(dir / "small/out.ply.log"), want.log);
       }},
      {"no free inode and no room", "small/out.ply",
       [&](const TempDir& dir) {
         if (!small_disk(dir, "size=64k,nr_inodes=16")) return "cannot mount a tmpfs here";
         make_earlier_pair("small/")(dir);
         use_every_inode(dir / "small");
         return "";
       },
       false, 1, "Exporting results .........Couldn't write small/out.ply\n", earlier_pair("small/")},
      {"hard link with a small $TMPDIR", "out.ply",
       [&](const TempDir& dir) {
         mkdir((dir / "tmp").c_str(), 0777);
         if (!mount_here("tmpfs", dir / "tmp", "tmpfs", 0, "size=16k")) return "cannot mount a tmpfs here";
         make_earlier_pair("")(dir);
         link((dir / "out.ply").c_str(), (dir / "other.ply").c_str());
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         EXPECT_EQ(read_file(dir / "other.ply"), want.exported) << "staged beside the target, not in $TMPDIR";
         EXPECT_EQ(read_file(dir / "out.ply.log"), want.log);
         umount2((dir / "tmp").c_str(), MNT_DETACH);
         EXPECT_EQ(list_dir(dir.path()),
                   (std::vector<std::string>{"other.ply", "out.ply", "out.ply.log", "ref.txt", "test.txt", "tmp"}));
       }},
      {"bind-mounted file", "out.ply",
       [&](const TempDir& dir) {
         write_file(dir / "volume.ply", "earlier");
         write_file(dir / "out.ply", "");
         if (!mount_here((dir / "volume.ply").c_str(), dir / "out.ply", nullptr, MS_BIND, nullptr))
           return "cannot bind-mount here";
         return "";
       },
       false, 0, done,
       [&](const TempDir& dir) {
         umount2((dir / "out.ply").c_str(), MNT_DETACH);
         EXPECT_EQ(read_file(dir / "volume.ply"), want.exported);
       }},
  };
  for (const TargetCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    write_inputs(dir);
    chmod(dir.path().c_str(), 0777);
    if (const std::string skip = c.setup(dir); !skip.empty()) {
      std::printf("[ SKIPPED  ] %s: %s\n", c.what.c_str(), skip.c_str());
      continue;
    }
    ChildSetup child;
    if (c.unprivileged && root) child.uid = child.gid = nobody;
    int gone[2] = {-1, -1};
    if (c.what.find("pipe") != std::string::npos) {
      ASSERT_EQ(pipe(gone), 0);
      close(gone[0]);  // the reader is gone before the first byte
      (c.what.starts_with("export") ? child.out : child.err) = gone[1];
    }
    if (c.what == "file size limit") child.file_size_limit = 64 * 1024;  // the log fits, the export does not
    const char* saved = std::getenv("TMPDIR");
    const std::string saved_tmpdir = saved != nullptr ? saved : "";
    if (c.what.ends_with("$TMPDIR")) setenv("TMPDIR", (dir / "tmp").c_str(), 1);
    const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", c.export_name}, dir.path(), child);
    if (saved != nullptr) setenv("TMPDIR", saved_tmpdir.c_str(), 1);
    if (saved == nullptr) unsetenv("TMPDIR");
    if (gone[1] >= 0) close(gone[1]);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(r.err.ends_with(c.err_tail)) << r.err;
    c.check(dir);
    umount2((dir / "small").c_str(), MNT_DETACH);
  }
}

TEST(OutputTargets, NamedPipeGetsTheExportAndNoLog) {
  TempDir dir;
  write_inputs(dir);
  ASSERT_EQ(mkfifo((dir / "out.ply").c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    const int fd = open((dir / "out.ply").c_str(), O_RDONLY);
    char buffer[65536];
    for (ssize_t n; fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) close(fd);
  });
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  if (r.status != 0) close(open((dir / "out.ply").c_str(), O_WRONLY | O_NONBLOCK));  // never leave the reader waiting
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.ends_with(expected().log + "No log written: out.ply is not a regular file\n" +
                              "\nExporting results .........Done.\n"))
      << r.err;
  EXPECT_EQ(received, expected().exported);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"out.ply", "ref.txt", "test.txt"}));
}

TEST(OutputStreams, StdoutExportAndClosedStandardDescriptors) {
  const Outputs& want = expected();
  TempDir dir;
  write_inputs(dir);
  const std::vector<std::string> args = {"-r", "ref.txt", "-c", "test.txt", "-o", "/dev/stdout"};
  // Standard output appends to a file: the export is appended, nothing replaces the file.
  write_file(dir / "all.txt", "earlier line\n");
  int out = open((dir / "all.txt").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(out, 0);
  RunResult r = run_ptdelta(args, dir.path(), setup_with(&ChildSetup::out, out));
  close(out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "all.txt"), "earlier line\n" + want.exported);
  const std::string tail = want.log + "No log written: /dev/stdout is not a regular file\n" +
                           "\nExporting results .........Done.\n";
  EXPECT_TRUE(r.err.ends_with(tail)) << r.err;
  EXPECT_FALSE(file_exists("/dev/stdout.log"));
  // The same through /dev/fd/1 into a file opened at its start.
  out = open((dir / "fresh.txt").c_str(), O_WRONLY | O_CREAT, 0644);
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "/dev/fd/1"}, dir.path(), setup_with(&ChildSetup::out, out));
  close(out);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "fresh.txt"), want.exported);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"all.txt", "fresh.txt", "ref.txt", "test.txt"}));

  // Closed standard descriptors: the log gets the statistics once and nothing else.
  for (const std::vector<int>& closed : {std::vector<int>{2}, {0, 1, 2}, {1}}) {
    r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path(), setup_with(&ChildSetup::closed, closed));
    EXPECT_EQ(r.status, 0) << closed.size();
    EXPECT_EQ(read_file(dir / "out.ply.log"), want.log) << closed.size();
    EXPECT_EQ(read_file(dir / "out.ply"), want.exported) << closed.size();
  }
}

// A caller serialising its jobs on the folder (locking it, then running us with the
// descriptor inherited) gets its outputs; a run publishing meanwhile waits its turn.
TEST(OutputLocks, AFolderLockedByTheCallerIsNoDeadlock) {
  TempDir dir;
  write_inputs(dir);
  const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);  // inherited: no O_CLOEXEC
  ASSERT_GE(folder, 0);
  ASSERT_EQ(flock(folder, LOCK_EX), 0);
  const int pid = start_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path(), ChildSetup{});
  // A guard, not a measurement: a run that waits for its own lock never ends.
  int status = -1;
  for (int waited = 0; waited < 1200 && waitpid(pid, &status, WNOHANG) == 0; ++waited) usleep(50000);
  if (!WIFEXITED(status) && !WIFSIGNALED(status)) {
    kill(pid, SIGKILL);
    wait_status(pid);
    FAIL() << "the run waited for the caller's lock";
  }
  close(folder);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(read_file(dir / "out.ply"), expected().exported);
  EXPECT_EQ(read_file(dir / "out.ply.log"), expected().log);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"out.ply", "out.ply.log", "ref.txt", "test.txt"}));
}

// A run killed while it loads, compares or exports leaves the earlier export and log,
// or (killed after publishing) the new pair; never a mix, a half or a temporary.
TEST(OutputSignals, AKilledRunLeavesTheEarlierPairOrTheNewOne) {
  TempDir inputs_dir;
  write_file(inputs_dir / "ref.txt", cloud_text(20000, 3));
  write_file(inputs_dir / "test.txt", cloud_text(60000, 4));
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
    for (const std::string moment : {"Loading Test points", "Processing", "Exporting results"}) {
      SCOPED_TRACE(std::to_string(sig) + " at " + moment);
      TempDir dir;
      write_file(dir / "out.ply", "earlier export");
      write_file(dir / "out.ply.log", "earlier log");
      int err[2];
      ASSERT_EQ(pipe(err), 0);
      const int pid = start_ptdelta({"-r", inputs_dir / "ref.txt", "-c", inputs_dir / "test.txt", "-o", "out.ply"},
                                    dir.path(), setup_with(&ChildSetup::err, err[1]));
      close(err[1]);
      std::string console;
      char buffer[4096];
      bool sent = false;
      for (ssize_t n; (n = read(err[0], buffer, sizeof buffer)) > 0;) {
        console.append(buffer, static_cast<std::size_t>(n));
        if (!sent && console.find(moment) != std::string::npos) sent = kill(pid, sig) == 0;
      }
      close(err[0]);
      const int status = wait_status(pid);
      EXPECT_TRUE(sent);
      const bool completed = status == 0 && console.ends_with("Done.\n");
      EXPECT_TRUE(status == 128 + sig || completed) << status;
      EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"out.ply", "out.ply.log"}));
      const std::string exported = read_file(dir / "out.ply"), log = read_file(dir / "out.ply.log");
      if (exported == "earlier export") {
        EXPECT_EQ(log, "earlier log");
      } else {
        EXPECT_TRUE(exported.starts_with("ply\n") && exported.ends_with("\n") && log.starts_with("\n\nSTATISTICS"));
        EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 60000 + 11);
      }
    }
  }
}

}  // namespace
}  // namespace ptdelta::testing
