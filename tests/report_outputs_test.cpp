// The pieces of the JSON, HTML and binary PLY outputs: number and string encodings, the map, the PNG.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/ply_export.h"
#include "report/png_map.h"
#include "support/clouds.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

// A view encoded as PNG, then read back by libpng as RGB (empty when either fails).
struct Decoded {
  unsigned width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
};
Decoded decoded_png(const TopView& view) {
  Decoded d;
  std::vector<std::uint8_t> png;
  EXPECT_TRUE(encode_png(view, png));
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return d;
  image.format = PNG_FORMAT_RGB;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return d;
  d.width = image.width;
  d.height = image.height;
  d.rgb = std::move(pixels);
  return d;
}

TEST(ReportOutputs, JsonNumbersAndStrings) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::pair<float, const char*> numbers[] = {
      {0.0f, "0"},       {-0.0f, "-0"},           {5.0f, "5"},         {0.1f, "0.1"},
      {1e-5f, "1e-05"},  {0.21555859f, "0.21555859"}, {-10000.0f, "-10000"}, {3.4028235e38f, "3.4028235e+38"},
      {nan, "null"},     {-nan, "null"},          {inf, "null"},       {-inf, "null"},
  };
  for (const auto& [v, text] : numbers) EXPECT_EQ(json_number(v), text);
  EXPECT_EQ(json_number(0.35), "0.35");
  EXPECT_EQ(json_number(-512000.0), "-512000");

  const std::pair<std::string, std::string> strings[] = {
      {"plain.txt", "\"plain.txt\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {"tab\tline\n\x01\x7f", "\"tab\\tline\\n\\u0001\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},  // valid UTF-8 kept
      {"bad\xff\xc3", "\"bad\\u00ff\\u00c3\""},                  // a stray byte, a cut sequence
      {"\xc0\xaf\xed\xa0\x80", "\"\\u00c0\\u00af\\u00ed\\u00a0\\u0080\""},  // overlong form, a surrogate
  };
  for (const auto& [in, out] : strings) EXPECT_EQ(json_string(in), out);
}

TEST(ReportOutputs, Base64AndHtmlEscape) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}, {std::string("\xff\xfe\x00", 3), "//4A"}};
  for (const auto& [in, out] : vectors) EXPECT_EQ(base64_encode(std::vector<std::uint8_t>(in.begin(), in.end())), out);
  EXPECT_EQ(html_escape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&#39;");
}

PassResult pass_of(const std::vector<float>& cd, const std::vector<PointOutcome>& outcome) {
  PassResult p;
  p.cd = cd;
  p.outcome = outcome;
  return p;
}

constexpr auto accepted = PointOutcome::accepted;
constexpr auto outlier = PointOutcome::outlier;

