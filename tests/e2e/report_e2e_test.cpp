// End-to-end runs with the optional outputs: the JSON read back by Python's json module and
// compared with the console, the binary PLY read back, and each output complete or absent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "report/fixed_format.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

// Standard output of a shell command; fails the test when it does not exit 0.
std::string command_output(const std::string& command) {
  const CommandOutput r = shell_output(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
  return r.out;
}

// Reads the JSON with json.load, checks that its counts agree with each other,
// and prints both statistics blocks as the console prints them (each figure
// rounded to float first; null is the console's -nan).
const char* const json_to_console = R"PY(
import json, struct, sys
d = json.load(open(sys.argv[1]))
def f(v):
    return "-nan" if v is None else "%f" % struct.unpack("<f", struct.pack("<f", v))[0]
c, s1, s2, h, p = d["counts"], d["stage1"], d["stage2"], d["histogram"], d["percentiles"]
assert c["accepted"] == s1["checked_points"] and c["outliers"] == s1["beyond_maxdist"]
assert c["test_points"] == c["accepted"] + c["outliers"] + c["rejected"] == d["inputs"]["test"]["points"]
assert sum(h["counts"]) == c["accepted"]
assert len(h["edges"]) == (len(h["counts"]) + 1 if h["counts"] else 0)
assert d["filter"]["removed"] == s1["checked_points"] - s2["checked_points"]
assert set(d["seconds"]) == {"load_reference", "load_test", "comparison", "statistics", "log_and_export", "reports"}
if c["accepted"]:
    assert p["p50"] <= p["p90"] <= p["p95"] <= p["p99"] <= s1["max"]
print("STATISTICS----\nChecked points:\t%d\n> than maxdist:\t%d\nMax dist:\t%s\nMean Dif:\t%s\nStd Dev:\t%s\nMAD:\t%s\n"
      "RMS:\t%s Completed" % (s1["checked_points"], s1["beyond_maxdist"], f(s1["max"]), f(s1["mean"]),
                              f(s1["std_dev"]), f(s1["mad"]), f(s1["rms"])))
print("STATISTICS----\nChecked points:\t%d\nMean Dif:\t%s\nStd Dev:\t%s\nMAD:\t%s\nRMS:\t%s Completed"
      % (s2["checked_points"], f(s2["mean"]), f(s2["std_dev"]), f(s2["mad"]), f(s2["rms"])))
print(json.dumps({k: v for k, v in d.items() if k != "seconds"}, sort_keys=True))
)PY";

struct JsonView {
  std::string stage1, stage2, rest;  // the two console blocks, everything but "seconds" as one line
};

JsonView read_json_back(const TempDir& dir, const std::string& json_name) {
  write_file(dir / "to_console.py", json_to_console);
  const std::string out = command_output(python() + " " + dir / "to_console.py" + " " + dir / json_name);
  const std::size_t second = out.find("STATISTICS----", 1), last = out.rfind("\n{");
  if (second == std::string::npos || last == std::string::npos) return {};
  return {out.substr(0, second), out.substr(second, last + 1 - second), out.substr(last + 1)};
}

