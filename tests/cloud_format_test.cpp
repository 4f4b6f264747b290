// Recognition by content: which first bytes make which format, and every option's reader choosing by it.
#include "input/cloud_format.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "input/cloud_reader.h"
#include "support/cloud_writers.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

TEST(CloudFormat, RecognisedByTheFirstBytesOnly) {
  using F = std::optional<CloudFormat>;
  const struct {
    std::string bytes;
    F format;
  } cases[] = {
      {"ply\nformat ascii 1.0\n", CloudFormat::ply},
      {"ply\r\n", CloudFormat::ply},
      {"ply", CloudFormat::ply},
      {"LASF\x01\x02", CloudFormat::las},
      {"# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\n", CloudFormat::pcd},
      {"# .PCD\n1 2 3\n", CloudFormat::pcd},  // a text file with that heading is a PCD file by its own word
      {"VERSION .7\nFIELDS x y z\n", CloudFormat::pcd},
      {"# made by a scanner\n\n  \t\nFIELDS x y z rgb\n", CloudFormat::pcd},
      {"#a\n#b\nVERSION\n", CloudFormat::pcd},
      // Everything else goes to the option's own reader.
      {"", std::nullopt},
      {"1 2 3\n4 5 6\n", std::nullopt},
      {"# x y z\n1 2 3\nVERSION 7\n", std::nullopt},
      {"X Y Z\n1 2 3\n", std::nullopt},
      {"plyfile.ply\n", std::nullopt},
      {" ply\n", std::nullopt},
      {"\nply\n", std::nullopt},
      {"VERSIONS 2\n", std::nullopt},
      {"FIELDSx\n", std::nullopt},
      {"# .PC\n1 2 3\n", std::nullopt},
      {"LAS\n", std::nullopt},
      {"lasf", std::nullopt},
      {"a.ply\nb.ply\n", std::nullopt},
  };
  for (const auto& c : cases) {
    ByteSource source(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(recognise_format(source), c.format) << c.bytes;
    EXPECT_EQ(source.cursor(), c.bytes.data()) << "nothing is taken: " << c.bytes;
  }
  EXPECT_STREQ(format_name(CloudFormat::text), "text");
  EXPECT_STREQ(format_name(CloudFormat::ply), "ply");
  EXPECT_STREQ(format_name(CloudFormat::pcd), "pcd");
  EXPECT_STREQ(format_name(CloudFormat::las), "las");
  EXPECT_STREQ(format_name(CloudFormat::list), "list");
}

struct Read {
  CloudReadOutcome outcome;
  std::int32_t count = 0;
};

Read read_as(InputKind kind, const std::string& bytes) {
  Read r;
  PointColumns cloud;
  ByteSource source(bytes.data(), bytes.size());
  PointAppender out(cloud, no_progress());
  r.outcome = read_cloud(kind, source, out);
  r.count = cloud.count;
  return r;
}

TEST(CloudFormat, EveryOptionReadsWhatTheFileIs) {
  const std::vector<testing::Xyz> points = {{1, 2, 3}, {4, 5, 6}};
  const std::string pcd = testing::pcd_file({{{"x"}, {"y"}, {"z"}}, "binary"}, points);
  const std::string las = testing::las_file({}, {{1, 2, 3}, {4, 5, 6}});
  const std::string ply = "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
                          "property float z\nend_header\n1 2 3\n4 5 6\n";
  for (const InputKind kind : {InputKind::text, InputKind::ply, InputKind::ply_list}) {
    for (const auto& [bytes, format] : {std::pair{pcd, CloudFormat::pcd}, {las, CloudFormat::las}, {ply, CloudFormat::ply}}) {
      const Read r = read_as(kind, bytes);
      EXPECT_EQ(r.outcome.failure, Failure::none);
      EXPECT_EQ(r.outcome.facts.format, format);
      EXPECT_EQ(r.count, 2);
    }
  }
  // Unrecognised files: each option's own reader, as before.
  EXPECT_EQ(read_as(InputKind::text, "1 2 3 4 5 6").outcome.facts.format, CloudFormat::text);
  EXPECT_EQ(read_as(InputKind::text, "1 2 3 4 5 6").count, 2);
  EXPECT_EQ(read_as(InputKind::ply, "1 2 3 0 0 1 9 9 9").outcome.facts.format, CloudFormat::ply);
  EXPECT_EQ(read_as(InputKind::ply, "1 2 3 0 0 1 9 9 9").count, 0);  // all of it a header without end
  EXPECT_EQ(read_as(InputKind::ply_list, "").outcome.facts.format, CloudFormat::list);
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
  ASSERT_EQ(r.outcome.file_facts.size(), 4U);
  ASSERT_EQ(r.outcome.files_read.size(), 4U);
  const CloudFormat formats[] = {CloudFormat::pcd, CloudFormat::las, CloudFormat::ply, CloudFormat::ply};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(r.outcome.file_facts[i].format, formats[i]) << i;
  EXPECT_EQ(r.outcome.file_facts[0].skipped_points, 1);
  EXPECT_TRUE(r.outcome.file_facts[1].ended_early);
  EXPECT_EQ(r.outcome.file_facts[1].complete_points, 2);
  EXPECT_EQ(r.outcome.file_facts[1].declared_points, 3);

  // A refused file names itself.
  testing::write_file(dir / "bad.pcd", "# .PCD\nFIELDS x y\n");
  const Read bad = read_as(InputKind::ply_list, dir / "c.ply\n" + dir / "bad.pcd\n");
  EXPECT_EQ(bad.outcome.failure, Failure::unsupported_pcd);
  EXPECT_EQ(bad.outcome.failed_name, dir / "bad.pcd");
}

}  // namespace
}  // namespace ptdelta
