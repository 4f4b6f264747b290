#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

TEST(SurfaceRuns, EveryThreadCountWritesTheSameBytes) {
  Rng rng(5);
  const PointColumns ref = surface_cloud(rng, 8000, 40.0, 0.05);
  PointColumns test = surface_cloud(rng, 5000, 40.0, 0.05);
  shuffle_points(rng, test);
  TempDir inputs;
  write_file(inputs / "ref.txt", cloud_text(ref));
  write_file(inputs / "test.txt", cloud_text(test));
  const std::vector<std::vector<std::string>> runs = {
      {"-signed", "-normals", "1.5"}, {"-plane", "6"}, {"-plane", "6", "-signed", "-orient", "0,0,100"},
      {"-m3c2", "2", "-minpoints", "3", "-regerror", "0.01"}};
  for (const std::vector<std::string>& extra : runs) {
    std::string first_err, first_log, first_export;
    for (const char* threads : {"1", "2", "3"}) {
      TempDir dir;
      std::vector<std::string> args{"-r", inputs / "ref.txt", "-c", inputs / "test.txt", "-d", "1", "-t", threads,
                                    "-o", "out.ply"};
      args.insert(args.end(), extra.begin(), extra.end());
      const RunResult r = run_ptdelta(args, dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      const std::string log = read_file(dir / "out.ply.log"), exported = read_file(dir / "out.ply");
      EXPECT_NE(log.find("Method: "), std::string::npos);
      if (std::string(threads) == "1") {
        first_err = r.err;
        first_log = log;
        first_export = exported;
        continue;
      }
      EXPECT_EQ(r.err, first_err) << extra[0] << " threads=" << threads;
      EXPECT_EQ(log, first_log) << extra[0] << " threads=" << threads;
      EXPECT_EQ(exported, first_export) << extra[0] << " threads=" << threads;
    }
    if (extra[0] == "-m3c2") {
      EXPECT_NE(first_err.find("Rejected (too few points):\t"), std::string::npos);
      EXPECT_NE(first_err.find("Significant changes:\t"), std::string::npos);
      EXPECT_EQ(first_err.find("> than maxdist:"), std::string::npos);
    }
    if (extra[0] == "-plane") {
      EXPECT_NE(first_err.find("Method: least-squares plane through 6 nearest reference points"), std::string::npos);
    }
  }
}

TEST(SurfaceRuns, MessagesAndStatusOfRunsThatCannotBeSigned) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n1 1 0\n");
  write_file(dir / "test.txt", "0.5 0.5 0.1\n");
  write_file(dir / "big.txt", "0 0 0\n1 0 0\n0 1 0\n1 1 0\n2 2 0\n3 3 0\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-signed"},
       "-signed needs normals: the reference has none stored; give -normals R\n"},
      {{"-r", "ref.txt", "-c", "big.txt", "-o", "o.ply", "-signed", "-normals", "2"},
       "-signed needs the nearest-point method (a reference with at least as many points as the test cloud), "
       "-plane or -m3c2\n"},
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-m3c2", "1", "-cylinder", "-1"}, "Invalid cylinder -1\n"},
      {{"-r", "ref.txt", "-c", "test.txt", "-o", "o.ply", "-plane", "2"}, "Invalid plane 2\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_ptdelta(c.args, dir.path());
    EXPECT_EQ(r.status, 2);
    ASSERT_GE(r.err.size(), c.message.size());
    EXPECT_EQ(r.err.substr(r.err.size() - c.message.size()), c.message);
    EXPECT_FALSE(file_exists(dir / "o.ply"));
  }
  // A signed run: the point above the plane z = 0 is + by 0.1 and coloured on the red side.
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "s.ply", "-signed", "-normals", "2"},
                                  dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(read_file(dir / "s.ply").find("0.50000 0.50000 0.10000 255   0   0 0.71414\n"), std::string::npos)
      << read_file(dir / "s.ply");
}

}  // namespace
}  // namespace ptdelta::testing