TEST(Report, JsonReadsBackToTheConsoleFigures) {
  TempDir dir;
  const RunResult r = run_ptdelta({"-r", PTDELTA_SOURCE_DIR "/examples/reference.txt", "-c",
                                   PTDELTA_SOURCE_DIR "/examples/test.txt", "-o", "ex.ply", "-json", "ex.json"},
                                  dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const JsonView json = read_json_back(dir, "ex.json");
  ASSERT_FALSE(json.stage1.empty());
  EXPECT_NE(r.err.find("\n\n" + json.stage1), std::string::npos) << json.stage1;
  EXPECT_NE(r.err.find("mean+std and recalculate\n" + json.stage2), std::string::npos) << json.stage2;
  // The console ends as before: the new output adds nothing to it.
  EXPECT_TRUE(r.err.ends_with("RMS:\t0.195761 Completed\n\nExporting results .........Done.\n"));
  EXPECT_NE(json.rest.find("\"method\": \"nearest_point\""), std::string::npos);
  EXPECT_NE(json.rest.find("\"name\": \"" PTDELTA_SOURCE_DIR "/examples/test.txt\""), std::string::npos);

  // Everything but "seconds" is the same on a second run.
  ASSERT_EQ(run_ptdelta({"-r", PTDELTA_SOURCE_DIR "/examples/reference.txt", "-c",
                         PTDELTA_SOURCE_DIR "/examples/test.txt", "-o", "ex.ply", "-json", "again.json"},
                        dir.path())
                .status,
            0);
  EXPECT_EQ(read_json_back(dir, "again.json").rest, json.rest);
}

// Test points straight above reference points at heights 1 .. 10 (and one far
// off): distances, percentiles and bins that can be checked by hand.
TEST(Report, JsonOfHandCheckedDistances) {
  TempDir dir;
  std::string reference, test;
  for (int i = 0; i < 12; ++i) reference += std::to_string(i * 100) + " 0 0\n";
  for (int i = 0; i < 10; ++i) test += std::to_string(i * 100) + " 0 " + std::to_string(10 - i) + "\n";
  test += "1100 0 70\n";
  write_file(dir / "ref.txt", reference);
  write_file(dir / "test.txt", test);
  const RunResult r =
      run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-d", "20", "-t", "3", "-json", "o.json"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const JsonView json = read_json_back(dir, "o.json");
  EXPECT_NE(r.err.find(json.stage1), std::string::npos) << json.stage1;
  for (const char* expected : {
           R"("percentiles": {"p50": 5, "p90": 9, "p95": 10, "p99": 10})",
           R"("bin_width": 0.5, "counts": [0, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1], )"
           R"("edges": [0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5, 4, 4.5, 5, 5.5, 6, 6.5, 7, 7.5, 8, 8.5, 9, 9.5, 10, 10.5]})",
           R"("counts": {"accepted": 10, "non_finite": 0, "outliers": 1, "rejected": 0, "test_points": 11})",
           R"("parameters": {"box_half_width": 34.641018, "maxdist": 20, "method": "nearest_point", )"
           R"("shift": [0, 0, 0], "threads": 3})",
           R"("test": {"file_formats": [], "files": [], "format": "text", "name": "test.txt", "option": "-c", )"
           R"("points": 11})",
           R"("filter": {"removed": 2, "threshold": 8.372281})",
           R"("warnings": [])",
       }) {
    EXPECT_NE(json.rest.find(expected), std::string::npos) << expected << "\n" << json.rest;
  }
}

TEST(Report, NothingAcceptedGivesNulls) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 1 1\n");
  write_file(dir / "test.txt", "50 50 50\n");
  const RunResult r =
      run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-json", "o.json", "-html", "o.html"},
                  dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const JsonView json = read_json_back(dir, "o.json");
  EXPECT_NE(r.err.find(json.stage1), std::string::npos) << json.stage1;  // -nan on both sides
  EXPECT_NE(json.rest.find(R"("p50": null)"), std::string::npos);
  EXPECT_NE(json.rest.find(R"("bin_width": null, "counts": [], "edges": [])"), std::string::npos);
  EXPECT_NE(read_file(dir / "o.html").find("No accepted distance"), std::string::npos);
}

