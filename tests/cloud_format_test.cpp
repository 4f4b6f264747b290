// Recognition by content: which first bytes make which format, every option's reader choosing by it, and a
// format added by one table row.
#include "input/cloud_format.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "input/cloud_reader.h"
#include "support/cloud_writers.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

TEST(CloudFormat, RecognisedByTheFirstBytesOnly) {
  const FormatRow* const none = nullptr;
  const struct {
    std::string bytes;
    const FormatRow* format;
  } cases[] = {
      {"ply\nformat ascii 1.0\n", &ply_format},
      {"ply\r\n", &ply_format},
      {"ply", &ply_format},
      {"LASF\x01\x02", &las_format},
      {"LASF\nVERSION 1\n", &las_format},  // the signature wins over any line rule
      {"# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n", &pcd_format},
      {"# .PCD\n1 2 3\n", &pcd_format},  // a text file with that heading is a PCD file by its own word
      {"VERSION .7\nFIELDS x y z\n", &pcd_format},
      {"# made by a scanner\n\n  \t\nFIELDS x y z rgb\n", &pcd_format},
      {"#a\n#b\nVERSION\n", &pcd_format},
      {"ply \t\nVERSION .7\n", &ply_format},  // a first line "ply" wins over PCD's rules
      // Everything else goes to the option's own reader.
      {"", none},
      {"1 2 3\n4 5 6\n", none},
      {"# x y z\n1 2 3\nVERSION 7\n", none},
      {"X Y Z\n1 2 3\n", none},
      {"plyfile.ply\n", none},
      {" ply\n", none},
      {"\nply\n", none},
      {"ply x\n", none},
      {"VERSIONS 2\n", none},
      {"FIELDSx\n", none},
      {"# .PC\n1 2 3\n", none},
      {"LAS\n", none},
      {"lasf", none},
      {"a.ply\nb.ply\n", none},
  };
  for (const auto& c : cases) {
    ByteSource source(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(recognise_format(source), c.format) << c.bytes;
    EXPECT_EQ(source.cursor(), c.bytes.data()) << "nothing is taken: " << c.bytes;
  }
  // The names the messages and the JSON report use.
  const struct {
    const FormatRow* row;
    const char* name;
    const char* key;
  } names[] = {{&ply_format, "PLY", "ply"}, {&pcd_format, "PCD", "pcd"}, {&las_format, "LAS", "las"},
               {&pts_format, "PTS", "pts"}, {&ptx_format, "PTX", "ptx"}};
  for (const auto& n : names) {
    EXPECT_STREQ(n.row->name, n.name);
    FileFacts facts;
    facts.format = n.row;
    EXPECT_STREQ(format_name(facts), n.key);
  }
  EXPECT_STREQ(format_name(FileFacts{}), "text");
  EXPECT_STREQ(input_format_name(ReadOutcome{Failure::none, {}, nullptr, true, {}}), "list");
}

struct Read {
  ReadOutcome outcome;
  std::int32_t count = 0;
  std::vector<float> x;
  const char* format() const { return input_format_name(outcome); }
};

Read read_as(InputKind kind, const std::string& bytes, FormatTable formats = cloud_formats()) {
  Read r;
  PointColumns cloud;
  ByteSource source(bytes.data(), bytes.size());
  PointAppender out(cloud, no_progress());
  r.outcome = read_cloud(kind, source, out, 1, formats);
  r.count = cloud.count;
  r.x.assign(cloud.x.begin(), cloud.x.begin() + cloud.count);
  return r;
}

TEST(CloudFormat, EveryOptionReadsWhatTheFileIs) {
  const std::vector<testing::Xyz> points = {{1, 2, 3}, {4, 5, 6}};
  const std::string pcd = testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "binary"}, points);
  const std::string las = testing::las_file({}, {{1, 2, 3}, {4, 5, 6}});
  const std::string ply = "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                          "property float z\nend_header\n1 2 3\n4 5 6\n";
  for (const InputKind kind : {InputKind::text, InputKind::ply, InputKind::ply_list}) {
    for (const auto& [bytes, format] : {std::pair{pcd, &pcd_format}, {las, &las_format}, {ply, &ply_format}}) {
      const Read r = read_as(kind, bytes);
      EXPECT_EQ(r.outcome.failure, Failure::none);
      ASSERT_EQ(r.outcome.files.size(), 1U);
      EXPECT_FALSE(r.outcome.list);
      EXPECT_EQ(r.outcome.files[0].format, format);
      EXPECT_EQ(r.count, 2);
    }
  }
  // Unrecognised files: each option's own reader, as before.
  EXPECT_STREQ(read_as(InputKind::text, "1 2 3 4 5 6").format(), "text");
  EXPECT_EQ(read_as(InputKind::text, "1 2 3 4 5 6").count, 2);
  EXPECT_STREQ(read_as(InputKind::ply, "1 2 3 0 0 1 9 9 9").format(), "ply");
  EXPECT_EQ(read_as(InputKind::ply, "1 2 3 0 0 1 9 9 9").count, 0);  // all of it a header without end
  EXPECT_STREQ(read_as(InputKind::ply_list, "").format(), "list");
  EXPECT_TRUE(read_as(InputKind::ply_list, "").outcome.files.empty());
}

