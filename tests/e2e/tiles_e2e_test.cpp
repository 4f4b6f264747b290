// Runs split into tiles against the run in memory: console, log, export and reports the same bytes,
// in one process and as separate plan, task and merge steps; missing, damaged and foreign results refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/exact.h"
#include "support/random_clouds.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

// The run's outputs, the JSON report without its timings (its last member).
struct Outputs {
  std::string err, log, exported, binary, json, html;
};

Outputs read_outputs(const TempDir& dir, const RunResult& r) {
  Outputs o{r.err, read_file(dir / "out.ply.log"), read_file(dir / "out.ply"), read_file(dir / "out.bin.ply"),
            read_file(dir / "out.json"), read_file(dir / "out.html")};
  o.json = o.json.substr(0, o.json.find("\"seconds\""));
  return o;
}

void expect_same(const Outputs& a, const Outputs& b, const std::string& what) {
  EXPECT_EQ(a.err, b.err) << what;
  EXPECT_EQ(a.log, b.log) << what;
  EXPECT_TRUE(a.exported == b.exported) << what << ": export differs";
  EXPECT_TRUE(a.binary == b.binary) << what << ": binary export differs";
  EXPECT_EQ(a.json, b.json) << what;
  EXPECT_TRUE(a.html == b.html) << what << ": report page differs";
}

std::string line(double x, double y, double z) {
  char text[96];
  std::snprintf(text, sizeof text, "%.9g %.9g %.9g\n", x, y, z);
  return text;
}

// Random points over [-3 size, 3 size)^2, and points placed where tiles meet:
// on the edges x, y = k * size, at +-h from them, and at the corners; some
// repeated further on in the file (duplicates in several tiles' halos).
std::string edge_cloud(Rng& rng, std::int32_t n, double size, float h, double offset) {
  std::string text;
  std::vector<std::string> placed;
  const double hd = static_cast<double>(h);
  for (const double edge : {0.0, size, -2.0 * size})
    for (const double d : {0.0, hd, -hd, static_cast<double>(std::nextafter(h, 1.0f))}) {
      const double x = edge + d;
      placed.push_back(line(offset + x, offset + rng.uniform(-3.0 * size, 3.0 * size), rng.uniform(0.0, 0.1)));
      placed.push_back(line(offset + rng.uniform(-3.0 * size, 3.0 * size), offset + x, rng.uniform(0.0, 0.1)));
      placed.push_back(line(offset + x, offset + x, rng.uniform(0.0, 0.1)));
    }
  for (const std::string& p : placed) text += p;
  for (std::int32_t i = 0; i < n; ++i) {
    text += line(offset + rng.uniform(-3.0 * size, 3.0 * size), offset + rng.uniform(-3.0 * size, 3.0 * size),
                 rng.uniform(0.0, 0.1));
    if (i % 97 == 0) text += placed[static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(placed.size())))];
  }
  return text;
}

