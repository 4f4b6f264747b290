// End-to-end runs on PCD and LAS inputs: the same points in every format give the same bytes; their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/cloud_writers.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

const std::string reference_banner = "Loading Reference points ................";
const std::string test_banner = "Loading Test points .......................";

// Coordinates in eighths, so every format stores them exactly and LAS takes them
// as integers with scale 0.125.
std::vector<Xyz> reference_points() {
  std::vector<Xyz> p;
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 30; ++j) p.push_back({i * 0.25 + 0.125, j * 0.5, ((i * j) % 7) * 0.125});
  return p;
}

std::vector<Xyz> test_points() {
  std::vector<Xyz> p;
  for (int i = 0; i < 700; ++i) p.push_back({(i % 41) * 0.25 - 0.5, (i % 29) * 0.5 + 0.125, (i % 5) * 0.375});
  return p;
}

std::string text_file(const std::vector<Xyz>& points) {
  std::string s;
  char line[96];
  for (const Xyz& p : points) {
    std::snprintf(line, sizeof line, "%.4f %.4f %.4f\n", p.x, p.y, p.z);
    s += line;
  }
  return s;
}

std::string binary_ply(const std::vector<Xyz>& points) {
  std::string s = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(points.size()) +
                  "\nproperty float x\nproperty float y\nproperty float z\nend_header\n";
  for (const Xyz& p : points)
    for (const double v : {p.x, p.y, p.z}) put_le<float>(s, static_cast<float>(v));
  return s;
}

std::string las(const std::vector<Xyz>& points, int minor, int format, Xyz offset = {0, 0, 0}) {
  LasFileShape shape;
  shape.minor = minor;
  shape.format = format;
  shape.gap = 60;
  shape.offset[0] = offset.x;
  shape.offset[1] = offset.y;
  shape.offset[2] = offset.z;
  for (double& s : shape.scale) s = 0.125;
  std::vector<RawXyz> raw;
  for (const Xyz& p : points)
    raw.push_back({static_cast<std::int32_t>(p.x * 8), static_cast<std::int32_t>(p.y * 8),
                   static_cast<std::int32_t>(p.z * 8)});
  return las_file(shape, raw);
}

std::string pcd(const std::vector<Xyz>& points, const char* data) {
  return pcd_file({{{"rgb", 'U', 4}, {"x"}, {"y"}, {"normal", 'F', 4, 3}, {"z", 'F', 8}}, data}, points);
}

TEST(FormatsRun, SamePointsThroughEveryFormatGiveTheSameBytes) {
  TempDir dir;
  const std::vector<Xyz> ref = reference_points(), test = test_points();
  write_file(dir / "ref.txt", text_file(ref));
  write_file(dir / "test.txt", text_file(test));
  write_file(dir / "ref.ply", binary_ply(ref));
  write_file(dir / "test.ply", binary_ply(test));
  for (const char* kind : {"ascii", "binary", "binary_compressed"}) {
    write_file(dir / (std::string("ref_") + kind + ".pcd"), pcd(ref, kind));
    write_file(dir / (std::string("test_") + kind + ".pcd"), pcd(test, kind));
  }
  write_file(dir / "ref12.las", las(ref, 2, 1));
  write_file(dir / "test12.las", las(test, 2, 3));
  write_file(dir / "ref14.las", las(ref, 4, 6));
  write_file(dir / "test14.las", las(test, 4, 7));
  write_file(dir / "list.txt", "test12.las\ntest_binary.pcd\n");
  write_file(dir / "test_head.pcd", pcd({test.begin(), test.begin() + 350}, "binary"));
  write_file(dir / "test_tail.las", las({test.begin() + 350, test.end()}, 4, 6));
  write_file(dir / "split.txt", "test_head.pcd\ntest_tail.las\n");

  const RunResult text = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "text.ply", "-d", "0.6"}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  ASSERT_NE(text.err.find("\t1200 final\n"), std::string::npos);
  ASSERT_NE(text.err.find("\t700 final\n"), std::string::npos);
  const std::vector<std::vector<std::string>> runs = {
      {"-r", "ref.ply", "-c", "test.ply"},
      {"-rp", "ref_ascii.pcd", "-cpl", "test_ascii.pcd"},
      {"-r", "ref_binary.pcd", "-cp", "test_binary.pcd"},
      {"-r", "ref_binary_compressed.pcd", "-c", "test_binary_compressed.pcd"},
      {"-r", "ref12.las", "-c", "test12.las"},
      {"-rp", "ref14.las", "-cpl", "test14.las"},
      {"-r", "ref14.las", "-cp", "split.txt"},
  };
  for (std::vector<std::string> args : runs) {
    const std::string what = args[1] + " " + args[3];
    args.insert(args.end(), {"-o", "out.ply", "-d", "0.6"});
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_EQ(r.err, text.err) << what;
    EXPECT_EQ(read_file(dir / "out.ply.log"), read_file(dir / "text.ply.log")) << what;
    EXPECT_EQ(read_file(dir / "out.ply"), read_file(dir / "text.ply")) << what;
  }
  // Georeferenced: the same points placed at (512000, 5412000, 0), as text and as LAS whose
  // header offset does the placing, are shifted back automatically and give the statistics
  // of the points near the origin, the export in the input's frame, the same bytes both ways.
  const Xyz at{512000.0, 5412000.0, 0.0};
  std::vector<Xyz> ref_far = ref, test_far = test;
  for (std::vector<Xyz>* cloud : {&ref_far, &test_far})
    for (Xyz& p : *cloud) p = {p.x + at.x, p.y + at.y, p.z};
  write_file(dir / "ref_far.txt", text_file(ref_far));
  write_file(dir / "test_far.txt", text_file(test_far));
  write_file(dir / "ref_far.las", las(ref, 2, 1, at));
  write_file(dir / "test_far.las", las(test, 4, 6, at));
  const RunResult far_text =
      run_ptdelta({"-r", "ref_far.txt", "-c", "test_far.txt", "-o", "far_text.ply", "-d", "0.6"}, dir.path());
  const RunResult far_las =
      run_ptdelta({"-r", "ref_far.las", "-c", "test_far.las", "-o", "far_las.ply", "-d", "0.6"}, dir.path());
  ASSERT_EQ(far_las.status, 0) << far_las.err;
  EXPECT_NE(far_las.err.find("\t1200 final\nCoordinates shifted by (-512000, -5412000, 0)\n"), std::string::npos)
      << far_las.err;
  EXPECT_EQ(read_file(dir / "far_las.ply.log"), read_file(dir / "text.ply.log"));
  EXPECT_EQ(read_file(dir / "far_las.ply.log"), read_file(dir / "far_text.ply.log"));
  EXPECT_EQ(read_file(dir / "far_las.ply"), read_file(dir / "far_text.ply"));
  EXPECT_NE(read_file(dir / "far_las.ply").find("end_header\n511999.50000 5412000.12500 0.00000 "), std::string::npos);

  // A list of mixed formats reads on across its files; its points are the test cloud twice over.
  const RunResult listed = run_ptdelta({"-r", "ref.txt", "-cp", "list.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.err.find(test_banner + "\b\b\b\b\b\b\b\b     500\b\b\b\b\b\b\b\b    1000\t1400 final\n"),
            std::string::npos);
}