TEST(CloudFormat, EachFileOfAListIsRecognisedOnItsOwn) {
  testing::TempDir dir;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  testing::write_file(dir / "a.pcd", testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "ascii"}, {{1, 2, 3}, {nan, 0, 0}}));
  std::string las = testing::las_file({}, {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}});
  las.resize(las.size() - 1);
  testing::write_file(dir / "b.las", las);
  testing::write_file(dir / "c.ply", "ply\nformat ascii 1.0\nend_header\n1 2 3 0 0 1 9 9 9\n");
  testing::write_file(dir / "d.txt", "1 2 3 0 0 1 9 9 9\n");  // read as PLY, as before: all header, no points
  const Read r = read_as(InputKind::ply_list, dir / "a.pcd\n" + dir / "b.las\n\n" + dir / "c.ply\n" + dir / "d.txt\n");
  ASSERT_EQ(r.outcome.failure, Failure::none);
  EXPECT_EQ(r.count, 1 + 2 + 1);
  ASSERT_EQ(r.outcome.files.size(), 4U);
  EXPECT_TRUE(r.outcome.list);
  const FormatRow* const formats[] = {&pcd_format, &las_format, &ply_format, &ply_format};
  const char* const names[] = {"a.pcd", "b.las", "c.ply", "d.txt"};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.outcome.files[i].format, formats[i]) << i;
    EXPECT_EQ(r.outcome.files[i].name, dir / names[i]) << i;
  }
  EXPECT_EQ(r.outcome.files[0].skipped_points, 1);
  ASSERT_TRUE(r.outcome.files[1].shortfall);
  EXPECT_EQ(r.outcome.files[1].shortfall->read, 2);
  EXPECT_EQ(r.outcome.files[1].shortfall->declared, 3);

  // A refused file names itself.
  testing::write_file(dir / "bad.pcd", "# .PCD\nFIELDS x y\n");
  const Read bad = read_as(InputKind::ply_list, dir / "c.ply\n" + dir / "bad.pcd\n");
  EXPECT_EQ(bad.outcome.failure, Failure::unsupported);
  EXPECT_EQ(bad.outcome.failed_name, dir / "bad.pcd");
  EXPECT_EQ(bad.outcome.failed_format, &pcd_format);
}

// ---- a format added by one row ----

// A toy format read by content: a first line "TOYXYZ", then "x y z" lines. Its
// reader seeks back over the first line to show that it may: from a stream that
// cannot seek it gets a copy in memory.
bool is_toy_file(std::string_view bytes) { return bytes.substr(0, bytes.find('\n')) == "TOYXYZ"; }