std::vector<std::string> run_args(const TempDir& inputs, const std::string& maxdist, const std::string& threads) {
  return {"-r", inputs / "ref.txt", "-c", inputs / "test.txt", "-d", maxdist, "-t", threads, "-o", "out.ply",
          "-ob", "out.bin.ply", "-json", "out.json", "-html", "out.html"};
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

struct CloudCase {
  std::uint64_t seed;
  std::int32_t reference_points, test_points;  // fewer reference points: method B
  const char* maxdist;
  double size;     // the tile edge the points are placed around
  double offset;   // added to x and y: 0, or enough for the automatic shift
  bool non_finite;  // test points with a NaN or infinite coordinate
};

const CloudCase cloud_cases[] = {
    {1, 3000, 2000, "0.25", 2.0, 0.0, true},       // method A
    {2, 400, 2500, "0.5", 2.0, 0.0, true},         // method B
    {3, 2500, 2500, "0.125", 1.0, 250000.0, false},  // equal counts (A), shifted coordinates
};

void write_clouds(const CloudCase& c, const TempDir& inputs) {
  Rng rng(c.seed);
  const float h = derive_box_half_width(rounded_maxdist(std::stod(c.maxdist)));
  std::string test = edge_cloud(rng, c.test_points, c.size, h, c.offset);
  if (c.non_finite) test = "nan 1 1\n" + test + "1 inf 0\n";
  write_file(inputs / "ref.txt", edge_cloud(rng, c.reference_points, c.size, h, c.offset));
  write_file(inputs / "test.txt", test);
}

TEST(Tiles, OneProcessWritesTheBytesOfTheRunInMemory) {
  for (const CloudCase& c : cloud_cases) {
    TempDir inputs;
    write_clouds(c, inputs);
    for (const char* threads : {"1", "2"}) {
      TempDir memory;
      const RunResult m = run_ptdelta(run_args(inputs, c.maxdist, threads), memory.path());
      ASSERT_EQ(m.status, 0) << m.err;
      const Outputs expected = read_outputs(memory, m);
      // One tile, a few, many, and tiles smaller than the search box (their
      // edge below 2h); a budget too.
      const std::string edge = std::to_string(c.size);
      const std::string small = std::to_string(c.size / 5.0);
      for (const std::vector<std::string>& tiling : std::vector<std::vector<std::string>>{
               {"-tiles", "1000"}, {"-tiles", edge}, {"-tiles", small}, {"-mem", "64K"}}) {
        TempDir dir;
        const RunResult t = run_ptdelta(with(run_args(inputs, c.maxdist, threads), tiling), dir.path());
        const std::string what = "seed " + std::to_string(c.seed) + " -t " + threads + " " + tiling[0] + " " + tiling[1];
        ASSERT_EQ(t.status, 0) << what << "\n" << t.err;
        expect_same(read_outputs(dir, t), expected, what);
        // The default work folder goes with the run.
        EXPECT_EQ(list_dir(dir.path()),
                  (std::vector<std::string>{"out.bin.ply", "out.html", "out.json", "out.ply", "out.ply.log"}))
            << what;
      }
    }
  }
}

// The steps of a cluster run: the plan, its tasks in any order (one of them twice), the merge elsewhere.
TEST(Tiles, PlanTasksInAnyOrderAndMergeWriteTheSameBytes) {
  for (const CloudCase& c : cloud_cases) {
    TempDir inputs, memory, planned;
    write_clouds(c, inputs);
    const RunResult m = run_ptdelta(run_args(inputs, c.maxdist, "2"), memory.path());
    ASSERT_EQ(m.status, 0) << m.err;
    const Outputs expected = read_outputs(memory, m);

    const std::string work = planned / "work";
    const RunResult plan = run_ptdelta(
        with(run_args(inputs, c.maxdist, "2"), {"-tiles", std::to_string(c.size), "-work", work, "-plan"}),
        planned.path());
    ASSERT_EQ(plan.status, 0) << plan.err;
    const int tasks = std::stoi(plan.out);
    ASSERT_GT(tasks, 4);
    EXPECT_EQ(plan.out, std::to_string(tasks) + "\n");
    // The console of the plan is the run's loading part.
    EXPECT_EQ(plan.err, m.err.substr(0, plan.err.size()));
    const std::string lines = read_file(work + "/tasks");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), tasks);
    EXPECT_NE(lines.find(" -work " + work + " -task 0\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find(" -task " + std::to_string(tasks - 1) + "\n"), std::string::npos);

    std::vector<int> order;
    for (int n = 0; n < tasks; ++n) order.push_back(n);
    Rng rng(c.seed + 100);
    for (std::size_t i = order.size(); i > 1; --i)
      std::swap(order[i - 1], order[static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(i)))]);
    for (const int n : order) {
      const RunResult r = run_ptdelta({"-work", work, "-task", std::to_string(n), "-t", n % 2 == 0 ? "1" : "2"}, "/");
      ASSERT_EQ(r.status, 0) << "task " << n << "\n" << r.err;
    }
    const std::string first = read_file(work + "/result-" + std::to_string(order[1]));
    ASSERT_EQ(run_ptdelta({"-work", work, "-task", std::to_string(order[1])}, "/").status, 0);
    EXPECT_TRUE(read_file(work + "/result-" + std::to_string(order[1])) == first) << "a task run twice";

    const RunResult merged = run_ptdelta({"-work", work, "-merge", "-t", "2"}, "/");
    ASSERT_EQ(merged.status, 0) << merged.err;
    Outputs got = read_outputs(planned, merged);
    // The merge shows the statistics as the run in memory does, after the banner.
    const std::string statistics = m.err.substr(m.err.find("\n\nSTATISTICS"));
    EXPECT_EQ(merged.err, banner_text() + statistics);
    got.err = m.err;
    expect_same(got, expected, "seed " + std::to_string(c.seed) + " merged");
  }
}

