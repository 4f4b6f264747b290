// A row of the optional outputs' table is all a new output needs: its option, help line, claiming,
// the refusal to overwrite an input, writing and publishing come from the driver's loops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/run.h"
#include "report/optional_outputs.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

// A toy output: the number of test points and of accepted distances.
Failure write_counts(OutputFile& file, const RunResult& result) {
  file.write("points " + std::to_string(result.test_points.count()) + " accepted " +
             std::to_string(result.summary.totals.accepted_count) + "\n");
  return Failure::none;
}

struct InProcessRun {
  int status;
  std::string err;
};

InProcessRun run_with(const std::vector<OptionalOutput>& rows, std::vector<std::string> args) {
  args.insert(args.begin(), "ptdelta");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  ::testing::internal::CaptureStderr();
  const int status = run(static_cast<int>(argv.size()), argv.data(), rows);
  return {status, ::testing::internal::GetCapturedStderr()};
}

TEST(OutputTable, OneRowIsEnoughForANewOutput) {
  testing::TempDir dir;
  testing::write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n");
  testing::write_file(dir / "test.txt", "0 0 0.5\n9 9 9\n");
  std::vector<OptionalOutput> rows(optional_outputs().begin(), optional_outputs().end());
  rows.push_back({"-counts", "[-counts] file: the point counts\n", false, false, write_counts});

  const InProcessRun help = run_with(rows, {"-r", dir / "ref.txt"});
  EXPECT_NE(help.err.find("[-ob]     file: the test points as binary PLY with red green blue and scalar_distance\n"
                          "[-counts] file: the point counts\n"),
            std::string::npos);

  // Written and published with the export, beside an earlier file it replaces.
  testing::write_file(dir / "counts.txt", "earlier\n");
  const InProcessRun done = run_with(rows, {"-r", dir / "ref.txt", "-c", dir / "test.txt", "-o", dir / "out.ply",
                                            "-counts", dir / "counts.txt", "-d", "1"});
  EXPECT_EQ(done.status, exit_complete) << done.err;
  EXPECT_EQ(testing::read_file(dir / "counts.txt"), "points 2 accepted 1\n");
  EXPECT_TRUE(testing::file_exists(dir / "out.ply"));

  // Refused like any output when it names an input; nothing is written.
  const InProcessRun refused = run_with(rows, {"-r", dir / "ref.txt", "-c", dir / "test.txt", "-o",
                                               dir / "other.ply", "-counts", dir / "test.txt"});
  EXPECT_EQ(refused.status, exit_failure);
  EXPECT_NE(refused.err.find("Refusing to overwrite input file " + dir / "test.txt"), std::string::npos);
  EXPECT_FALSE(testing::file_exists(dir / "other.ply"));
}

}  // namespace
}  // namespace ptdelta
