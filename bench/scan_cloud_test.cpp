// scan_cloud_test.cpp - the benchmark clouds: same bytes everywhere, the counts asked for, the shape promised
#include "scan_cloud.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/text_reader.h"

namespace {

using namespace ptdelta::bench;

std::string cloud_text(CloudKind kind, std::int64_t count, std::uint64_t seed) {
  std::string text;
  generate_scan_cloud(kind, count, seed, [&](const CloudPoint& p) {
    char line[96];
    text.append(line, static_cast<std::size_t>(format_cloud_line(line, p)));
  });
  return text;
}

std::uint64_t fnv1a(const std::string& s) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
  return h;
}

// Pinned bytes: the clouds of a bench run on one machine are the clouds of any other.
TEST(ScanCloud, SameBytesForTheSameArguments) {
  const std::string test = cloud_text(CloudKind::test, 1000, 12);
  EXPECT_EQ(fnv1a(test), 0x73671c693f595b9dULL) << test.substr(0, 200);
  EXPECT_EQ(fnv1a(cloud_text(CloudKind::reference, 1000, 11)), 0xd18bba6752415f2aULL);
  EXPECT_EQ(test, cloud_text(CloudKind::test, 1000, 12));
  EXPECT_NE(test, cloud_text(CloudKind::test, 1000, 13));
}

TEST(ScanCloud, EmitsExactlyTheCountAndTheReaderTakesEveryLine) {
  for (const std::int64_t count : {0, 1, 2, 7, 10, 999, 1001, 4097}) {
    const std::string text = cloud_text(CloudKind::test, count, 5);
    ptdelta::PointColumns cloud;
    ptdelta::ByteSource source(text.data(), text.size());
    ptdelta::PointAppender out(cloud, ptdelta::no_progress());
    ASSERT_EQ(ptdelta::read_text_cloud(source, out).failure, ptdelta::Failure::none);
    EXPECT_EQ(cloud.count, count) << "count=" << count;
  }
}

TEST(ScanCloud, ReliefNoiseBumpAndOutliersAsDescribed) {
  const Relief hills = make_relief();
  for (const CloudKind kind : {CloudKind::reference, CloudKind::test}) {
    const std::int64_t count = 40000;
    std::int64_t outliers = 0;
    double noise_square_sum = 0.0;
    std::string text = cloud_text(kind, count, 7);
    generate_scan_cloud(kind, count, 7, [&](const CloudPoint& p) {
      ASSERT_GT(p.x, -2.0);
      ASSERT_LT(p.x, patch_size + 2.0);
      ASSERT_GT(p.y, -2.0);
      ASSERT_LT(p.y, patch_size + 2.0);
      const double surface = relief_height(hills, p.x, p.y) + (kind == CloudKind::test ? test_bump(p.x, p.y) : 0.0);
      const double off = p.z - surface;
      if (p.outlier) {
        ++outliers;
        ASSERT_GE(std::fabs(off), outlier_min_offset - 0.6);
        ASSERT_LE(std::fabs(off), outlier_min_offset + outlier_offset_span + 0.6);
      } else {
        ASSERT_LE(std::fabs(off), 6.0 * noise_sigma);  // the normal's tails end at 6 sigma
        noise_square_sum += off * off;
      }
    });
    const double sigma = std::sqrt(noise_square_sum / static_cast<double>(count - outliers));
    EXPECT_NEAR(sigma, noise_sigma, 0.005);
    if (kind == CloudKind::reference) EXPECT_EQ(outliers, 0);
    else EXPECT_NEAR(static_cast<double>(outliers) / static_cast<double>(count), outlier_share, 0.002);
    const double bytes_per_line = static_cast<double>(text.size()) / static_cast<double>(count);
    EXPECT_GT(bytes_per_line, 21.0);
    EXPECT_LT(bytes_per_line, 27.0);
  }
  EXPECT_DOUBLE_EQ(test_bump(test_bump_x, test_bump_y), test_bump_height);
  EXPECT_EQ(test_bump(test_bump_x + test_bump_radius, test_bump_y), 0.0);
}

}  // namespace