// The merge's reports name the planned run's -t unless the merge is given one of its own;
// without either, the thread count the run in memory would take.
TEST(Tiles, TheMergeTakesThePlannedThreadCountUnlessGivenOne) {
  const CloudCase& c = cloud_cases[0];
  TempDir inputs;
  write_clouds(c, inputs);
  struct ThreadCase {
    std::string planned, merge;  // empty: no -t
    std::string shown;           // the figure the reports show; empty: what a run in memory without -t shows
  };
  const ThreadCase cases[] = {{"1", "", "1"}, {"2", "", "2"}, {"1", "2", "2"}, {"2", "1", "1"}, {"", "", ""}};
  for (const ThreadCase& t : cases) {
    const std::string what = "planned -t '" + t.planned + "', merge -t '" + t.merge + "'";
    TempDir dir;
    std::vector<std::string> args = run_args(inputs, c.maxdist, t.planned);
    if (t.planned.empty()) args.erase(std::find(args.begin(), args.end(), "-t"), std::find(args.begin(), args.end(), "-o"));
    std::string shown = t.shown;
    if (shown.empty()) {
      TempDir memory;
      ASSERT_EQ(run_ptdelta(args, memory.path()).status, 0);
      const std::string json = read_file(memory / "out.json");
      const std::size_t at = json.find("\"threads\": ") + 11;
      shown = json.substr(at, json.find_first_not_of("0123456789", at) - at);
    }
    const std::string work = dir / "work";
    const RunResult plan = run_ptdelta(with(args, {"-tiles", "1", "-work", work, "-plan"}), dir.path());
    ASSERT_EQ(plan.status, 0) << what << "\n" << plan.err;
    for (int n = 0; n < std::stoi(plan.out); ++n)
      ASSERT_EQ(run_ptdelta({"-work", work, "-task", std::to_string(n)}, "/").status, 0) << what;
    std::vector<std::string> merge{"-work", work, "-merge"};
    if (!t.merge.empty()) merge.insert(merge.end(), {"-t", t.merge});
    const RunResult r = run_ptdelta(merge, "/");
    ASSERT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_NE(read_file(dir / "out.json").find("\"threads\": " + shown + "\n"), std::string::npos) << what;
    EXPECT_NE(read_file(dir / "out.html").find("<tr><th>Threads</th><td>" + shown + "</td></tr>"), std::string::npos)
        << what;
  }
}

// A run in one process stopped by a signal takes its default work folder with it,
// whatever is in it by then.
TEST(Tiles, AnInterruptedRunLeavesNoWorkFolder) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    TempDir dir;
    write_file(dir / "ref.txt", "0 0 0\n1 1 1\n");
    // The run waits in opening its test cloud: a pipe nobody writes to.
    ASSERT_EQ(mkfifo((dir / "test.txt").c_str(), 0600), 0);
    const int pid = start_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "out.ply", "-tiles", "1"}, dir.path(), {});
    std::string folder;
    for (int wait = 0; folder.empty() && wait < 2000; ++wait) {
      for (const std::string& name : list_dir(dir.path()))
        if (name.starts_with(".ptdelta-tiles-")) folder = dir / name;
      if (folder.empty()) usleep(5000);
    }
    ASSERT_FALSE(folder.empty()) << "no work folder made";
    // Files of the run's own kinds, as a later moment would have them.
    write_file(folder + "/tile_0_0.ref", "points");
    write_file(folder + "/test-points", "points");
    ASSERT_EQ(kill(pid, sig), 0);
    EXPECT_EQ(wait_status(pid), 128 + sig);
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"ref.txt", "test.txt"}));
  }
}

