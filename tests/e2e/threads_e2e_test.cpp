// Whole runs on seeded random clouds: console text, log and export are the same bytes for every thread count.
#include <gtest/gtest.h>

#include <string>

#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

TEST(Threads, EveryThreadCountWritesTheSameBytes) {
  struct Case {
    std::uint64_t seed;
    std::int32_t reference_points, test_points;  // fewer reference points: method B
    const char* maxdist;
  };
  for (const Case& c : {Case{1, 30000, 20000, "0.5"}, Case{2, 3000, 20000, "2"}, Case{3, 12000, 9000, "0.05"}}) {
    Rng rng(c.seed);
    PointColumns ref = surface_cloud(rng, c.reference_points, 100.0, 0.05);
    PointColumns test = surface_cloud(rng, c.test_points, 100.0, 0.05);
    shuffle_points(rng, test);  // a test cloud in random order, as independent sampling gives
    TempDir inputs;
    write_file(inputs / "ref.txt", cloud_text(ref));
    write_file(inputs / "test.txt", cloud_text(test));

    RunResult first;
    std::string first_log, first_export;
    for (const char* threads : {"1", "2", "3", "8"}) {
      TempDir dir;
      const RunResult r = run_ptdelta(
          {"-r", inputs / "ref.txt", "-c", inputs / "test.txt", "-d", c.maxdist, "-t", threads, "-o", "out.ply"},
          dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      const std::string log = read_file(dir / "out.ply.log"), exported = read_file(dir / "out.ply");
      if (std::string(threads) == "1") {
        first = r;
        first_log = log;
        first_export = exported;
        continue;
      }
      EXPECT_EQ(r.err, first.err) << "seed " << c.seed << ", -t " << threads;
      EXPECT_EQ(log, first_log) << "seed " << c.seed << ", -t " << threads;
      EXPECT_EQ(exported, first_export) << "seed " << c.seed << ", -t " << threads;
    }
  }
}

// Rows of six numbers (read by lines) and an ASCII PLY body, each stopping part-way.
TEST(Threads, RowsByLinesAndPlyBodiesWriteTheSameBytes) {
  Rng rng(4);
  const PointColumns ref = surface_cloud(rng, 6000, 100.0, 0.05);
  const PointColumns test = surface_cloud(rng, 5000, 100.0, 0.05);
  std::string rows = "X Y Z R G B\n", ply;
  const std::string points = cloud_text(test);
  for (std::size_t at = 0, line = 0; at < points.size(); ++line) {
    const std::size_t end = points.find('\n', at);
    rows += points.substr(at, end - at) + (line % 7 == 0 ? " 1 2 3\r\n" : " 10 20 30\n");
    ply += points.substr(at, end - at) + " 255 " + std::to_string(line % 256) + " 0\n";
    at = end + 1;
  }
  rows += "1 2\n4 5 6 7 8 9\n";  // a line of two tokens ends the cloud
  ply = "ply\nformat ascii 1.0\nelement vertex 5001\nproperty float x\nproperty float y\nproperty float z\n"
        "property uchar red\nproperty int green\nproperty uchar blue\nend_header\n" + ply + "1 2 3 4 5.5 6\n";
  TempDir inputs;
  write_file(inputs / "ref.txt", cloud_text(ref));
  write_file(inputs / "rows.txt", rows);
  write_file(inputs / "body.ply", ply);
  for (const char* test_file : {"rows.txt", "body.ply"}) {
    std::string first_err, first_log;
    for (const char* threads : {"1", "2", "3", "8"}) {
      TempDir dir;
      const RunResult r = run_ptdelta(
          {"-r", inputs / "ref.txt", "-c", inputs / test_file, "-d", "0.5", "-t", threads, "-o", "out.ply"},
          dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      const std::string log = read_file(dir / "out.ply.log");
      if (std::string(threads) == "1") {
        first_err = r.err;
        first_log = log;
        continue;
      }
      EXPECT_EQ(r.err, first_err) << test_file << ", -t " << threads;
      EXPECT_EQ(log, first_log) << test_file << ", -t " << threads;
    }
  }
}

TEST(Threads, AThreadCountMustBeAWholeNumberFromOne) {
  TempDir dir;
  write_file(dir / "a.txt", "1 2 3\n");
  for (const char* bad : {"0", "-1", "two", "1.5", "", "99999"}) {
    const RunResult r = run_ptdelta({"-r", "a.txt", "-c", "a.txt", "-t", bad, "-o", "out.ply"}, dir.path());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.err, banner_text() + "Invalid thread count " + bad + "\n");
    EXPECT_FALSE(file_exists(dir / "out.ply"));
  }
}

}  // namespace
}  // namespace ptdelta::testing
