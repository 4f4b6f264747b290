// Bad input and faults end to end: read errors are not end of data, outputs never
// replace inputs, odd numbers and odd files still give a complete run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

const std::string ply_header_3 =
    "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\nend_header\n";

bool ends_with(const std::string& text, const std::string& tail) { return text.ends_with(tail); }

TEST(BadInput, OutputThatIsAnInputIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string ref = "0 0 0\n1 0 0\n0 1 0\n";
  const std::string test = "0 0 1\n";
  write_file(dir / "ref.txt", ref);
  write_file(dir / "test.txt", test);
  write_file(dir / "a.ply", ply_header_3 + "0 0 0\n1 1 1\n2 2 2\n");
  write_file(dir / "list.txt", "a.ply\n");
  ASSERT_EQ(link((dir / "test.txt").c_str(), (dir / "hard.ply.log").c_str()), 0);
  ASSERT_EQ(symlink("ref.txt", (dir / "soft.ply").c_str()), 0);

  struct Case {
    std::vector<std::string> args;
    std::string refused;
  };
  const std::vector<Case> cases = {
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "./ref.txt"}, "./ref.txt"},  // same file, other spelling
      {{"-r", "ref.txt", "-c", "test.txt", "-o", dir / "test.txt"}, dir / "test.txt"},
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "hard.ply"}, "hard.ply.log"},  // the log is a hard link
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "soft.ply"}, "soft.ply"},      // a symlink to an input
      {{"-r", "ref.txt", "-cp", "list.txt", "-o", "list.txt"}, "list.txt"},  // -cp reads a list
      {{"-r", "ref.txt", "-cp", "list.txt", "-o", "./a.ply"}, "./a.ply"},    // a file the list names
      {{"-rp", "a.ply", "-c", "test.txt", "-o", "a.ply"}, "a.ply"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_ptdelta(c.args, dir.path());
    EXPECT_EQ(r.status, 1) << c.refused;
    EXPECT_TRUE(ends_with(r.err, "\t1 final\nRefusing to overwrite input file " + c.refused + "\n") ||
                ends_with(r.err, "\t3 final\nRefusing to overwrite input file " + c.refused + "\n"))
        << r.err;
    EXPECT_EQ(read_file(dir / "ref.txt"), ref);
    EXPECT_EQ(read_file(dir / "test.txt"), test);
    EXPECT_EQ(list_dir(dir.path()),
              (std::vector<std::string>{"a.ply", "hard.ply.log", "list.txt", "ref.txt", "soft.ply", "test.txt"}));
  }
}

TEST(BadInput, FolderAsInputIsAReadErrorNotAnEmptyCloud) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  write_file(dir / "test.txt", "0 0 1\n");
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  write_file(dir / "list.txt", ply_header_3.substr(0, 0) + "folder\n");
  const std::vector<std::vector<std::string>> runs = {
      {"-r", "folder", "-c", "test.txt", "-o", "out.ply"},
      {"-r", "ref.txt", "-c", "folder", "-o", "out.ply"},
      {"-rp", "folder", "-c", "test.txt", "-o", "out.ply"},
      {"-r", "ref.txt", "-cp", "folder", "-o", "out.ply"},
      {"-r", "ref.txt", "-cpl", "folder", "-o", "out.ply"},
      {"-r", "ref.txt", "-cp", "list.txt", "-o", "out.ply"},  // the list names a folder
  };
  for (const auto& args : runs) {
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 1) << args[3];
    EXPECT_TRUE(ends_with(r.err, "points ................Couldn't read folder\n") ||
                ends_with(r.err, "points .......................Couldn't read folder\n"))
        << r.err;
    EXPECT_FALSE(file_exists(dir / "out.ply"));
    EXPECT_FALSE(file_exists(dir / "out.ply.log"));
  }
}

