// End-to-end runs of the built tool: console bytes, exit status, log and export bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

const std::string help_text =
    "3D ptdelta of 2 point clouds\n"
    "One is used as refernce\n"
    "Point clouds are ASCII files of x,y,z\n"
    "It uses two methods of distance calculation\n"
    "A. min distance between closest points if reference has more points\n"
    "B. Finds 3 closest points and calculates the distance from that \n\tplane if reference has less points\n"
    "Export includes a file named as the export.ply with extension log\nwhere statistics are dumbed.\n"
    "\nUsage: -r reference_file -c 2b_compared_file -o export_file\n"
    "export_file = export.ply\nIt exports plys files with color code G->Y->R with red being the -d distance\n"
    "defined by user. Everything red is more than the maxdist.\nThe ply file has an extra column of the absolute "
    "distance from the reference.\n"
    "Default input files are in txt format with x y z columns\n"
    "Reference and 2B compared files might be PLY files\nin the x y z nx ny nz r g b format"
    "Use -rp and -cp intead, when declaring input files\n"
    "The 2B might also be a list of PLY files in the aforementioned format.\n"
    "Use -cpl instead when declaring input file\n"
    "\nOptions\n"
    "[-d]      larger distances will be conserned as outliers. Default 5 in mm\n"
    "[-l]      box to eliminate fast far away point. Set internally automatically\n\t\tin relation with the -b "
    "parameter"
    "[-filter] second run using only points within mean+std, default: yes\n"
    "\nExamples:\n"
    "ptdelta.exe -c 3dscan.txt -r fgram.txt -d 3 -o relic3.ply\n"
    "ptdelta.exe -cp 3dscan.ply -r fgram.txt -d 3 -o relic3.ply\n"
    "ptdelta.exe -cp 3dscan.ply -rp fgram.ply -d 3 -o relic3.ply\n"
    "ptdelta.exe -c 3dscan.txt -rpl list.txt -d 3 -filter -o relic3.ply\n"
    // The options added since.
    "[-json]   file: the run as one JSON object for scripts (inputs, counts, figures,\n\t\tpercentiles, histogram)\n"
    "[-html]   file: a self-contained report page with a histogram and a top view of the distances\n"
    "[-ob]     file: the test points as binary PLY with red green blue and scalar_distance\n";

const std::string reference_banner = "Loading Reference points ................";
const std::string test_banner = "Loading Test points .......................";
const std::string processing = "Processing ................................";

const std::string export_header_4 =
    "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
    "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n"
    "property float distance\nend_header\n";

TEST(Run, IncompleteCommandLinePrintsHelpAndTouchesNothing) {
  TempDir dir;
  write_file(dir / "a.txt", "1 2 3\n");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-r", "a.txt", "-c", "a.txt"}, {"-o", "out.ply", "-c", "a.txt", "-R", "a.txt"},
        {"-c", "3dscan.txt", "-rpl", "list.txt", "-d", "3", "-filter", "-o", "relic3.ply"},
        {"-c", "a.txt", "-o", "out.ply", "-r"}}) {
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, banner_text() + help_text);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"a.txt"});
  }
}