TEST(Tiles, MissingDamagedAndForeignResultsAreNamed) {
  const CloudCase& c = cloud_cases[0];
  TempDir inputs, dir;
  write_clouds(c, inputs);
  const std::string work = dir / "work", other = dir / "other";
  ASSERT_EQ(run_ptdelta(with(run_args(inputs, c.maxdist, "1"), {"-tiles", "1", "-work", work, "-plan"}), dir.path())
                .status,
            0);
  // Another plan: the same tiles, another maxdist.
  ASSERT_EQ(run_ptdelta(with(run_args(inputs, "0.2", "1"), {"-tiles", "1", "-work", other, "-plan"}), dir.path())
                .status,
            0);
  for (const std::string& w : {work, other})
    for (int n = 0; n < 6; ++n) ASSERT_EQ(run_ptdelta({"-work", w, "-task", std::to_string(n)}, "/").status, 0);

  // Task 1 missing, 2 cut short, 3 with one byte changed, 4 from the other plan, 5 and on never run.
  std::remove((work + "/result-1").c_str());
  const std::string two = read_file(work + "/result-2");
  write_file(work + "/result-2", two.substr(0, two.size() - 3));
  std::string three = read_file(work + "/result-3");
  three[three.size() / 2] = static_cast<char>(three[three.size() / 2] ^ 0x10);
  write_file(work + "/result-3", three);
  write_file(work + "/result-4", read_file(other + "/result-4"));
  const RunResult r = run_ptdelta({"-work", work, "-merge"}, "/");
  EXPECT_EQ(r.status, 1);
  const std::string lines = read_file(work + "/tasks");
  const auto tasks = static_cast<int>(std::count(lines.begin(), lines.end(), '\n'));
  std::string named = "Missing tasks: 1 2 3 4";
  for (int n = 6; n < tasks; ++n) named.append(" ").append(std::to_string(n));
  EXPECT_EQ(r.err, banner_text() + named + "\n");
  EXPECT_FALSE(file_exists(dir / "out.ply"));
  EXPECT_FALSE(file_exists(dir / "out.ply.log"));

  // A damaged plan refuses every step.
  std::string plan = read_file(work + "/plan");
  plan[plan.size() / 3] = static_cast<char>(plan[plan.size() / 3] ^ 1);
  write_file(work + "/plan", plan);
  for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
           {"-work", work, "-task", "0"}, {"-work", work, "-merge"}}) {
    const RunResult s = run_ptdelta(step, "/");
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.err, banner_text() + "No whole plan of this version in " + work + "\n");
  }
}

TEST(Tiles, UsageErrorsAndRefusals) {
  TempDir inputs, dir;
  write_clouds(cloud_cases[0], inputs);
  std::filesystem::create_directory(dir / "full");
  write_file(dir / "full/notes.txt", "");
  const std::string work = dir / "work";
  ASSERT_EQ(run_ptdelta(with(run_args(inputs, "0.25", "1"), {"-tiles", "2", "-work", work, "-plan"}), dir.path())
                .status,
            0);
  struct Case {
    std::vector<std::string> extra;  // after the run's options; empty first word: a step alone
    int status;
    std::string message;  // the line after the console of loading, or after the banner
  };
  const Case cases[] = {
      {{"-plan", "-work", work}, 2, "-plan needs -tiles SIZE or -mem BYTES, and -work DIR\n"},
      {{"-plan", "-tiles", "2"}, 2, "-plan needs -tiles SIZE or -mem BYTES, and -work DIR\n"},
      {{"-tiles", "2", "-d", "inf"}, 2,
       "-tiles and -mem need a finite maxdist (-d): an infinite one reaches every tile\n"},
      {{"-mem", "1G", "-signed", "-normals", "1"}, 2, "-tiles and -mem cannot be used with -signed, -plane or -m3c2\n"},
      {{"-tiles", "2", "-plane", "5"}, 2, "-tiles and -mem cannot be used with -signed, -plane or -m3c2\n"},
      {{"-tiles", "2", "-m3c2", "1"}, 2, "-tiles and -mem cannot be used with -signed, -plane or -m3c2\n"},
      {{"-tiles", "0.0001"}, 2, "Tile size 0.0001 too small: a search box would reach more than 1024 tiles across\n"},
      {{"-tiles", "0"}, 2, "Invalid tiles 0\n"},
      {{"-mem", "2X"}, 2, "Invalid mem 2X\n"},
      {{"", "-work", work, "-task", "99"}, 2, "Invalid task 99: the plan in " + work + " has "},
      {{"", "-work", work, "-task", "x"}, 2, "Invalid task x: the plan in " + work + " has "},
      {{"", "-task", "0"}, 2, "-task and -merge need -work DIR\n"},
      {{"", "-work", dir / "nowhere", "-merge"}, 1, "No whole plan of this version in " + dir / "nowhere" + "\n"},
  };
  for (const Case& c : cases) {
    const bool alone = !c.extra.empty() && c.extra[0].empty();
    const std::vector<std::string> args =
        alone ? std::vector<std::string>(c.extra.begin() + 1, c.extra.end()) : with(run_args(inputs, "0.25", "1"), c.extra);
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, c.status) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir / "out.ply")) << c.message;
  }
  // A folder that holds files of its own is not planned in.
  const RunResult r = run_ptdelta(with(run_args(inputs, "0.25", "1"), {"-tiles", "2", "-work", dir / "full", "-plan"}),
                                  dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Refusing to plan in " + dir / "full" + ": it holds notes.txt, which is not of a plan\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(list_dir(dir / "full"), std::vector<std::string>{"notes.txt"});
}

}  // namespace
}  // namespace ptdelta::testing