Failure read_toy(ByteSource& in, PointAppender& out, FileFacts& facts, int) {
  std::string line;
  if (!in.read_line(line) || !in.seekable() || !in.seek(0)) return Failure::read_error;
  line.clear();
  in.read_line(line);
  if (in.position() != 7) return Failure::read_error;
  for (line.clear(); in.read_line(line); line.clear()) {
    float x = 0, y = 0, z = 0;
    if (std::sscanf(line.c_str(), "%f %f %f", &x, &y, &z) != 3) return Failure::unsupported;
    if (x < 0) {
      ++facts.skipped_points;
      continue;
    }
    if (!out.add_exact(x, y, z)) return Failure::out_of_memory;
  }
  return in.end_state();
}

const FormatRow toy_format = {.name = "TOY",
                              .key = "toy",
                              .recognise = is_toy_file,
                              .read = read_toy,
                              .help = "a first line TOYXYZ: toy x y z lines",
                              .seeks = true};

// The table with the toy row added, as the real one would hold it.
constexpr const FormatRow* with_toy[] = {&las_format, &ply_format, &pcd_format, &toy_format};

TEST(CloudFormat, OneTableRowIsEnoughToAddAFormat) {
  const std::string toy = "TOYXYZ\n1 2 3\n-1 0 0\n4 5 6\n";
  for (const InputKind kind : {InputKind::text, InputKind::ply, InputKind::ply_list}) {
    const Read r = read_as(kind, toy, with_toy);
    ASSERT_EQ(r.outcome.failure, Failure::none);
    EXPECT_STREQ(r.format(), "toy");
    EXPECT_EQ(r.x, (std::vector<float>{1, 4}));
    EXPECT_EQ(r.outcome.files[0].skipped_points, 1);
  }
  // Without the row the same bytes are text to -r.
  EXPECT_STREQ(read_as(InputKind::text, "TOYXYZ\n1 2 3\n").format(), "text");

  // A list names toy files among the others; a refused one names its format.
  testing::TempDir dir;
  testing::write_file(dir / "a.toy", toy);
  testing::write_file(dir / "b.ply", "ply\nformat ascii 1.0\nend_header\n7 8 9 0 0 1 9 9 9\n");
  testing::write_file(dir / "bad.toy", "TOYXYZ\n1 2\n");
  const Read list = read_as(InputKind::ply_list, dir / "a.toy\n" + dir / "b.ply\n", with_toy);
  ASSERT_EQ(list.outcome.failure, Failure::none);
  EXPECT_EQ(list.x, (std::vector<float>{1, 4, 7}));
  ASSERT_EQ(list.outcome.files.size(), 2U);
  EXPECT_STREQ(format_name(list.outcome.files[0]), "toy");
  EXPECT_STREQ(format_name(list.outcome.files[1]), "ply");
  const Read bad = read_as(InputKind::ply_list, dir / "b.ply\n" + dir / "bad.toy\n", with_toy);
  EXPECT_EQ(bad.outcome.failure, Failure::unsupported);
  EXPECT_EQ(bad.outcome.failed_name, dir / "bad.toy");
  EXPECT_EQ(bad.outcome.failed_format, &toy_format);
}

TEST(CloudFormat, ARowThatSeeksReadsAPipeFromMemory) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string toy = "TOYXYZ\n1 2 3\n4 5 6\n";  // far less than a pipe holds
  ASSERT_EQ(write(fds[1], toy.data(), toy.size()), static_cast<ssize_t>(toy.size()));
  close(fds[1]);
  std::FILE* stream = fdopen(fds[0], "r");
  ASSERT_NE(stream, nullptr);
  PointColumns cloud;
  ReadOutcome outcome;
  {
    ByteSource source(stream);
    EXPECT_FALSE(source.seekable());
    PointAppender out(cloud, no_progress());
    outcome = read_cloud(InputKind::text, source, out, 1, with_toy);
  }
  std::fclose(stream);
  EXPECT_EQ(outcome.failure, Failure::none);
  EXPECT_STREQ(input_format_name(outcome), "toy");
  EXPECT_EQ(cloud.count, 2);
}

}  // namespace
}  // namespace ptdelta
