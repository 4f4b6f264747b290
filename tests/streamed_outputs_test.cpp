// The outputs made from test points streamed in blocks against the same outputs from the whole columns:
// the same bytes wherever the blocks cut the cloud; a short, long or missing points file fails the reading.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "distance/comparison_pass.h"
#include "driver/tile_task.h"
#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/ply_export.h"
#include "report/test_points.h"
#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

struct Made {
  PointColumns cloud;
  PassResult pass;
};

// Points spread over a plane, a few with a NaN or infinite coordinate; every outcome.
Made make_run(std::int32_t n, std::uint64_t seed) {
  testing::Rng rng(seed);
  Made m;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  for (std::int32_t i = 0; i < n; ++i) {
    float x = static_cast<float>(rng.uniform(-50.0, 70.0)), y = static_cast<float>(rng.uniform(-20.0, 20.0));
    const float z = static_cast<float>(rng.uniform(0.0, 2.0));
    if (i % 331 == 5) x = nan;
    if (i % 487 == 9) y = -inf;
    EXPECT_TRUE(m.cloud.append(x, y, z));
    const double u = rng.uniform();
    m.pass.cd.push_back(u < 0.8 ? static_cast<float>(rng.uniform(0.0, 0.5)) : excluded_distance);
    m.pass.outcome.push_back(u < 0.8 ? PointOutcome::accepted : u < 0.9 ? PointOutcome::outlier : PointOutcome::rejected);
  }
  gather_totals(m.pass);
  return m;
}

// The points file of a work folder: x y z of each point in input order.
std::string points_file(const PointColumns& cloud) {
  std::string bytes;
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    for (const float v : {cloud.x[i], cloud.y[i], cloud.z[i]}) bytes.append(reinterpret_cast<const char*>(&v), 4);
  return bytes;
}

struct Written {
  std::string exported, binary, html;
};

Written write_all(const testing::TempDir& dir, const RunResult& result, const std::string& tag) {
  const auto one = [&](const std::string& name, auto write) {
    OutputFile file;
    EXPECT_EQ(file.open(dir / name), Failure::none);
    write(file);
    EXPECT_EQ(file.finish(), Failure::none);
    return testing::read_file(dir / name);
  };
  Written w;
  w.exported = one(tag + ".ply", [&](OutputFile& f) { write_coloured_ply(f, result); });
  w.binary = one(tag + ".bin.ply", [&](OutputFile& f) { EXPECT_EQ(write_binary_ply(f, result), Failure::none); });
  w.html = one(tag + ".html", [&](OutputFile& f) { EXPECT_EQ(write_html_report(f, result), Failure::none); });
  return w;
}

TEST(StreamedOutputs, BlocksCutAnywhereGiveTheBytesOfTheWholeColumns) {
  struct Case {
    std::int32_t points;
    std::int64_t block;
    std::int32_t threads;
    bool shifted;
  };
  // The export formats chunks of about 4440 lines (2 per thread to a window):
  // blocks above, below and at those sizes, of one point, and of the whole cloud.
  const Case cases[] = {{40000, std::int64_t{1} << 20, 2, false}, {40000, 4443, 2, false}, {40000, 997, 3, true},
                        {40000, 39999, 1, false},                 {40000, 8887, 4, true},  {1200, 1, 2, true},
                        {1200, 7, 1, false},                      {1, 1, 2, false}};
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.points) + " points in blocks of " + std::to_string(c.block);
    testing::TempDir dir;
    Made m = make_run(c.points, 17 + static_cast<std::uint64_t>(c.block));
    testing::write_file(dir / "test-points", points_file(m.cloud));
    RunDescription what_ran;
    what_ran.threads = c.threads;
    what_ran.test.point_count = c.points;
    if (c.shifted) what_ran.shift = {-512000.0, 0.0, -100.0};
    PassResult copy = m.pass;
    const RunResult whole(what_ran, m.cloud, std::move(m.pass), true);
    const StreamedTestPoints streamed(dir / "test-points", c.points, c.block);
    const RunResult blocks(what_ran, streamed, std::move(copy), true);
    EXPECT_EQ(blocks.non_finite_count(), whole.non_finite_count()) << what;
    EXPECT_EQ(blocks.test_extent.min, whole.test_extent.min) << what;
    EXPECT_EQ(blocks.test_extent.max, whole.test_extent.max) << what;
    const Written a = write_all(dir, whole, "whole"), b = write_all(dir, blocks, "blocks");
    EXPECT_FALSE(streamed.failed()) << what;
    EXPECT_TRUE(a.exported == b.exported) << what << ": export differs";
    EXPECT_TRUE(a.binary == b.binary) << what << ": binary export differs";
    EXPECT_TRUE(a.html == b.html) << what << ": report page differs";
  }
}

TEST(StreamedOutputs, AShortLongOrMissingPointsFileFailsTheReading) {
  const Made m = make_run(100, 3);
  const std::string bytes = points_file(m.cloud);
  const std::pair<std::string, const char*> files[] = {
      {bytes.substr(0, bytes.size() - 12), "a point short"},
      {bytes.substr(0, bytes.size() - 1), "a byte short"},
      {bytes + "x", "a byte over"},
      {"", "missing"},
  };
  for (const auto& [contents, what] : files) {
    testing::TempDir dir;
    if (!contents.empty()) testing::write_file(dir / "test-points", contents);
    const StreamedTestPoints streamed(dir / "test-points", 100, 30);
    std::int64_t seen = 0;
    EXPECT_FALSE(streamed.each_block([&](const PointBlock& b) {
      EXPECT_EQ(b.first, seen);
      seen += b.points.count;
      return true;
    })) << what;
    EXPECT_TRUE(streamed.failed()) << what;
    // A failed reading stays failed: the outputs made from it are dropped.
    EXPECT_FALSE(streamed.each_block([](const PointBlock&) { return true; })) << what;
  }
  testing::TempDir dir;
  testing::write_file(dir / "test-points", bytes);
  const StreamedTestPoints streamed(dir / "test-points", 100, 30);
  std::vector<std::int64_t> firsts;
  EXPECT_TRUE(streamed.each_block([&](const PointBlock& b) {
    firsts.push_back(b.first);
    EXPECT_EQ(b.points.count, b.first == 90 ? 10 : 30);
    EXPECT_EQ(std::memcmp(&b.points.x[0], &m.cloud.x[static_cast<std::size_t>(b.first)], 4), 0);
    return true;
  }));
  EXPECT_EQ(firsts, (std::vector<std::int64_t>{0, 30, 60, 90}));
  EXPECT_FALSE(streamed.failed());
}

}  // namespace
}  // namespace ptdelta
