// End-to-end runs on PTS and PTX files: the same registered points as text give the same bytes; their warnings.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

struct Point {
  double x, y, z;
};

// Coordinates in eighths: exact in every step below.
std::vector<Point> reference_points() {
  std::vector<Point> p;
  for (int i = 0; i < 30; ++i)
    for (int j = 0; j < 20; ++j) p.push_back({i * 0.25, j * 0.5, ((i * j) % 5) * 0.125});
  return p;
}

std::vector<Point> test_points() {
  std::vector<Point> p;
  for (int i = 0; i < 300; ++i) p.push_back({(i % 31) * 0.25 - 0.375, (i % 19) * 0.5 + 0.125, (i % 7) * 0.25});
  return p;
}

std::string row(double x, double y, double z, const char* rest, const char* eol = "\n") {
  char line[128];
  std::snprintf(line, sizeof line, "%.4f %.4f %.4f%s%s", x, y, z, rest, eol);
  return line;
}

std::string text_file(const std::vector<Point>& points) {
  std::string s;
  for (const Point& p : points) s += row(p.x, p.y, p.z, "");
  return s;
}

// Two blocks with their counts, rows of x y z intensity r g b, CR LF.
std::string pts_file(const std::vector<Point>& points) {
  const std::size_t half = points.size() / 2;
  std::string s = std::to_string(half) + "\r\n";
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i == half) s += std::to_string(points.size() - half) + "\r\n";
    s += row(points[i].x, points[i].y, points[i].z, " -1204 12 200 31", "\r\n");
  }
  return s;
}

const char* const pose = "0 0 0\n1 0 0\n0 1 0\n0 0 1\n";

// One scan of `points` under the identity, with a missing return after every tenth row
// (the scan's rows count them).
std::string ptx_identity(const std::vector<Point>& points) {
  std::string rows;
  std::size_t n = 0;
  for (std::size_t i = 0; i < points.size(); ++i, ++n) {
    rows += row(points[i].x, points[i].y, points[i].z, " 0.5");
    if (i % 10 == 9) {
      rows += "0 0 0 0\n";
      ++n;
    }
  }
  return std::to_string(n) + "\n1\n" + pose + "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n" + rows;
}

// Two scans in the scanner's frame: a quarter turn and a translation (x' = -y + 1000.5,
// y' = x - 20, z' = z + 3) bring each row to `points`.
std::string ptx_turned(const std::vector<Point>& points) {
  const std::size_t half = points.size() / 2;
  std::string s;
  for (const auto& [begin, end] : {std::pair{std::size_t{0}, half}, {half, points.size()}}) {
    s += "1\n" + std::to_string(end - begin) + "\n" + pose + "0 1 0 0\n-1 0 0 0\n0 0 1 0\n1000.5 -20 3 1\n";
    for (std::size_t i = begin; i < end; ++i)
      s += row(points[i].y + 20.0, 1000.5 - points[i].x, points[i].z - 3.0, " 0.25 1 2 3");
  }
  return s;
}

TEST(ScannerRun, SameRegisteredPointsAsTextGiveTheSameBytes) {
  TempDir dir;
  write_file(dir / "ref.txt", text_file(reference_points()));
  write_file(dir / "test.txt", text_file(test_points()));
  write_file(dir / "ref.pts", pts_file(reference_points()));
  write_file(dir / "test.pts", pts_file(test_points()));
  write_file(dir / "test.ptx", ptx_turned(test_points()));
  write_file(dir / "ref.ptx", ptx_turned(reference_points()));
  const RunResult text =
      run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "text.ply", "-d", "0.6", "-json", "text.json"}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  ASSERT_NE(text.err.find("\t300 final\n"), std::string::npos) << text.err;
  const struct {
    const char* ref;
    const char* test;
    const char* format;
  } runs[] = {{"ref.pts", "test.pts", "pts"}, {"ref.ptx", "test.ptx", "ptx"}, {"ref.txt", "test.ptx", "ptx"}};
  for (const auto& run : runs) {
    const std::string what = std::string(run.ref) + " " + run.test;
    const RunResult r =
        run_ptdelta({"-r", run.ref, "-c", run.test, "-o", "out.ply", "-d", "0.6", "-json", "out.json"}, dir.path());
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_EQ(r.err, text.err) << what;
    EXPECT_EQ(read_file(dir / "out.ply.log"), read_file(dir / "text.ply.log")) << what;
    EXPECT_EQ(read_file(dir / "out.ply"), read_file(dir / "text.ply")) << what;
    const std::string json = read_file(dir / "out.json");
    const std::string test_input = std::string("\"name\": \"") + run.test + "\",\n      \"format\": \"" + run.format + "\"";
    EXPECT_NE(json.find(test_input), std::string::npos) << what << "\n" << json;
  }
  // The missing returns of an identity scan: skipped and counted, the rest as text.
  write_file(dir / "gaps.ptx", ptx_identity(test_points()));
  const RunResult gaps = run_ptdelta({"-r", "ref.txt", "-c", "gaps.ptx", "-o", "out.ply", "-d", "0.6"}, dir.path());
  EXPECT_EQ(gaps.status, 0) << gaps.err;
  EXPECT_NE(gaps.err.find("\t300 final\nSkipped 30 points without coordinates in gaps.ptx\n"), std::string::npos)
      << gaps.err;
  EXPECT_EQ(read_file(dir / "out.ply"), read_file(dir / "text.ply"));
}

