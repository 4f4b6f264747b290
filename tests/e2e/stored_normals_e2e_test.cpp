// Signed runs with the normals stored in the reference: used as stored, on any thread count, by the nearest point only.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/cloud_writers.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

struct GridPoint {
  float x, y, z, nx, ny, nz;
};

// A 5 x 5 grid on z = 0 whose normals point up where x < 2 and down elsewhere
// (as a file may store them; no orientation turns them), but for one all zero
// and one not a number.
std::vector<GridPoint> grid() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<GridPoint> g;
  for (int j = 0; j < 5; ++j)
    for (int i = 0; i < 5; ++i) {
      GridPoint p{static_cast<float>(i), static_cast<float>(j), 0.0f, 0.0f, 0.0f, i < 2 ? 1.0f : -1.0f};
      if (i == 4 && j == 4) p.nz = 0.0f;
      if (i == 4 && j == 0) p.nx = nan;
      g.push_back(p);
    }
  return g;
}

std::string binary_ply(const std::vector<GridPoint>& g, bool normals) {
  std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(g.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\n";
  if (normals) s += "property double nx\nproperty double ny\nproperty double nz\n";
  s += "end_header\n";
  for (const GridPoint& p : g) {
    for (const float v : {p.x, p.y, p.z}) put_le<float>(s, v);
    if (normals)
      for (const float v : {p.nx, p.ny, p.nz}) put_le<double>(s, static_cast<double>(v));
  }
  return s;
}

std::string ascii_pcd(const std::vector<GridPoint>& g) {
  std::string s = "# .PCD v0.7\nFIELDS x y z normal_x normal_y normal_z\nSIZE 4 4 4 4 4 4\nTYPE F F F F F F\n"
                  "WIDTH " + std::to_string(g.size()) + "\nHEIGHT 1\nPOINTS " + std::to_string(g.size()) +
                  "\nDATA ascii\n";
  char line[160];
  for (const GridPoint& p : g) {
    std::snprintf(line, sizeof line, "%g %g %g %g %g %g\n", static_cast<double>(p.x), static_cast<double>(p.y),
                  static_cast<double>(p.z), static_cast<double>(p.nx), static_cast<double>(p.ny),
                  static_cast<double>(p.nz));
    s += line;
  }
  return s;
}

// The scalar_distance of every point of a binary export (x y z, three bytes of colour, the distance).
// The binary PLY of a signed run: x y z, red green blue, scalar_distance, nx ny nz.
std::vector<float> exported_distances(const std::string& ply) {
  EXPECT_NE(ply.find("property float scalar_distance\nproperty float nx\n"), std::string::npos);
  const std::size_t body = ply.find("end_header\n") + 11;
  std::vector<float> d;
  for (std::size_t at = body; at + 31 <= ply.size(); at += 31) {
    float v = 0.0f;
    std::memcpy(&v, ply.data() + at + 15, sizeof v);
    d.push_back(v);
  }
  return d;
}

struct Outputs {
  std::string err, log, exported, binary;
};

Outputs run_in(const std::string& ref, const std::string& test, const std::vector<std::string>& extra) {
  TempDir dir;
  std::vector<std::string> args{"-rp", ref, "-c", test, "-d", "1", "-o", "out.ply", "-ob", "b.ply"};
  args.insert(args.end(), extra.begin(), extra.end());
  const RunResult r = run_ptdelta(args, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  return {r.err, read_file(dir / "out.ply.log"), read_file(dir / "out.ply"), read_file(dir / "b.ply")};
}

const char* const test_points =
    "0 0 0.25\n"      // above, normal up: +
    "1 1 -0.5\n"      // below, normal up: -
    "3 2 0.25\n"      // above, normal down: -
    "3 3 -0.125\n"    // below, normal down: +
    "4 4 0.5\n"       // the zero normal: rejected
    "4 0 0.5\n"       // the normal not a number: rejected
    "1.5 2 0\n";      // on the surface, at 0.5 from two points: the smaller index (x = 1, up), +0.5

TEST(StoredNormalRuns, SignsFollowTheStoredNormalsOnEveryThreadCount) {
  TempDir inputs;
  write_file(inputs / "ref.ply", binary_ply(grid(), true));
  write_file(inputs / "ref.pcd", ascii_pcd(grid()));
  write_file(inputs / "test.txt", test_points);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> want = {0.25f, -0.5f, -0.25f, 0.125f, nan, nan, 0.5f};
  for (const char* ref : {"ref.ply", "ref.pcd"}) {
    const Outputs first = run_in(inputs / ref, inputs / "test.txt", {"-signed", "-t", "1"});
    EXPECT_NE(first.err.find("Method: nearest reference point, signed by the stored normals\n"), std::string::npos)
        << first.err;
    EXPECT_NE(first.err.find("Rejected (no normal):\t2\n"), std::string::npos) << first.err;
    EXPECT_EQ(first.log.rfind("Method: nearest reference point, signed by the stored normals\n", 0), 0u);
    const std::vector<float> d = exported_distances(first.binary);
    ASSERT_EQ(d.size(), want.size()) << ref;
    for (std::size_t i = 0; i < d.size(); ++i)
      EXPECT_EQ(std::bit_cast<std::uint32_t>(d[i]), std::bit_cast<std::uint32_t>(want[i])) << ref << ", point " << i;
    // Stored normals win over -normals, and no orientation turns them.
    const std::vector<std::vector<std::string>> same = {
        {"-signed", "-t", "2"}, {"-signed", "-t", "3", "-normals", "1.5"}, {"-signed", "-orient", "0,0,-100"}};
    for (const std::vector<std::string>& extra : same) {
      const Outputs again = run_in(inputs / ref, inputs / "test.txt", extra);
      EXPECT_EQ(again.err, first.err) << ref << " " << extra[1];
      EXPECT_EQ(again.log, first.log) << ref << " " << extra[1];
      EXPECT_EQ(again.exported, first.exported) << ref << " " << extra[1];
      EXPECT_EQ(again.binary, first.binary) << ref << " " << extra[1];
    }
  }
}

TEST(StoredNormalRuns, PlaneAndM3c2IgnoreStoredNormals) {
  TempDir inputs;
  write_file(inputs / "with.ply", binary_ply(grid(), true));
  write_file(inputs / "without.ply", binary_ply(grid(), false));
  write_file(inputs / "test.txt", test_points);
  const std::vector<std::vector<std::string>> runs = {{"-m3c2", "1.5", "-minpoints", "1"},
                                                      {"-plane", "4", "-signed"}};
  for (const std::vector<std::string>& extra : runs) {
    const Outputs with = run_in(inputs / "with.ply", inputs / "test.txt", extra);
    const Outputs without = run_in(inputs / "without.ply", inputs / "test.txt", extra);
    EXPECT_EQ(with.err, without.err) << extra[0];
    EXPECT_EQ(with.log, without.log) << extra[0];
    EXPECT_EQ(with.exported, without.exported) << extra[0];
    EXPECT_EQ(with.binary, without.binary) << extra[0];
  }
}

TEST(StoredNormalRuns, SignedWithoutStoredNormalsStillNeedsNormalsOption) {
  TempDir dir;
  write_file(dir / "ref.ply", binary_ply(grid(), false));
  write_file(dir / "test.txt", test_points);
  const std::string message = "-signed needs normals: the reference has none stored; give -normals R\n";
  const RunResult r = run_ptdelta({"-rp", "ref.ply", "-c", "test.txt", "-o", "o.ply", "-signed"}, dir.path());
  EXPECT_EQ(r.status, 2);
  ASSERT_GE(r.err.size(), message.size());
  EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
  EXPECT_FALSE(file_exists(dir / "o.ply"));
  const RunResult estimated =
      run_ptdelta({"-rp", "ref.ply", "-c", "test.txt", "-o", "o.ply", "-signed", "-normals", "1.5"}, dir.path());
  EXPECT_EQ(estimated.status, 0) << estimated.err;
  EXPECT_NE(estimated.err.find("Method: nearest reference point, signed by the normal within 1.5 of it\n"),
            std::string::npos);
}

}  // namespace
}  // namespace ptdelta::testing
