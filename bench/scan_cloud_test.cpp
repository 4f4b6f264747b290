// scan_cloud_test.cpp - the benchmark clouds: same bytes everywhere, the counts asked for, the shape promised
#include "scan_cloud.h"

#include <gtest/gtest.h>

#include <cstring>
#include <span>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/las_reader.h"
#include "input/laz_file.h"
#include "input/text_reader.h"
#include "las_forms.h"

namespace {

using namespace ptdelta::bench;

std::string cloud_text(CloudKind kind, std::int64_t count, std::uint64_t seed, double side = patch_size) {
  std::string text;
  generate_scan_cloud(
      kind, count, seed,
      [&](const CloudPoint& p) {
        char line[96];
        text.append(line, static_cast<std::size_t>(format_cloud_line(line, p)));
      },
      side);
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

// Larger squares keep the density and mirror the relief: no step where tiles meet.
TEST(ScanCloud, LargerSquaresKeepTheDensityAndAContinuousSurface) {
  EXPECT_EQ(side_for_points(patch_points), patch_size);  // area=1M is the plain 1M cloud
  EXPECT_EQ(cloud_text(CloudKind::test, 5000, 3, side_for_points(patch_points)), cloud_text(CloudKind::test, 5000, 3));
  EXPECT_NEAR(side_for_points(100 * patch_points), 10.0 * patch_size, 1e-9);
  const struct {
    double v, folded;
  } folds[] = {{0.0, 0.0}, {150.0, 150.0}, {200.0, 200.0}, {250.0, 150.0}, {400.0, 0.0}, {450.0, 50.0}, {-50.0, 50.0}};
  for (const auto& f : folds) EXPECT_EQ(fold_onto_patch(f.v), f.folded) << f.v;
  const Relief hills = make_relief();
  for (const double edge : {patch_size, 2.0 * patch_size, 3.0 * patch_size}) {
    const double below = fold_onto_patch(edge - 1e-6), above = fold_onto_patch(edge + 1e-6);
    EXPECT_NEAR(relief_height(hills, below, 70.0), relief_height(hills, above, 70.0), 1e-5) << edge;
  }
  // 40000 points on the square that holds 160000 at the bench density: 80 mm, a quarter as dense.
  double x_max = 0.0, y_max = 0.0;
  generate_scan_cloud(CloudKind::reference, 40000, 9, [&](const CloudPoint& p) {
    x_max = std::max(x_max, p.x);
    y_max = std::max(y_max, p.y);
  }, side_for_points(160000));
  EXPECT_NEAR(x_max, 0.4 * patch_size, 1.0);
  EXPECT_NEAR(y_max, 0.4 * patch_size, 1.0);
}

// The random order is a fixed permutation: every point once, the same order every time.
TEST(ScanCloud, ShuffleIsAFixedPermutation) {
  for (const std::size_t n : {0u, 1u, 2u, 3u, 1000u}) {
    std::vector<std::size_t> order(n), again(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = again[i] = i;
    shuffle_points(order, 7);
    shuffle_points(again, 7);
    EXPECT_EQ(order, again);
    std::vector<bool> seen(n, false);
    for (const std::size_t i : order) seen[i] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), static_cast<std::ptrdiff_t>(n));
    if (n == 1000) {
      std::size_t in_place = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (order[i] == i) ++in_place;
      }
      EXPECT_LT(in_place, 10u);  // about one fixed point expected
    }
  }
  Rng rng(1);
  for (const std::uint64_t n : {1ULL, 2ULL, 3ULL, 0x8000000000000001ULL}) {
    for (int i = 0; i < 100; ++i) ASSERT_LT(rng.below(n), n);
  }
}

// The LAS file of a test cloud in point format 0, 1 or 6, as make_clouds writes it.
std::vector<char> las_file(int point_format, std::int64_t count) {
  std::vector<char> las = las_header(point_format, static_cast<std::uint64_t>(count));
  ScannerFields fields;
  generate_scan_cloud(CloudKind::test, count, 41, [&](const CloudPoint& p) {
    char line[96];
    format_cloud_line(line, p);
    fields.append_line(las, point_format, line);
  });
  return las;
}

