// The optional outputs of signed and local-surface runs: the binary PLY read back property by
// property, the JSON read back by Python's json module, the HTML's figures, and the same bytes
// for every thread count. A plain run's outputs gain none of the new keys or properties.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "report/ply_export.h"
#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

// A binary little-endian PLY's vertices, each property widened to double (NaN kept).
struct PlyTable {
  std::vector<std::string> names;  // in header order
  std::vector<std::string> types;
  std::vector<std::vector<double>> rows;
  std::string colours;  // red green blue of every row, three bytes each

  std::vector<double> column(const std::string& name) const {
    std::vector<double> out;
    for (std::size_t p = 0; p < names.size(); ++p) {
      if (names[p] != name) continue;
      for (const auto& row : rows) out.push_back(row[p]);
    }
    return out;
  }
};

template <class T>
double value_at(const char* at) {
  T v;
  std::memcpy(&v, at, sizeof v);  // the tests run on little-endian machines
  return static_cast<double>(v);
}

PlyTable read_binary_ply(const std::string& bytes) {
  PlyTable t;
  const std::size_t end = bytes.find("end_header\n");
  if (end == std::string::npos) {
    ADD_FAILURE() << "no end_header";
    return t;
  }
  std::istringstream header(bytes.substr(0, end));
  std::size_t count = 0;
  for (std::string line; std::getline(header, line);) {
    std::istringstream words(line);
    std::string word, type, name;
    words >> word;
    if (word == "element") words >> name >> count;
    if (word == "property") {
      words >> type >> name;
      t.types.push_back(type);
      t.names.push_back(name);
    }
  }
  const char* at = bytes.data() + end + 11;
  const char* const stop = bytes.data() + bytes.size();
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<double> row;
    for (const std::string& type : t.types) {
      const std::size_t size = type == "double" ? 8 : type == "uchar" ? 1 : 4;
      if (at + size > stop) {
        ADD_FAILURE() << "the body ends inside record " << i;
        return t;
      }
      if (type == "uchar") {
        row.push_back(static_cast<double>(static_cast<unsigned char>(*at)));
        if (row.size() >= 4 && row.size() <= 6) t.colours += *at;  // red green blue
      } else {
        row.push_back(type == "double" ? value_at<double>(at) : type == "int" ? value_at<std::int32_t>(at)
                                                                              : value_at<float>(at));
      }
      at += size;
    }
    t.rows.push_back(row);
  }
  EXPECT_EQ(at, stop) << "bytes after the last record";
  return t;
}

