// End-to-end runs of the built tool: console bytes, exit status, log and export bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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
    // The options added since, then the input formats.
    "[-shift]  X,Y,Z added to every coordinate before it is stored, or none.\n\t\tDefault: automatic for "
    "coordinates of 100000 or more\n"
    "[-t]      number of threads. Default: every hardware thread; the results are the same\n"
    "[-json]   file: the run as one JSON object for scripts (inputs, counts, figures,\n\t\tpercentiles, histogram)\n"
    "[-html]   file: a self-contained report page with a histogram and a top view of the distances\n"
    "[-ob]     file: the test points as binary PLY with red green blue and scalar_distance\n"
    "[-signed] signed distances: + on the side the reference's normal points to. Normals stored\n\t\tin the "
    "reference (PLY nx ny nz, PCD normal_x normal_y normal_z), else -normals\n"
    "[-normals] R: each normal from the reference points within R of where it is needed\n"
    "[-orient] up (default: normals point to +z) or X,Y,Z: normals point towards that viewpoint\n"
    "[-plane]  K: distance to the least-squares plane of the K nearest reference points in the box\n"
    "[-m3c2]   R: M3C2 change along the normal from the reference points within R, with its\n\t\tlevel of "
    "detection (LoD95)\n"
    "[-cylinder] r: M3C2 cylinder radius. Default R/2\n"
    "[-depth]  L: M3C2 cylinder half-length. Default: maxdist\n"
    "[-regerror] E: registration error added to the LoD95. Default 0\n"
    "[-minpoints] N: M3C2 points of each cloud needed in the cylinder. Default 5\n"
    "[-tiles]  SIZE: the work split into square tiles of edge SIZE over x and y, each compared on its\n\t\town; "
    "the same results as one run in memory\n"
    "[-mem]    BYTES (K, M, G): the tile size chosen for a memory budget instead of -tiles\n"
    "[-work]   DIR: the folder of the plan, the tiles and their results. Default: a new folder\n\t\tbeside the "
    "export, removed at the end\n"
    "[-plan]   with -tiles or -mem and -work: write the plan and DIR/tasks, print the number of tasks\n"
    "[-task]   N: with -work, compare tile N of the plan\n"
    "[-merge]  with -work: the results of every task into the outputs the plan names\n"
    "\nInput formats, recognised by content whichever option names the file:\n"
    "  a first line \"ply\": PLY; a file starting with LASF: LAS 1.0 to 1.4, point formats 0 to 10\n"
    "  (not compressed); a PCD header (a first line \"# .PCD\", or a first line after comments\n"
    "  starting with VERSION or FIELDS): PCD 0.6/0.7, DATA ascii, binary or binary_compressed.\n"
    "  LASF with a compressed point format and its LASzip record: LAZ 1.0 to 1.4 (COPC too), x y z\n"
    "  two lines of one whole number, 3 or 4 of 3 numbers, 4 of 4: PTX scans, x y z moved by their matrix\n"
    "  a first data line of one whole number, then rows: PTS blocks, x y z of each row\n"
    "  Anything else is read as its option says: -r and -c text, -rp and -cpl PLY, -cp a list\n"
    "  of files (each file of the list is recognised the same way).\n";

const std::string reference_banner = "Loading Reference points ................";
const std::string test_banner = "Loading Test points .......................";
const std::string processing = "Processing ................................";
const std::string method_a = "Method: nearest reference point\n";
const std::string method_b = "Method: plane through three reference points\n";

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
  write_file(dir / "test.txt", "x y z\n1 2 3\n");  // a heading line, skipped
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string expected = banner_text() + reference_banner + "\b\b\b\b\b\b\b\b     500\b\b\b\b\b\b\b\b    1000" +
                               "\t1234 final\n" + test_banner + "\t1 final\n" + method_a + processing;
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
  EXPECT_EQ(r.err, banner_text() + reference_banner + "\t4 final\n" + test_banner + "\t4 final\n" + method_a +
                       processing + stage1 + notice + stage2 + "\nExporting results .........Done.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(dir / "out.ply.log"), stage1 + notice + stage2);
  EXPECT_EQ(read_file(dir / "out.ply"), export_header_4 +
                                            "0.00000 0.00000 1.00000 170 255   0 1.00000\n"
                                            "0.00000 2.00000 0.00000 255 171   0 2.00000\n"
                                            "3.00000 0.00000 0.00000 255   0   0 -1.00000\n"
                                            "310.00000 0.00000 0.00000 255   0   0 -1.00000\n");
}