TEST(BadInput, FailedRunKeepsEarlierOutputsAndLeavesNoTemporaries) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  write_file(dir / "test.txt", "0 0 1\n");
  write_file(dir / "out.ply", "earlier export");
  ASSERT_EQ(symlink("/dev/full", (dir / "full.ply.log").c_str()), 0);
  write_file(dir / "full.ply", "earlier export");
  // The log cannot be written: the export is not touched.
  RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "full.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.err, "Couldn't write full.ply.log\n")) << r.err;
  EXPECT_EQ(read_file(dir / "full.ply"), "earlier export");
  // A complete run replaces both at once.
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "out.ply").substr(0, 4), "ply\n");
  EXPECT_EQ(list_dir(dir.path()),
            (std::vector<std::string>{"full.ply", "full.ply.log", "out.ply", "out.ply.log", "ref.txt", "test.txt"}));
}

TEST(BadInput, OddNumbersAndMaxdistsStillCompleteTheRun) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n1e38 1e38 1e38\n-1e38 0 0\nnan 0 0\ninf 1 1\n2 2 2\n");
  write_file(dir / "test.txt", "0 0 1\n1e38 1e38 1e38\nnan nan nan\n-inf 0 0\n0.5 0.5 0\n3 3 3\n");
  write_file(dir / "small.txt", "0 0 0.5\nnan 0 0\n1e38 0 0\n");
  for (const std::string maxdist : {"inf", "1e30", "0", "5", "1e38", "1e-30"}) {
    for (const std::string test : {"test.txt", "small.txt"}) {
      // small.txt has fewer points than the reference; test.txt is compared with itself
      // as reference too, so both methods meet the odd values.
      for (const std::string ref : {"ref.txt", "small.txt"}) {
        const RunResult r = run_ptdelta({"-r", ref, "-c", test, "-d", maxdist, "-o", "out.ply"}, dir.path());
        EXPECT_EQ(r.status, 0) << maxdist << " " << ref << " " << test << "\n" << r.err;
        EXPECT_TRUE(ends_with(r.err, "Done.\n")) << r.err;
        EXPECT_TRUE(file_exists(dir / "out.ply.log"));
      }
    }
  }
}

// What follows the test cloud's loading banner: its final line, warnings, and
// either "No points read from" (status 1) or the method line (the run completes).
TEST(BadInput, GarbageFilesAreShortCloudsWithAWarningOrEmptyCloudsThatStop) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  struct Case {
    std::string name, bytes, flag, after_banner;
  };
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>((i * 7919 + 13) & 0xff));
  const std::string le_header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nend_header\n";
  const std::string method = "Method: nearest reference point\n";
  const std::vector<Case> cases = {
      {"empty", "", "-c", "\t0 final\nNo points read from empty\n"},
      {"header_line", "X Y Z\n1 2 3\n", "-c", "\t1 final\n" + method},
      {"nul_bytes", std::string("1 2 3\n4 5\0 6\n", 13), "-c",
       "\t1 final\nWarning: stopped reading nul_bytes at line 2\n" + method},
      {"binary", binary, "-c", "\t0 final\nNo points read from binary\n"},
      {"long_line", "1 2 3\n" + std::string(3000000, '7') + " 1 1\n", "-c", "\t2 final\n" + method},
      {"truncated_binary_ply", le_header + std::string(12 + 7, '\0'), "-cpl",
       "\t1 final\nWarning: truncated_binary_ply ends after 1 of 3 vertices\n" + method},
      {"huge_vertex_count", "ply\nformat ascii 1.0\nelement vertex 3000000000\nproperty float x\nproperty float y\n"
                            "property float z\nend_header\n1 2 3\n", "-cpl",
       "\t1 final\nWarning: huge_vertex_count ends after 1 of 3000000000 vertices\n" + method},
      {"binary_ply_without_xyz", "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float q\n"
                                 "end_header\n\1\2\3\4", "-cpl", "Unsupported PLY file binary_ply_without_xyz\n"},
  };
  const std::string test_banner = "Loading Test points .......................";
  for (const Case& c : cases) {
    write_file(dir / c.name, c.bytes);
    std::remove((dir / "out.ply").c_str());
    const RunResult r = run_ptdelta({"-r", "ref.txt", c.flag, c.name, "-o", "out.ply"}, dir.path());
    const bool completes = c.after_banner.ends_with(method);
    EXPECT_EQ(r.status, completes ? 0 : 1) << c.name << "\n" << r.err;
    const std::size_t at = r.err.find(test_banner);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(r.err.substr(at + test_banner.size(), c.after_banner.size()), c.after_banner) << c.name;
    EXPECT_EQ(file_exists(dir / "out.ply"), completes) << c.name;
    if (completes) {
      EXPECT_TRUE(ends_with(r.err, "Done.\n")) << r.err;
    }
  }
}