TEST(Report, BinaryPlyReadsBackToTheTestPointsAndTheExport) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n1 1 0\n0.5 0.5 0.25\n");
  const std::string test_points[] = {"0.1 0.1 0.05", "0.9 0.2 0.3", "0.5 0.5 0.5", "0.3 0.8 0.01", "9 9 9"};
  std::string test;
  for (const std::string& p : test_points) test += p + "\n";
  write_file(dir / "test.txt", test);
  const RunResult r =
      run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-d", "1", "-ob", "b.ply"}, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string bytes = read_file(dir / "b.ply");
  const std::string header =
      "ply\nformat binary_little_endian 1.0\nelement vertex 5\nproperty float x\nproperty float y\n"
      "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
      "property float scalar_distance\nend_header\n";
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  ASSERT_EQ(bytes.size(), header.size() + 5 * 19);
  // The ASCII export's rows: its distance is the accepted one where the filter kept it.
  const std::string exported = read_file(dir / "o.ply");
  std::size_t row = exported.find("end_header\n") + 11;
  for (std::size_t i = 0; i < 5; ++i) {
    const char* record = bytes.data() + header.size() + 19 * i;
    float xyz[3], distance;
    std::memcpy(xyz, record, 12);
    std::memcpy(&distance, record + 15, 4);
    float expected[3];
    ASSERT_EQ(std::sscanf(test_points[i].c_str(), "%f %f %f", &expected[0], &expected[1], &expected[2]), 3);
    for (int a = 0; a < 3; ++a) EXPECT_EQ(xyz[a], expected[a]) << i;
    const std::size_t end = exported.find('\n', row);
    const std::string line = exported.substr(row, end - row);
    row = end + 1;
    const std::string exported_distance = line.substr(line.rfind(' ') + 1);
    if (i == 4) {  // beyond maxdist: NaN and grey
      EXPECT_TRUE(std::isnan(distance));
      EXPECT_EQ(std::string(record + 12, 3), "\xa0\xa0\xa0");
    } else if (exported_distance != "-1.00000") {
      char text[fixed5_max_chars];
      EXPECT_EQ(std::string(text, format_fixed5(text, distance)), exported_distance) << i;
      int rgb[3];
      ASSERT_EQ(std::sscanf(line.c_str(), "%*f %*f %*f %d %d %d", &rgb[0], &rgb[1], &rgb[2]), 3);
      // The map's ramp has steps of 4 of the export's 512 positions.
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(static_cast<unsigned char>(record[12 + c]), rgb[c], 3) << "the export's colour, in steps";
      }
    } else {
      EXPECT_GE(distance, 0.0f) << "filtered out of stage 2, still an accepted distance";
    }
  }
}

TEST(Report, OutputsAreOptionalRefusedOverInputsAndCompleteOrAbsent) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n");
  write_file(dir / "test.txt", "0 0 0.5\n");
  const std::vector<std::string> run = {"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply"};
  RunResult r = run_ptdelta(run, dir.path());
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"o.ply", "o.ply.log", "ref.txt", "test.txt"}));

  // Each new output named as an input is refused before anything is written.
  for (const char* option : {"-json", "-html", "-ob"}) {
    TempDir clean;
    write_file(clean / "ref.txt", "0 0 0\n1 0 0\n");
    write_file(clean / "test.txt", "0 0 0.5\n");
    std::vector<std::string> args = run;
    args.insert(args.end(), {option, "./test.txt"});
    r = run_ptdelta(args, clean.path());
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_TRUE(r.err.ends_with("Refusing to overwrite input file ./test.txt\n")) << r.err;
    EXPECT_EQ(list_dir(clean.path()), (std::vector<std::string>{"ref.txt", "test.txt"})) << option;
  }

  // A new output that cannot be written stops the run with its name; the outputs of a run are
  // published together, so neither the export nor the log appears, and no temporary is left.
  for (const char* option : {"-json", "-html", "-ob"}) {
    TempDir full;
    write_file(full / "ref.txt", "0 0 0\n1 0 0\n");
    write_file(full / "test.txt", "0 0 0.5\n");
    ASSERT_EQ(symlink("/dev/full", (full / "out").c_str()), 0);
    std::vector<std::string> args = run;
    args.insert(args.end(), {option, "out"});
    r = run_ptdelta(args, full.path());
    EXPECT_EQ(r.status, 1) << option;
    EXPECT_TRUE(r.err.ends_with("Exporting results .........Couldn't write out\n")) << r.err;
    EXPECT_EQ(list_dir(full.path()), (std::vector<std::string>{"out", "ref.txt", "test.txt"}));
  }

  // All three at once, each complete.
  std::vector<std::string> args = run;
  args.insert(args.end(), {"-json", "r.json", "-html", "r.html", "-ob", "r.ply"});
  r = run_ptdelta(args, dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read_file(dir / "r.json").ends_with("}\n}\n"));
  EXPECT_TRUE(read_file(dir / "r.html").ends_with("</body>\n</html>\n"));
  EXPECT_TRUE(read_file(dir / "r.ply").starts_with("ply\nformat binary_little_endian 1.0\nelement vertex 1\n"));
}

}  // namespace
}  // namespace ptdelta::testing