TEST(Run, AnEmptyCloudStopsTheRunAndTheTestCloudIsNotReadAfterAnEmptyReference) {
  TempDir dir;
  write_file(dir / "points.txt", "0 0 0\n");
  write_file(dir / "empty.txt", "");
  write_file(dir / "heading.txt", "X Y Z\n// no numbers at all\n");
  write_file(dir / "commas.txt", "1,5 2,5 3,5\n4,5 5,5 6,5\n");
  write_file(dir / "short.txt", "1 2\n");
  write_file(dir / "list.txt", "\n");
  struct Case {
    std::vector<std::string> args;
    std::string after_banner;
  };
  const std::vector<Case> cases = {
      {{"-r", "empty.txt", "-c", "points.txt"}, reference_banner + "\t0 final\nNo points read from empty.txt\n"},
      {{"-r", "heading.txt", "-c", "missing.txt"}, ""},  // both are opened before either is read
      {{"-r", "heading.txt", "-c", "points.txt"}, reference_banner + "\t0 final\nNo points read from heading.txt\n"},
      {{"-r", "points.txt", "-c", "commas.txt"},
       reference_banner + "\t1 final\n" + test_banner + "\t0 final\nNo points read from commas.txt\n"},
      {{"-r", "points.txt", "-c", "short.txt"}, reference_banner + "\t1 final\n" + test_banner +
                                                    "\t0 final\nWarning: stopped reading short.txt at line 1\n"
                                                    "No points read from short.txt\n"},
      {{"-r", "points.txt", "-cp", "list.txt"},
       reference_banner + "\t1 final\n" + test_banner + "\t0 final\nNo points read from list.txt\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "out.ply"});
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 1) << c.args[1];
    if (!c.after_banner.empty()) {
      EXPECT_EQ(r.err, banner_text() + c.after_banner);
    }
    EXPECT_FALSE(file_exists(dir / "out.ply"));
    EXPECT_FALSE(file_exists(dir / "out.ply.log"));
  }
  EXPECT_EQ(run_ptdelta({"-r", "heading.txt", "-c", "missing.txt", "-o", "o"}, dir.path()).err,
            banner_text() + "Couldn't open missing.txt\n");
}

// Two clouds placed at (512345, 5412345, 250), as survey data are, against the
// same clouds near the origin written with the shift -(512000, 5412000, 0)
// taken off by hand: the same statistics to the printed digit, the export in
// the input's frame.
TEST(Run, LargeCoordinatesAreShiftedAndGiveTheFiguresOfTheCloudsNearTheOrigin) {
  TempDir dir;
  std::string ref_big, ref_small, test_big, test_small;
  auto add = [](std::string& big, std::string& small, int dx_mm, int dy_mm, int dz_mm) {
    const auto mm = [](int base, int v) {
      return std::to_string(base + v / 1000) + "." + std::string(3 - std::to_string(v % 1000).size(), '0') +
             std::to_string(v % 1000);
    };
    big += mm(512345, dx_mm) + " " + mm(5412345, dy_mm) + " " + mm(250, dz_mm) + "\n";
    small += mm(345, dx_mm) + " " + mm(345, dy_mm) + " " + mm(250, dz_mm) + "\n";
  };
  for (int i = 0; i < 30; ++i)
    for (int j = 0; j < 30; ++j) add(ref_big, ref_small, i * 500, j * 500, (i * j) % 7 * 10);
  for (int k = 0; k < 200; ++k) add(test_big, test_small, (k * 37) % 14500, (k * 53) % 14500, (k % 11) * 3);
  write_file(dir / "ref_big.txt", ref_big);
  write_file(dir / "ref_small.txt", ref_small);
  write_file(dir / "test_big.txt", test_big);
  write_file(dir / "test_small.txt", test_small);

  const RunResult small = run_ptdelta({"-r", "ref_small.txt", "-c", "test_small.txt", "-o", "small.ply", "-d", "0.3"},
                                      dir.path());
  const RunResult big =
      run_ptdelta({"-r", "ref_big.txt", "-c", "test_big.txt", "-o", "big.ply", "-d", "0.3"}, dir.path());
  ASSERT_EQ(small.status, 0) << small.err;
  ASSERT_EQ(big.status, 0) << big.err;
  std::string expected = small.err;
  const std::string reference_final = "\t900 final\n";
  expected.insert(expected.find(reference_final) + reference_final.size(),
                  "Coordinates shifted by (-512000, -5412000, 0)\n");
  EXPECT_EQ(big.err, expected);
  EXPECT_EQ(read_file(dir / "big.ply.log"), read_file(dir / "small.ply.log"));
  EXPECT_NE(small.err.find("Checked points:\t191\n"), std::string::npos) << small.err;
  // The export: the same colours and distances, x y z back in the input's frame.
  const std::string small_export = read_file(dir / "small.ply"), big_export = read_file(dir / "big.ply");
  const std::size_t body_small = small_export.find("end_header\n") + 11, body_big = big_export.find("end_header\n") + 11;
  EXPECT_EQ(small_export.substr(body_small, 30), "345.00000 345.00000 250.00000 ");
  EXPECT_EQ(big_export.substr(body_big, 37), "512345.00000 5412345.00000 250.00000 ");
  EXPECT_EQ(small_export.substr(body_small + 30, 20), big_export.substr(body_big + 37, 20));

  // The shift given by hand is the automatic one; without a shift the figures are those of 0.5 m steps.
  const RunResult given = run_ptdelta(
      {"-r", "ref_big.txt", "-c", "test_big.txt", "-o", "big.ply", "-d", "0.3", "-shift", "-512000,-5412000,0"},
      dir.path());
  EXPECT_EQ(given.err, big.err);
  const RunResult none = run_ptdelta(
      {"-r", "ref_big.txt", "-c", "test_big.txt", "-o", "none.ply", "-d", "0.3", "-shift", "none"}, dir.path());
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.err.find("Coordinates shifted"), std::string::npos);
  EXPECT_NE(none.err.substr(none.err.find("STATISTICS")), small.err.substr(small.err.find("STATISTICS")));
}