TEST(Run, MissingInputsStopBeforeAnythingIsRead) {
  TempDir dir;
  write_file(dir / "b.txt", "1 2 3\n");
  RunResult r = run_ptdelta({"-r", "missing.txt", "-c", "b.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner_text() + "Couldn't open missing.txt\n");
  r = run_ptdelta({"-r", "b.txt", "-c", "nothere.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner_text() + "Couldn't open nothere.txt\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"b.txt"});
}

TEST(Run, LoadingLinesShowProgressAndFinalCounts) {
  TempDir dir;
  std::string reference;
  for (int i = 0; i < 1234; ++i) reference += std::to_string(i) + " 0 0\n";
  write_file(dir / "ref.txt", reference);
  write_file(dir / "test.txt", "x y z\n1 2 3\n");  // a header line: no point
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string expected = banner_text() + reference_banner + "\b\b\b\b\b\b\b\b     500\b\b\b\b\b\b\b\b    1000" +
                               "\t1234 final\n" + test_banner + "\t0 final\n" + processing;
  EXPECT_EQ(r.err.substr(0, expected.size()), expected);
}

// Distances 1, 2, 3 and one point with nothing in its box: every figure below
// was worked out by hand (mean 2, std sqrt(2/3), filter at 2.8164966, ...).
TEST(Run, CompleteRunMatchesFiguresWorkedOutByHand) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n100 0 0\n200 0 0\n300 0 0\n");
  write_file(dir / "test.txt", "0 0 1\n0 2 0\n3 0 0\n310 0 0\n");
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string stage1 =
      "\n\nSTATISTICS----\nChecked points:\t3\n> than maxdist:\t1\nMax dist:\t3.000000\nMean Dif:\t2.000000\n"
      "Std Dev:\t0.816497\nMAD:\t2.000000\nRMS:\t2.160247 Completed\n";
  const std::string notice = "\nBased on average distance, find the points within\nmean+std and recalculate\n";
  const std::string stage2 =
      "STATISTICS----\nChecked points:\t2\nMean Dif:\t1.500000\nStd Dev:\t0.500000\nMAD:\t1.500000\n"
      "RMS:\t1.581139 Completed\n";
  EXPECT_EQ(r.err, banner_text() + reference_banner + "\t4 final\n" + test_banner + "\t4 final\n" + processing +
                       stage1 + notice + stage2 + "\nExporting results .........Done.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir / "out.ply.log"), stage1 + notice + stage2);
  EXPECT_EQ(read_file(dir / "out.ply"), export_header_4 +
                                            "0.00000 0.00000 1.00000 170 255   0 1.00000\n"
                                            "0.00000 2.00000 0.00000 255 171   0 2.00000\n"
                                            "3.00000 0.00000 0.00000 255   0   0 -1.00000\n"
                                            "310.00000 0.00000 0.00000 255   0   0 -1.00000\n");
}

TEST(Run, EmptyTestCloudStillCompletes) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n");
  write_file(dir / "test.txt", "");
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "result"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string nan_stage1 =
      "\n\nSTATISTICS----\nChecked points:\t0\n> than maxdist:\t0\nMax dist:\t-10000.000000\nMean Dif:\t-nan\n"
      "Std Dev:\t-nan\nMAD:\t-nan\nRMS:\t-nan Completed\n";
  EXPECT_NE(r.err.find(nan_stage1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("STATISTICS----\nChecked points:\t0\nMean Dif:\t-nan\n"), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("\nExporting results .........Done.\n"));
  // No extension is added: the export is "result" and its log "result.log".
  const std::string exported = read_file(dir / "result");
  EXPECT_EQ(exported.substr(0, 35), "ply\nformat ascii 1.0\nelement vertex");
  EXPECT_EQ(std::count(exported.begin(), exported.end(), '\n'), 11);
  EXPECT_TRUE(file_exists(dir / "result.log"));
}

TEST(Run, WriteErrorsAreReportedNotCalledDone) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 1 1\n");
  write_file(dir / "test.txt", "0 0 1\n");
  ASSERT_EQ(symlink("/dev/full", (dir / "full.ply").c_str()), 0);
  RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "full.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("\nExporting results .........Couldn't write full.ply\n")) << r.err;

  ASSERT_EQ(symlink("/dev/full", (dir / "out.ply.log").c_str()), 0);
  r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.ends_with("Completed\nCouldn't write out.ply.log\n")) << r.err;
  EXPECT_FALSE(file_exists(dir / "out.ply"));
}

TEST(Run, ShippedExamplesCompareCompletely) {
  TempDir dir;
  const RunResult r = run_ptdelta({"-r", PTDELTA_SOURCE_DIR "/examples/reference.txt", "-c",
                                   PTDELTA_SOURCE_DIR "/examples/test.txt", "-o", "example.ply"},
                                  dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("\t20000 final\n"), std::string::npos);
  EXPECT_NE(r.err.find(processing + "\b\b\b\b\b\b\b\b     501"), std::string::npos);
  EXPECT_NE(r.err.find("\b\b\b\b\b\b\b\b    7501\n\nSTATISTICS----"), std::string::npos);
  EXPECT_TRUE(r.err.ends_with("Done.\n"));
}

}  // namespace
}  // namespace ptdelta::testing