// The compressed forms give back the LAS form's records byte for byte, over more than one
// chunk; x y z are the same in every format, and in format 6 also when only they are decoded.
TEST(ScanCloud, CompressedFormsDecodeToTheirLasRecords) {
  const std::int64_t count = 50000 + 1234;  // a full chunk and a short one
  const std::vector<char> plain = las_file(0, count);
  for (const int format : {1, 6}) {
    const std::vector<char> las = las_file(format, count);
    ptdelta::LasHeader header;
    ASSERT_TRUE(ptdelta::parse_las_header(las.data(), las.size(), header)) << format;
    EXPECT_EQ(header.points, count);
    EXPECT_EQ(header.record_length, las_record_length(format));
    ASSERT_EQ(las.size(), header.point_data_offset + static_cast<std::size_t>(count) * header.record_length);
    const std::vector<char> laz = compress_las(las, format);
    const std::span<const std::uint8_t> file(reinterpret_cast<const std::uint8_t*>(laz.data()), laz.size());
    ptdelta::laz::LazLayout layout;
    std::vector<ptdelta::laz::LazChunk> chunks;
    ASSERT_EQ(ptdelta::laz::parse_laz_layout(file, layout), ptdelta::laz::LazRefusal::none) << format;
    EXPECT_EQ(layout.compressor, format == 6 ? ptdelta::laz::Compressor::layered_chunked
                                             : ptdelta::laz::Compressor::pointwise_chunked);
    ASSERT_EQ(ptdelta::laz::list_laz_chunks(file, layout, chunks), ptdelta::laz::TableFailure::none);
    ASSERT_EQ(chunks.size(), 2u);
    for (const ptdelta::laz::LayerSet wanted : {ptdelta::laz::all_layers, ptdelta::laz::xyz_layers}) {
      std::size_t point = 0;
      for (const ptdelta::laz::LazChunk& chunk : chunks) {
        std::vector<std::uint8_t> records(chunk.points * layout.record_length);
        ASSERT_EQ(ptdelta::laz::decode_laz_chunk(file, layout, chunk, wanted, records.data()),
                  ptdelta::laz::ChunkFailure::none);
        for (std::size_t i = 0; i < chunk.points; ++i, ++point) {
          const std::uint8_t* got = records.data() + i * layout.record_length;
          const char* want = las.data() + header.point_data_offset + point * header.record_length;
          const std::size_t compared = wanted == ptdelta::laz::all_layers ? header.record_length : 12;
          ASSERT_EQ(std::memcmp(got, want, compared), 0) << "format " << format << " point " << point;
          ASSERT_EQ(std::memcmp(got, plain.data() + 227 + point * 20, 12), 0) << "format " << format << " point " << point;
        }
      }
      EXPECT_EQ(point, static_cast<std::size_t>(count));
    }
  }
}

// The other fields look like a scanner's: a second return follows its first at the same time,
// time never falls and mostly rises, a few classes, one point source, a slowly drifting angle.
TEST(ScanCloud, ScannerFieldsAreScannerLike) {
  const std::int64_t count = 20000;
  for (const int format : {1, 6}) {
    const std::vector<char> las = las_file(format, count);
    const std::size_t length = las_record_length(format), at = format == 6 ? 375 : 227;
    std::int64_t pairs = 0, classes[256] = {}, angle_changes = 0;
    double last_time = -1.0;
    int last_angle = 0;
    for (std::int64_t i = 0; i < count; ++i) {
      const char* r = las.data() + at + static_cast<std::size_t>(i) * length;
      const auto byte = [&](std::size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(r[k])); };
      const unsigned number = format == 6 ? byte(14) & 15 : byte(14) & 7;
      const unsigned returns = format == 6 ? byte(14) >> 4 : (byte(14) >> 3) & 7;
      double time;
      std::memcpy(&time, r + (format == 6 ? 22 : 20), 8);
      ASSERT_TRUE((number == 1 && returns == 1) || (number == 1 && returns == 2) || (number == 2 && returns == 2)) << i;
      if (number == 2) {
        ++pairs;
        ASSERT_EQ(time, last_time) << i;
      } else {
        ASSERT_GT(time, last_time) << i;
      }
      last_time = time;
      ++classes[byte(format == 6 ? 16 : 15)];
      const int angle = format == 6 ? static_cast<std::int16_t>(byte(18) | byte(19) << 8) : static_cast<signed char>(r[16]);
      if (i > 0 && angle != last_angle) ++angle_changes;
      last_angle = angle;
      ASSERT_EQ(byte(format == 6 ? 20 : 18), 7u);  // the point source
    }
    EXPECT_GT(pairs, count / 20);
    EXPECT_LT(pairs, count / 5);
    EXPECT_GT(classes[2], classes[1]);
    EXPECT_GT(classes[5], 0);
    EXPECT_EQ(classes[1] + classes[2] + classes[5], count);
    EXPECT_GT(angle_changes, 0);
    EXPECT_LT(angle_changes, format == 6 ? count / 20 : 10);
  }
}

}  // namespace