// Method B names itself and counts the points that had no plane, 0 included;
// method A's stage 1 keeps its lines.
TEST(Run, MethodLineAndRejectedCount) {
  TempDir dir;
  // Each reference point is closer than those before it to the points near the origin.
  write_file(dir / "tri.txt", "2 0 0\n0 1 0\n0 0 0\n");
  write_file(dir / "line.txt", "3 0 0\n2 0 0\n0 0 0\n");
  write_file(dir / "near.txt", "0.2 0.2 1\n0.3 0.3 0.5\n0.1 0.1 0.25\n0.4 0.1 2\n");
  write_file(dir / "far.txt", "0.2 0.2 1\n0.3 0.3 0.5\n0.1 0.1 0.25\n50 50 50\n");
  struct Case {
    std::string reference, test, method, stage1_start;
  };
  for (const Case& c : std::vector<Case>{
           {"tri.txt", "near.txt", method_b,
            "Checked points:\t4\n> than maxdist:\t0\nRejected (no plane):\t0\nMax dist:\t2.000000\n"},
           {"tri.txt", "far.txt", method_b,
            "Checked points:\t3\n> than maxdist:\t0\nRejected (no plane):\t1\nMax dist:\t1.000000\n"},
           {"line.txt", "far.txt", method_b,  // collinear: no plane anywhere
            "Checked points:\t0\n> than maxdist:\t0\nRejected (no plane):\t4\nMax dist:\t-10000.000000\n"},
           {"near.txt", "tri.txt", method_a, "Checked points:\t3\n> than maxdist:\t0\nMax dist:\t"}}) {
    const RunResult r = run_ptdelta({"-r", c.reference, "-c", c.test, "-o", "out.ply"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(" final\n" + c.method + processing), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("STATISTICS----\n" + c.stage1_start), std::string::npos) << r.err;
    EXPECT_NE(read_file(dir / "out.ply.log").find(c.stage1_start), std::string::npos);
  }
}

TEST(Run, InvalidMaxdistOrShiftStopsBeforeTheHelpAndBeforeAnyFileIsOpened) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{"-r", "missing.txt", "-c", "x", "-o", "o", "-d", "0,002"}, "Invalid maxdist 0,002\n"},
           {{"-d", "-5"}, "Invalid maxdist -5\n"},  // before the check for missing options
           {{"-d", "nan", "-r", "a", "-c", "b", "-o", "o"}, "Invalid maxdist nan\n"},
           {{"-d", "2.5mm", "-shift", "1,2"}, "Invalid maxdist 2.5mm\n"},
           {{"-shift", "1,2", "-d", "junk"}, "Invalid shift 1,2\n"},
           {{"-r", "a", "-shift", "1,2,inf", "-o", "o"}, "Invalid shift 1,2,inf\n"},
           {{"-shift", ""}, "Invalid shift \n"}}) {
    const RunResult r = run_ptdelta(c.args, dir.path());
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.err, banner_text() + c.message);
    EXPECT_TRUE(list_dir(dir.path()).empty());
  }
  // 0 and inf stay valid maxdists.
  write_file(dir / "p.txt", "0 0 0\n");
  for (const std::string maxdist : {"0", "inf"}) {
    EXPECT_EQ(run_ptdelta({"-r", "p.txt", "-c", "p.txt", "-o", "o.ply", "-d", maxdist}, dir.path()).status, 0);
  }
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

// FNV-1a, 64 bits: enough to pin an export's bytes without committing a copy of it.
std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  return h;
}

// The shipped example is the golden run: its log to the byte, its export by size and checksum.
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
  const std::string log =
      "\n\nSTATISTICS----\nChecked points:\t7933\n> than maxdist:\t67\nMax dist:\t1.504915\nMean Dif:\t0.215559\n"
      "Std Dev:\t0.179907\nMAD:\t0.215559\nRMS:\t0.280770 Completed\n"
      "\nBased on average distance, find the points within\nmean+std and recalculate\n"
      "STATISTICS----\nChecked points:\t7353\nMean Dif:\t0.176727\nStd Dev:\t0.084203\nMAD:\t0.176727\n"
      "RMS:\t0.195761 Completed\n";
  EXPECT_EQ(read_file(dir / "example.ply.log"), log);
  EXPECT_NE(r.err.find(log), std::string::npos);  // the console shows the same text
  const std::string exported = read_file(dir / "example.ply");
  EXPECT_EQ(exported.size(), 366484u);
  EXPECT_EQ(fnv1a(exported), 0x3bcbf72bd36167b6u);
}

}  // namespace
}  // namespace ptdelta::testing