// As a JSON string (the texts here need no escapes).
std::string quoted(const std::string& text) {
  std::string s = "\"";
  s += text;
  s += '"';
  return s;
}

TEST(ScannerRun, WarningsInTheirOwnWords) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n");
  write_file(dir / "blocks.pts", "3\n1 2 3 4\n4 5 6 4\n2\n1 1 1 0\n2 2 2 0\n4 4 4 0\n");
  write_file(dir / "stops.pts", "2\n1 2 3 4 5 6 7\n2\n1 1 1 0\nend\n");
  write_file(dir / "short.ptx", std::string("2\n2\n") + pose + "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n" +
                                    "1 2 3 0.5\n0 0 0 0.5\n4 5 6 0.5\n");
  write_file(dir / "damaged.ptx", std::string("1\n1\n") + pose + "1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n" +
                                      "1 2 3 0.5\n1\n1\n0 0 0\n1 0 0\n1 0 0 0\n");
  std::string many = "1\n1 2 3\n";
  for (int i = 0; i < 150; ++i) many += "2\n1 2 3\n";  // each block one row short
  write_file(dir / "many.pts", many);
  std::string many_lines;
  for (int i = 0; i < 100; ++i)
    many_lines += "Warning: many.pts block at line " + std::to_string(3 + 2 * i) + " has 1 of 2 points\n";
  const struct {
    const char* file;
    std::string lines;  // from the final line to the method's
  } cases[] = {
      {"blocks.pts",
       "\t5 final\nWarning: blocks.pts block at line 1 has 2 of 3 points\n"
       "Warning: blocks.pts block at line 4 has 3 of 2 points\n"},
      {"stops.pts",
       "\t2 final\nWarning: stops.pts block at line 1 has 1 of 2 points\n"
       "Warning: stops.pts block at line 3 has 1 of 2 points\nWarning: stopped reading stops.pts at line 5\n"},
      {"short.ptx", "\t2 final\nSkipped 1 points without coordinates in short.ptx\n"
                    "Warning: short.ptx ends after 3 of 4 points\n"},
      {"damaged.ptx", "\t1 final\nWarning: stopped reading damaged.ptx at line 12\n"},
      {"many.pts", "\t151 final\n" + many_lines + "Warning: many.pts has 50 more blocks that differ from their counts\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", c.file, "-o", "out.ply", "-json", "out.json"}, dir.path());
    EXPECT_EQ(r.status, 0) << c.file << "\n" << r.err;
    const std::size_t from = r.err.find("\t");
    const std::size_t to = r.err.find("Method: ");
    ASSERT_NE(from, std::string::npos) << r.err;
    ASSERT_NE(to, std::string::npos) << r.err;
    // The reference's final line comes first: the test cloud's begins after it.
    const std::size_t test_from = r.err.find("\t", from + 1);
    EXPECT_EQ(r.err.substr(test_from, to - test_from), c.lines) << c.file;
    // The JSON report's warnings hold the same lines.
    const std::string json = read_file(dir / "out.json");
    for (std::size_t at = c.lines.find('\n') + 1; at < c.lines.size(); at = c.lines.find('\n', at) + 1)
      EXPECT_NE(json.find(quoted(c.lines.substr(at, c.lines.find('\n', at) - at))), std::string::npos)
          << c.file << " " << at;
  }
}

}  // namespace
}  // namespace ptdelta::testing