// Standard output of a shell command; fails the test when it does not exit 0.
std::string command_output(const std::string& command) {
  const CommandOutput r = shell_output(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
  return r.out;
}

// A terrain sampled twice on offset grids with 2 mm of noise; the test sampling is raised by
// 0.2 where x < 1, and one test point lies far from every reference point (and one reference
// point far from every test point, so that the nearest-point method may run too).
struct Terrain {
  std::string reference, test;
};

Terrain terrain() {
  Rng rng(20);
  Terrain t;
  char line[96];
  for (int i = 0; i < 30; ++i) {
    for (int j = 0; j < 30; ++j) {
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", i * 0.1, j * 0.1, 0.002 * rng.normal());
      t.reference += line;
      const double x = i * 0.1 + 0.05, y = j * 0.1 + 0.05;
      std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", x, y, (x < 1.0 ? 0.2 : 0.0) + 0.002 * rng.normal());
      t.test += line;
    }
  }
  t.test += "50 50 0\n";
  t.reference += "-50 -50 0\n";
  return t;
}

// Reads the M3C2 run's JSON back, checks what holds between its keys, and prints the
// console's stage-1 lines it holds and the counts for the binary PLY to match.
const char* const m3c2_json_check = R"PY(
import json, struct, sys
d = json.load(open(sys.argv[1]))
def r32(v):
    return struct.unpack("<f", struct.pack("<f", v))[0]
def f(v):
    return "%f" % r32(v)
p, c, s1, fl, h, q = d["parameters"], d["counts"], d["stage1"], d["filter"], d["histogram"], d["percentiles"]
assert p["method"] == "m3c2" and p["signed"] is True and p["orientation"] == "up" and p["stored_normals"] is False
assert p["m3c2_radius"] == 0.4 and p["cylinder_radius"] == 0.2 and p["depth"] == 1
assert p["registration_error"] == 0.001 and p["min_points"] == 8
assert p["normal_radius"] is None and p["plane_points"] is None
assert c["test_points"] == c["accepted"] + c["outliers"] + c["rejected"] == d["inputs"]["test"]["points"]
assert c["rejected"] == c["no_normal"] + c["no_plane"] + c["too_few_points"]
assert c["outliers"] == 0 and c["no_plane"] == 0 and c["no_normal"] >= 1 and c["too_few_points"] >= 1
assert 0 < s1["significant_changes"] < c["accepted"] == s1["checked_points"]
assert r32(s1["significant_percent"]) == r32(s1["significant_changes"] * 100.0 / c["accepted"])
assert s1["mean_lod95"] > 0
assert fl["low_threshold"] < s1["mean"] < fl["threshold"]
e = h["edges"]
assert h["centred_on_zero"] is True and len(e) % 2 == 1 and e[len(e) // 2] == 0
assert all(e[i] == -e[-1 - i] for i in range(len(e)))
assert h["bin_width"] == e[len(e) // 2 + 1] and sum(h["counts"]) == c["accepted"] and len(h["counts"]) == len(e) - 1
assert -s1["max"] <= q["p50"] <= q["p90"] <= q["p95"] <= q["p99"] <= s1["max"]
assert e[0] < -s1["max"] and s1["max"] < e[-1]
print("Rejected (no normal):\t%d\nRejected (too few points):\t%d\nSignificant changes:\t%d\t%s%%\nMean LoD95:\t%s"
      % (c["no_normal"], c["too_few_points"], s1["significant_changes"], f(s1["significant_percent"]), f(s1["mean_lod95"])))
print("%d %d %s" % (c["accepted"], s1["significant_changes"], f(q["p99"])))
)PY";

std::vector<std::string> run_args(const std::vector<std::string>& extra, const char* threads) {
  std::vector<std::string> args{"-r", "ref.txt", "-c", "test.txt", "-d", "1", "-t", threads, "-o", "out.ply",
                                "-ob", "out.bin.ply", "-json", "out.json", "-html", "out.html"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

TEST(SurfaceReports, M3c2BinaryPlyAndJsonAgreeWithTheConsole) {
  TempDir dir;
  const Terrain t = terrain();
  write_file(dir / "ref.txt", t.reference);
  write_file(dir / "test.txt", t.test);
  // Cylinders of radius 0.2 hold 12 reference and about 9 test points inside, fewer at the edges.
  const RunResult r =
      run_ptdelta(run_args({"-m3c2", "0.4", "-minpoints", "8", "-regerror", "0.001"}, "2"), dir.path());
  ASSERT_EQ(r.status, 0) << r.err;

  write_file(dir / "check.py", m3c2_json_check);
  const std::string out = command_output(python() + " " + dir / "check.py " + dir / "out.json");
  const std::size_t last = out.rfind('\n', out.size() - 2);
  ASSERT_NE(last, std::string::npos) << out;
  EXPECT_NE(r.err.find(out.substr(0, last + 1)), std::string::npos) << out << "\n" << r.err;
  long accepted = 0, significant = 0;
  char p99[64] = "";
  ASSERT_EQ(std::sscanf(out.c_str() + last + 1, "%ld %ld %63s", &accepted, &significant, p99), 3) << out;

  const PlyTable ply = read_binary_ply(read_file(dir / "out.bin.ply"));
  EXPECT_EQ(ply.names, (std::vector<std::string>{"x", "y", "z", "red", "green", "blue", "scalar_distance", "nx", "ny",
                                                 "nz", "scalar_lod95", "scalar_significant", "scalar_n_reference",
                                                 "scalar_n_test"}));
  EXPECT_EQ(ply.types, (std::vector<std::string>{"float", "float", "float", "uchar", "uchar", "uchar", "float", "float",
                                                 "float", "float", "float", "uchar", "int", "int"}));
  ASSERT_EQ(ply.rows.size(), 901u);
  long measured = 0, flagged = 0, too_few = 0, raised = 0;
  for (std::size_t i = 0; i < ply.rows.size(); ++i) {
    const std::vector<double>& v = ply.rows[i];
    SCOPED_TRACE("point " + std::to_string(i));
    const double d = v[6], lod = v[10], sig = v[11], n_ref = v[12], n_test = v[13];
    const std::string rgb = ply.colours.substr(3 * i, 3);
    if (i == 900) {  // far from the reference: no normal, nothing measured
      EXPECT_TRUE(std::isnan(d) && std::isnan(v[7]) && std::isnan(lod));
      EXPECT_EQ(n_ref + n_test + sig, 0.0);
      EXPECT_EQ(rgb, std::string(3, '\0'));
      continue;
    }
    // Every other core point has a normal, up and near (0, 0, 1).
    EXPECT_GT(v[9], 0.99);
    EXPECT_NEAR(v[7] * v[7] + v[8] * v[8] + v[9] * v[9], 1.0, 1e-6);
    if (std::isnan(d)) {  // too few points in a cylinder: counted, not measured
      ++too_few;
      EXPECT_TRUE(n_ref < 8 || n_test < 8);
      EXPECT_TRUE(std::isnan(lod));
      EXPECT_EQ(sig, 0.0);
      EXPECT_EQ(rgb, std::string(3, '\0'));
      continue;
    }
    ++measured;
    EXPECT_GE(n_ref, 8.0);
    EXPECT_GE(n_test, 8.0);
    EXPECT_GT(lod, 0.0);
    // Significant exactly when the float |d| is above the float LoD95; grey otherwise.
    EXPECT_EQ(sig, std::fabs(static_cast<float>(d)) > static_cast<float>(lod) ? 1.0 : 0.0);
    if (sig == 1.0) {
      ++flagged;
      EXPECT_NE(rgb, "\x80\x80\x80");
    } else {
      EXPECT_EQ(rgb, "\x80\x80\x80");
    }
    // Well inside the raised part the change is +0.2 and significant.
    if (v[0] < 0.8) {
      ++raised;
      EXPECT_NEAR(d, 0.2, 0.01);
      EXPECT_EQ(sig, 1.0);
    }
  }
  EXPECT_EQ(measured, accepted);
  EXPECT_EQ(flagged, significant);
  EXPECT_GT(too_few, 0);
  EXPECT_GT(raised, 100);
  EXPECT_NE(r.err.find("Rejected (too few points):\t" + std::to_string(too_few) + "\n"), std::string::npos);

  // The page: the share of significant change, the parameters as used, the centred histogram.
  const std::string html = read_file(dir / "out.html");
  for (const std::string& expected :
       {"<p><strong>Significant change: " + std::to_string(significant) + " of " + std::to_string(accepted) +
            " accepted points (",
        std::string("<tr><th>Cylinder radius</th><td>0.2</td></tr>"),
        std::string("<tr><th>Cylinder half-length</th><td>1</td></tr>"),
        std::string("<tr><th>Registration error</th><td>0.001</td></tr>"),
        std::string("<tr><th>Minimum points in a cylinder</th><td>8</td></tr>"),
        std::string("<tr><td>Rejected (too few points)</td><td class=\"n\">" + std::to_string(too_few) + "</td></tr>"),
        std::string("<h2>Distribution of the signed distances</h2>"), std::string("Percentiles of the signed distances"),
        std::string("Stage 2: within mean &plusmn; std"), std::string("class=\"threshold-label\">mean &minus; std "),
        std::string("<stop offset=\"0\" stop-color=\"#0000ff\"/>"), std::string("LoD95</text>"),
        std::string("signed distance (in the clouds' units)")}) {
    EXPECT_NE(html.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(html.find("Rejected (no plane)"), std::string::npos);
  EXPECT_EQ(html.find("Beyond maxdist"), std::string::npos);  // M3C2 has no outlier test
}

TEST(SurfaceReports, SignedNearestAndLocalPlaneBinaryPly) {
  TempDir dir;
  std::string reference;
  for (int i = 0; i < 20; ++i) {
    for (int j = 0; j < 20; ++j) reference += std::to_string(i * 0.1) + " " + std::to_string(j * 0.1) + " 0\n";
  }
  write_file(dir / "ref.txt", reference);
  // Above, below, exactly on the plane, and too far.
  write_file(dir / "test.txt", "0.52 0.47 0.05\n1.01 1.33 -0.04\n0.2 0.2 0\n1.5 0.5 -0.02\n9 9 9\n");
  struct Case {
    std::vector<std::string> extra;
    bool is_signed;
  };
  for (const Case& c : {Case{{"-signed", "-normals", "0.25"}, true}, Case{{"-plane", "6"}, false},
                        Case{{"-plane", "6", "-signed"}, true}}) {
    SCOPED_TRACE(c.extra[0] + (c.is_signed && c.extra[0] == "-plane" ? " -signed" : ""));
    std::vector<std::string> args{"-r", "ref.txt", "-c", "test.txt", "-d", "0.5", "-o", "o.ply", "-ob", "b.ply"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const RunResult r = run_ptdelta(args, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const PlyTable ply = read_binary_ply(read_file(dir / "b.ply"));
    EXPECT_EQ(ply.names, (std::vector<std::string>{"x", "y", "z", "red", "green", "blue", "scalar_distance", "nx", "ny",
                                                   "nz"}));
    ASSERT_EQ(ply.rows.size(), 5u);
    const std::vector<double> d = ply.column("scalar_distance"), z = ply.column("z"), nz = ply.column("nz");
    const float largest = static_cast<float>(std::max({std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[3])}));
    for (std::size_t i = 0; i < 4; ++i) {
      SCOPED_TRACE("point " + std::to_string(i));
      ASSERT_FALSE(std::isnan(d[i]));
      EXPECT_EQ(nz[i], 1.0);  // the plane z = 0, oriented up
      EXPECT_EQ(ply.column("nx")[i], 0.0);
      // The sign is the side of the plane (0 gives +), and only in a signed run.
      EXPECT_EQ(std::signbit(d[i]), c.is_signed && z[i] < 0.0);
      if (c.extra[0] == "-plane") {
        EXPECT_EQ(std::fabs(d[i]), std::fabs(z[i]));  // to the plane z = 0
      }
      if (c.is_signed) {
        const Rgb expected = diverging_colour(static_cast<float>(d[i]), largest);
        EXPECT_EQ(ply.colours.substr(3 * i, 3), std::string({static_cast<char>(expected.red),
                                                             static_cast<char>(expected.green),
                                                             static_cast<char>(expected.blue)}));
      }
    }
    // Beyond maxdist (nothing in its box): no distance, and no normal.
    EXPECT_TRUE(std::isnan(d[4]));
    EXPECT_TRUE(std::isnan(nz[4]));
    EXPECT_EQ(ply.colours.substr(12, 3), c.is_signed ? std::string(3, '\0') : std::string("\xa0\xa0\xa0"));
  }
}

// The reports of a surface run are the same bytes for every thread count, but for the
// thread count they state and the JSON's timings.
TEST(SurfaceReports, EveryThreadCountWritesTheSameReports) {
  TempDir dir;
  const Terrain t = terrain();
  write_file(dir / "ref.txt", t.reference);
  write_file(dir / "test.txt", t.test);
  const auto without = [](std::string text, const std::string& from, const std::string& to) {
    const std::size_t a = text.find(from);
    if (a == std::string::npos) return text;
    const std::size_t b = text.find(to, a);
    return text.erase(a, b == std::string::npos ? std::string::npos : b - a);
  };
  for (const std::vector<std::string>& extra : std::vector<std::vector<std::string>>{
           {"-m3c2", "0.4", "-minpoints", "8"}, {"-signed", "-normals", "0.3"}, {"-plane", "8", "-orient", "0,0,-10"}}) {
    std::map<std::string, std::string> first;
    for (const char* threads : {"1", "2"}) {
      const RunResult r = run_ptdelta(run_args(extra, threads), dir.path());
      ASSERT_EQ(r.status, 0) << r.err;
      const std::map<std::string, std::string> now = {
          {"ob", read_file(dir / "out.bin.ply")},
          {"json", without(without(read_file(dir / "out.json"), "\"threads\"", "\n"), "\"seconds\"", "}")},
          {"html", without(read_file(dir / "out.html"), "<tr><th>Threads</th>", "\n")}};
      EXPECT_NE(now.at("json").find("\"centred_on_zero\""), std::string::npos);
      if (first.empty()) {
        first = now;
        continue;
      }
      for (const auto& [name, bytes] : now) EXPECT_TRUE(bytes == first.at(name)) << extra[0] << " " << name;
    }
  }
}

TEST(SurfaceReports, APlainRunGainsNoneOfTheNewKeysOrProperties) {
  TempDir dir;
  const Terrain t = terrain();
  write_file(dir / "ref.txt", t.reference);
  write_file(dir / "test.txt", t.test);
  const RunResult r = run_ptdelta(run_args({}, "2"), dir.path());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string json = read_file(dir / "out.json");
  for (const char* key : {"\"signed\"", "\"orientation\"", "\"no_normal\"", "\"too_few_points\"", "\"mean_lod95\"",
                          "\"low_threshold\"", "\"centred_on_zero\""}) {
    EXPECT_EQ(json.find(key), std::string::npos) << key;
  }
  EXPECT_TRUE(read_file(dir / "out.bin.ply").find("property float scalar_distance\nend_header\n") != std::string::npos);
  const std::string html = read_file(dir / "out.html");
  EXPECT_NE(html.find("<tr><td>Rejected (no plane)</td>"), std::string::npos);
  EXPECT_EQ(html.find("Signed distances"), std::string::npos);
  EXPECT_NE(html.find("<stop offset=\"0\" stop-color=\"#00ff00\"/>"), std::string::npos);
}

}  // namespace
}  // namespace ptdelta::testing