TEST(BadInput, UnreadableInputAndOverlongNames) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  write_file(dir / "test.txt", "0 0 1\n");
  const std::string too_long(300, 'n');
  RunResult r = run_ptdelta({"-r", "ref.txt", "-c", too_long, "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.err, "Couldn't open " + too_long + "\n")) << r.err;
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", too_long}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.err, "Couldn't open " + too_long + ".log\n")) << r.err;
  // The export fits in a name but its temporary name would not.
  const std::string longest(250, 'e');
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", longest}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{longest, longest + ".log", "ref.txt", "test.txt"}));

  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
  ASSERT_EQ(chmod((dir / "test.txt").c_str(), 0), 0);
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "x.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.err, "Couldn't open test.txt\n")) << r.err;
}

// Devices never end: a PLY file or list read from one stops at once with a message;
// a finite file without a "ply" line is still read as before (nine-field rows).
TEST(BadInput, EndlessInputsStopAtOnceFiniteOnesReadAsBefore) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  write_file(dir / "test.txt", "0 0 1\n");
  write_file(dir / "zero_list.txt", "/dev/zero\n");
  write_file(dir / "long_line_list.txt", std::string(5000, 'n') + "\n");
  write_file(dir / "headerless.ply", "comment no ply line\nend_header\n1 2 3 0 0 0 1 1 1\n4 5 6 0 0 0 1 1 1\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string tail;
  };
  const std::vector<Case> cases = {
      {{"-rp", "/dev/zero", "-c", "test.txt"}, 1, "points ................Unsupported PLY file /dev/zero\n"},
      {{"-r", "ref.txt", "-cpl", "/dev/urandom"}, 1, "Unsupported PLY file /dev/urandom\n"},
      {{"-r", "ref.txt", "-cp", "/dev/zero"}, 1, ".......Couldn't read /dev/zero\n"},
      {{"-r", "ref.txt", "-cp", "zero_list.txt"}, 1, ".......Unsupported PLY file /dev/zero\n"},
      {{"-r", "ref.txt", "-cp", "long_line_list.txt"}, 1, ".......Couldn't read long_line_list.txt\n"},
      // A text cloud from a device: a line that never ends is looked at up to a limit.
      {{"-r", "/dev/zero", "-c", "test.txt"}, 1, "points ................\t0 final\nNo points read from /dev/zero\n"},
      {{"-r", "ref.txt", "-c", "/dev/zero"}, 1, "\t0 final\nNo points read from /dev/zero\n"},
      {{"-r", "ref.txt", "-cpl", "headerless.ply"}, 0, "\t2 final\n"},  // last: it writes out.ply
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "out.ply"});
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, c.status) << c.args[1] << c.args[3];
    if (c.status == 0) {
      EXPECT_NE(r.err.find(c.tail), std::string::npos) << r.err;
    } else {
      EXPECT_TRUE(ends_with(r.err, c.tail)) << r.err;
      EXPECT_FALSE(file_exists(dir / "out.ply"));
    }
  }
}

}  // namespace
}  // namespace ptdelta::testing