TEST(ReportOutputs, TopViewTakesTheWidestAxesAndTheLargestDistancePerPixel) {
  // Wide along x and z, flat in y: x across, z up. Four corners, and two points
  // sharing the top-left pixel: there the accepted 2 wins over the outlier and the 1.
  const PointColumns cloud = testing::make_cloud(
      {{0, 5, 0}, {4, 5, 0}, {0, 5.1f, 2}, {4, 5, 2}, {0.001f, 5, 2}, {0.002f, 5, 1.999f}});
  const PassResult pass = pass_of({0, 4, 1, excluded_distance, 2, excluded_distance},
                                  {accepted, accepted, accepted, outlier, accepted, outlier});
  const TopView view = render_top_view(cloud, measure_extent(cloud), pass, 4.0f, 4);
  EXPECT_EQ(view.across_axis, 0);
  EXPECT_EQ(view.up_axis, 2);
  EXPECT_EQ(view.width, 4);
  EXPECT_EQ(view.height, 2);
  EXPECT_EQ(view.dot_radius, 0);  // sqrt(8 / 6) * 0.75 < 1
  const auto pixel = [&view](std::int32_t x, std::int32_t y) {
    const Rgb c = map_palette()[view.pixels[static_cast<std::size_t>(y) * 4 + static_cast<std::size_t>(x)]];
    return std::array<int, 3>{c.red, c.green, c.blue};
  };
  EXPECT_EQ(pixel(0, 1), (std::array<int, 3>{0, 255, 0}));      // bottom left: 0
  EXPECT_EQ(pixel(3, 1), (std::array<int, 3>{255, 0, 0}));      // bottom right: the largest, 4
  EXPECT_EQ(pixel(0, 0), (std::array<int, 3>{255, 255, 0}));    // top left: 2 of 4 is yellow
  EXPECT_EQ(pixel(3, 0), (std::array<int, 3>{160, 160, 160}));  // top right: an outlier alone
  EXPECT_EQ(pixel(1, 0), (std::array<int, 3>{255, 255, 255}));  // no point
  // The ramp in steps of 4 positions: 1 of 4 is position 128, 1.01 still 129, step 32 either way.
  EXPECT_EQ(map_colour(accepted, 1.0f, colour_scale_of(4.0f)).red, 128);
  EXPECT_EQ(map_colour(accepted, 1.01f, colour_scale_of(4.0f)).red, 128);
  EXPECT_EQ(ramp_colour(1.01f, colour_scale_of(4.0f)).red, 129);
  EXPECT_EQ(map_index(accepted, 1.0f, colour_scale_of(4.0f)), 2 + 32);
  EXPECT_EQ(map_index(accepted, 4.0f, colour_scale_of(4.0f)), 2 + 128);
  EXPECT_EQ(map_index(PointOutcome::rejected, 4.0f, colour_scale_of(4.0f)), map_excluded_index);

  // No finite point: no image.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const PointColumns not_finite = testing::make_cloud({{nan, 0, 0}, {0, 1, -std::numeric_limits<float>::infinity()}});
  const CloudExtent extent = measure_extent(not_finite);
  EXPECT_EQ(extent.finite_points, 0);
  EXPECT_EQ(render_top_view(not_finite, extent, pass_of({excluded_distance, excluded_distance}, {outlier, outlier}),
                            1.0f)
                .width,
            0);
  EXPECT_EQ(measure_extent(cloud).finite_points, 6);
  EXPECT_EQ(measure_extent(cloud).max, (std::array<double, 3>{4, static_cast<double>(5.1f), 2}));
}