TEST(FormatsRun, SkippedPointsAndShortBodiesAreToldAfterTheFinalLine) {
  TempDir dir;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  PcdFileShape organised{{{"x"}, {"y"}, {"z"}}, "binary"};
  organised.width = 4;
  organised.height = 2;
  std::string grid = pcd_file(organised, {{0, 0, 0}, {nan, nan, nan}, {1, 0, 0}, {1, 1, nan}, {0, 1, 0}, {2, 2, 2},
                                          {3, 3, 3}, {4, 4, 4}});
  grid.resize(grid.size() - 12 * 2 - 1);  // five complete points of eight
  write_file(dir / "ref.pcd", grid);
  write_file(dir / "test.txt", "0 0 0\n");
  const RunResult r = run_ptdelta({"-r", "ref.pcd", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.starts_with(banner_text() + reference_banner +
                                "\t3 final\nSkipped 2 points without coordinates in ref.pcd\n"
                                "Warning: ref.pcd ends after 5 of 8 points\n" + test_banner))
      << r.err;

  // A list: every file's skipped points first, then its short bodies, in list order.
  std::string short_las = las({{1, 1, 1}, {2, 2, 2}}, 2, 0);
  short_las.resize(short_las.size() - 3);
  write_file(dir / "a.las", short_las);
  write_file(dir / "b.pcd", pcd_file({{{"x"}, {"y"}, {"z"}}, "ascii"}, {{nan, 0, 0}, {1, 2, 3}}));
  write_file(dir / "list.txt", "a.las\nb.pcd\n");
  write_file(dir / "ref.txt", "0 0 0\n");
  const RunResult l = run_ptdelta({"-r", "ref.txt", "-cp", "list.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(l.status, 0) << l.err;
  EXPECT_NE(l.err.find(test_banner + "\t2 final\nSkipped 1 points without coordinates in b.pcd\n"
                                     "Warning: a.las ends after 1 of 2 points\nMethod: plane through three reference points\nProcessing"),
            std::string::npos)
      << l.err;
}

TEST(FormatsRun, UnreadableFilesStopTheRun) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n");
  write_file(dir / "noz.pcd", pcd_file({{{"x"}, {"y"}, {"intensity"}}, "binary"}, {{1, 2, 3}}));
  LasFileShape laz;
  laz.format = 0x83;
  laz.record_length = 34;
  write_file(dir / "scan.laz", las_file(laz, {{1, 2, 3}}));
  write_file(dir / "list.txt", "ref.txt\nscan.laz\n");
  const struct {
    std::vector<std::string> args;
    std::string tail;
  } cases[] = {
      {{"-r", "noz.pcd", "-c", "ref.txt"}, reference_banner + "Unsupported PCD file noz.pcd\n"},
      {{"-r", "ref.txt", "-c", "scan.laz"}, reference_banner + "\t1 final\n" + test_banner + "Unsupported LAS file scan.laz\n"},
      {{"-r", "ref.txt", "-cp", "list.txt"}, reference_banner + "\t1 final\n" + test_banner + "Unsupported LAS file scan.laz\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "out.ply"});
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner_text() + c.tail);
    EXPECT_FALSE(file_exists(dir / "out.ply"));
    EXPECT_FALSE(file_exists(dir / "out.ply.log"));
  }
}

}  // namespace
}  // namespace ptdelta::testing