TEST(ReportOutputs, SignedMapIndicesOrderBySignificanceThenLevelThenSign) {
  struct Case {
    const char* what;
    PointOutcome outcome;
    float d;
    bool not_significant;
    std::uint8_t index;
    Rgb colour;
  };
  constexpr auto too_few = PointOutcome::too_few;
  // Largest |d| 4: v = |d| * 255 / 4 truncated, level ceil(v / 4), drawn at min(4 level, 255).
  const Case cases[] = {
      {"rejected", too_few, no_signed_distance, false, signed_excluded_index, signed_excluded_colour},
      {"not significant, even at the largest |d|", accepted, -4, true, signed_not_significant_index,
       not_significant_colour},
      {"zero", accepted, 0, false, 3 + 1, {255, 255, 255}},
      {"minus zero is white on the positive side", accepted, -0.0f, false, 3 + 1, {255, 255, 255}},
      {"v 0 below 0, still level 0", accepted, -0.01f, false, 3, {255, 255, 255}},
      {"v 1: level 1", accepted, 0.02f, false, 3 + 2 + 1, {255, 251, 251}},
      {"v 4: still level 1", accepted, -0.0628f, false, 3 + 2, {251, 251, 255}},
      {"v 5: level 2", accepted, -0.08f, false, 3 + 4, {247, 247, 255}},
      {"v 127: level 32", accepted, 2, false, 3 + 64 + 1, {255, 127, 127}},
      {"the largest |d| below 0", accepted, -4, false, 3 + 128, {0, 0, 255}},
      {"the largest |d|", accepted, 4, false, 3 + 129, {255, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint8_t index = signed_map_index(c.outcome, c.d, c.not_significant, 4.0f);
    EXPECT_EQ(index, c.index);
    const Rgb colour = signed_map_palette()[index];
    EXPECT_EQ((std::array<int, 3>{colour.red, colour.green, colour.blue}),
              (std::array<int, 3>{c.colour.red, c.colour.green, c.colour.blue}));
  }
  EXPECT_EQ(signed_map_palette().size(), 133u);
  // The palette's levels are the export's own ramp at those positions (level 0, white, is above).
  for (std::int32_t level = 1; level < diverging_levels; ++level) {
    const float d = static_cast<float>(std::min(4 * level, 255));  // of largest 255: position d itself
    const Rgb below = signed_map_palette()[static_cast<std::size_t>(3 + 2 * level)];
    const Rgb above = signed_map_palette()[static_cast<std::size_t>(4 + 2 * level)];
    EXPECT_EQ(below.red, diverging_colour(-d, 255.0f).red) << level;
    EXPECT_EQ(above.green, diverging_colour(d, 255.0f).green) << level;
    EXPECT_EQ(signed_map_index(accepted, -d, false, 255.0f), 3 + 2 * level) << level;
  }
}

TEST(ReportOutputs, SignedTopViewKeepsTheLargestMagnitudeTiesToThePositive) {
  // Four pixels in a row, each pair of points on one pixel.
  const PointColumns cloud = testing::make_cloud({{0, 0, 0}, {0.1f, 0, 0}, {1, 0, 0}, {1.1f, 0, 0}, {2, 0, 0},
                                                  {2.1f, 0, 0}, {3.9f, 0, 0}, {3.95f, 0, 0}});
  PassResult pass = pass_of({-3, 2, 1.5f, -1.5f, -4, no_signed_distance, 0.5f, 4},
                            {accepted, accepted, accepted, accepted, accepted, PointOutcome::rejected, accepted, accepted});
  pass.is_signed = true;
  pass.method = Method::m3c2;
  pass.surface.resize(8);
  for (SurfaceMeasure& m : pass.surface) m.significant = true;
  pass.surface[7].significant = false;  // 4 within its LoD95 loses to the significant 0.5
  const TopView view = render_top_view(cloud, measure_extent(cloud), pass, 4.0f, 4);
  ASSERT_EQ(view.width, 4);
  ASSERT_EQ(view.height, 1);
  EXPECT_TRUE(view.diverging);
  const auto colour_at = [&view](std::size_t x) {
    const Rgb c = signed_map_palette()[view.pixels[x]];
    return std::array<int, 3>{c.red, c.green, c.blue};
  };
  EXPECT_EQ(colour_at(0), (std::array<int, 3>{63, 63, 255}));  // -3 over 2: v 191, level 48, position 192
  EXPECT_EQ(colour_at(1), (std::array<int, 3>{255, 159, 159}));  // 1.5 and -1.5: the positive (v 95, level 24)
  EXPECT_EQ(colour_at(2), (std::array<int, 3>{0, 0, 255}));    // -4 over a rejected point
  EXPECT_EQ(colour_at(3), (std::array<int, 3>{255, 223, 223}));  // 0.5: v 31, level 8
  // The same pixels whatever the order of the points.
  PointColumns reversed;
  PassResult back = pass;
  for (std::size_t i = 8; i-- > 0;) {
    (void)reversed.append(cloud.x[i], cloud.y[i], cloud.z[i]);
    back.cd[7 - i] = pass.cd[i];
    back.outcome[7 - i] = pass.outcome[i];
    back.surface[7 - i] = pass.surface[i];
  }
  EXPECT_EQ(render_top_view(reversed, measure_extent(reversed), back, 4.0f, 4).pixels, view.pixels);
  // And as a PNG, in the signed palette.
  EXPECT_EQ(decoded_png(view).rgb, (std::vector<std::uint8_t>{63, 63, 255, 255, 159, 159, 0, 0, 255, 255, 223, 223}));
}

TEST(ReportOutputs, PngDecodesToTheSamePixels) {
  TopView view;
  view.width = 3;
  view.height = 2;
  view.pixels = {0, 1, 2, 130, 66, 5};
  std::vector<std::uint8_t> rgb;
  for (const std::uint8_t index : view.pixels) {
    const Rgb c = map_palette()[index];
    rgb.insert(rgb.end(), {static_cast<std::uint8_t>(c.red), static_cast<std::uint8_t>(c.green),
                           static_cast<std::uint8_t>(c.blue)});
  }
  EXPECT_EQ(rgb, (std::vector<std::uint8_t>{255, 255, 255, 160, 160, 160, 0, 255, 0, 255, 0, 0, 255, 255, 0, 12, 255, 0}));
  const Decoded decoded = decoded_png(view);
  EXPECT_EQ(decoded.width, 3u);
  EXPECT_EQ(decoded.height, 2u);
  EXPECT_EQ(decoded.rgb, rgb);
}

TEST(ReportOutputs, BinaryPlyHeadersOfEachKindOfRun) {
  const std::string start = "ply\nformat binary_little_endian 1.0\nelement vertex 3\n";
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  const std::string colours_and_distance =
      "property uchar red\nproperty uchar green\nproperty uchar blue\nproperty float scalar_distance\n";
  const std::string normal = "property float nx\nproperty float ny\nproperty float nz\n";
  const std::string m3c2 = "property float scalar_lod95\nproperty uchar scalar_significant\n"
                           "property int scalar_n_reference\nproperty int scalar_n_test\n";
  EXPECT_EQ(binary_ply_header(3, false), start + xyz + colours_and_distance + "end_header\n");
  EXPECT_EQ(binary_ply_header(3, false, PlyExtras::normal), start + xyz + colours_and_distance + normal + "end_header\n");
  EXPECT_EQ(binary_ply_header(3, false, PlyExtras::m3c2),
            start + xyz + colours_and_distance + normal + m3c2 + "end_header\n");

  PassResult pass;
  EXPECT_EQ(ply_extras_of(pass), PlyExtras::none);
  pass.surface.resize(1);
  pass.method = Method::local_plane;  // unsigned, still with its normal
  EXPECT_EQ(ply_extras_of(pass), PlyExtras::normal);
  pass.method = Method::nearest_point;
  EXPECT_EQ(ply_extras_of(pass), PlyExtras::normal);
  pass.method = Method::m3c2;
  EXPECT_EQ(ply_extras_of(pass), PlyExtras::m3c2);
}

template <class T>
T little_endian_at(const std::string& bytes, std::size_t at) {
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);  // the tests run on little-endian machines
  return v;
}

TEST(ReportOutputs, ShiftedBinaryPlyHoldsDoublesInTheInputFrame) {
  testing::TempDir dir;
  // Stored (shifted) coordinates near the origin; the input's frame is 512000 further along x.
  const PointColumns cloud = testing::make_cloud({{0.25f, -1.5f, 2}, {1, 2, 3}});
  PassResult pass = pass_of({0.5f, excluded_distance}, {accepted, PointOutcome::rejected});
  pass.totals.distance_max = 0.5f;
  RunDescription what;
  what.shift = {-512000.0, 0.0, -100.0};
  const RunResult result(std::move(what), cloud, std::move(pass), false);
  OutputFile file;
  ASSERT_EQ(file.open(dir / "b.ply"), Failure::none);
  ASSERT_EQ(write_binary_ply(file, result), Failure::none);
  ASSERT_EQ(file.finish(), Failure::none);
  const std::string bytes = testing::read_file(dir / "b.ply");
  const std::string header = binary_ply_header(2, true);
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  EXPECT_NE(header.find("property double x\nproperty double y\nproperty double z\nproperty uchar red\n"),
            std::string::npos);
  ASSERT_EQ(bytes.size(), header.size() + 2 * 31);
  const std::size_t r0 = header.size(), r1 = r0 + 31;
  EXPECT_EQ(little_endian_at<double>(bytes, r0), 512000.25);
  EXPECT_EQ(little_endian_at<double>(bytes, r0 + 8), -1.5);
  EXPECT_EQ(little_endian_at<double>(bytes, r0 + 16), 102.0);
  EXPECT_EQ(bytes.substr(r0 + 24, 3), std::string("\xff\x00\x00", 3));  // the largest accepted distance: red
  EXPECT_EQ(little_endian_at<float>(bytes, r0 + 27), 0.5f);
  EXPECT_EQ(little_endian_at<double>(bytes, r1), 512001.0);
  EXPECT_EQ(bytes.substr(r1 + 24, 3), std::string("\xa0\xa0\xa0", 3));
  EXPECT_TRUE(std::isnan(little_endian_at<float>(bytes, r1 + 27)));
}

}  // namespace
}  // namespace ptdelta
