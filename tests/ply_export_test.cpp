#include "report/ply_export.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "core/exact.h"
#include "report/fixed_format.h"

namespace ptdelta {
namespace {

std::string line(float x, float y, float z, Rgb c, float d) {
  char buffer[vertex_line_max_chars];
  return std::string(buffer, format_vertex_line(buffer, x, y, z, c, d));
}

TEST(Export, WorkedExampleToThePrintedCharacter) {
  const float scale = colour_scale_of(3.0f);
  EXPECT_EQ(scale, 170.66667f);
  const Rgb one = ramp_colour(1.0f, scale), two = ramp_colour(2.0f, scale), out = ramp_colour(-1.0f, scale);
  EXPECT_EQ(line(0.5f, 1.25f, -2.0f, one, 1.0f), "0.50000 1.25000 -2.00000 170 255   0 1.00000\n");
  EXPECT_EQ(line(0.5f, 1.25f, -2.0f, two, 2.0f), "0.50000 1.25000 -2.00000 255 171   0 2.00000\n");
  EXPECT_EQ(line(0.5f, 1.25f, -2.0f, out, -1.0f), "0.50000 1.25000 -2.00000 255   0   0 -1.00000\n");
}

TEST(Export, RampEdgesAndZeroDistance) {
  const float scale = colour_scale_of(3.0f);
  const auto rgb = [](Rgb c) { return std::array<int, 3>{c.red, c.green, c.blue}; };
  EXPECT_EQ(rgb(ramp_colour(1.5f, scale)), (std::array<int, 3>{255, 255, 0}));  // v = 256
  EXPECT_EQ(rgb(ramp_colour(3.0f, scale)), (std::array<int, 3>{255, 0, 0}));    // v = 512
  // A point on the reference is green, also when every distance is 0.
  EXPECT_EQ(rgb(ramp_colour(0.0f, scale)), (std::array<int, 3>{0, 255, 0}));
  EXPECT_EQ(rgb(ramp_colour(0.0f, colour_scale_of(0.0f))), (std::array<int, 3>{0, 255, 0}));
  // Infinite scales or distances stay within 0..255 (no undefined conversion).
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(rgb(ramp_colour(inf, colour_scale_of(inf))), (std::array<int, 3>{255, 0, 0}));
  EXPECT_EQ(rgb(ramp_colour(1e-45f, colour_scale_of(1e-45f))), (std::array<int, 3>{255, 0, 0}));
  for (int v = 0; v <= 512; ++v) {
    const Rgb c = ramp_colour(static_cast<float>(v) / 512.0f * 3.0f, scale);
    ASSERT_TRUE(c.red >= 0 && c.red <= 255 && c.green >= 0 && c.green <= 255 && c.blue == 0) << v;
  }
}

TEST(Export, HeaderHasElevenLines) {
  EXPECT_EQ(ply_export_header(0),
            "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\n"
            "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n"
            "property float distance\nend_header\n");
}

// The fast formatting against printf itself over random float bits and the awkward values.
TEST(Export, VertexLineMatchesPrintfBitForBit) {
  std::mt19937 rng(12345);
  const float specials[] = {0.0f, -0.0f, 1e-6f, -4e-6f, 5e-6f, 0.000005f, 0.125f, 2.5e-5f, 1.000005f,
                            3.4028235e38f, -3.4028235e38f, std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(), 1e-45f, 123456.789f, -0.000004f};
  auto pick = [&](int i) -> float {
    if (i % 4 == 0) return specials[rng() % std::size(specials)];
    if (i % 4 == 1) {
      // Random bits, half of them with exponents where scans live (about 1e-6 to 1e11).
      const auto bits = static_cast<std::uint32_t>(rng());
      return std::bit_cast<float>((i & 8) ? bits : (bits & 0x807fffffu) | ((100u + bits % 60u) << 23));
    }
    // Values on or near five-decimal halfway points, where rounding is decided.
    const double k = static_cast<double>(rng() % 2000000) - 1000000.0;
    return static_cast<float>((k + 0.5) / 100000.0);
  };
  for (int i = 0; i < 200000; ++i) {
    const float x = pick(i), y = pick(i + 1), z = pick(i + 2), d = pick(i + 3);
    const Rgb c{static_cast<int>(rng() % 256), static_cast<int>(rng() % 256), static_cast<int>(rng() % 256)};
    char expected[512];
    const int n = std::snprintf(expected, sizeof expected, "%.5f %.5f %.5f %3d %3d %3d %.5f\n", static_cast<double>(x),
                                static_cast<double>(y), static_cast<double>(z), c.red, c.green, c.blue,
                                static_cast<double>(d));
    ASSERT_EQ(line(x, y, z, c, d), std::string(expected, static_cast<std::size_t>(n)))
        << "case " << i << " bits " << std::bit_cast<std::uint32_t>(x);
  }
}

// With a shift the coordinates are doubles (stored value widened, shift taken
// off): the line must be printf's "%.5f" of exactly those doubles.
TEST(Export, ShiftedVertexLineMatchesPrintfOfTheUnshiftedDoubles) {
  std::mt19937 rng(777);
  const double shifts[] = {-512000.0, -5412000.0, 0.0, 100000.0, -0.25, 1e300};
  for (int i = 0; i < 100000; ++i) {
    double xyz[3];
    for (double& v : xyz) {
      const float stored = (i % 3 == 0) ? std::bit_cast<float>(static_cast<std::uint32_t>(rng()))
                                        : static_cast<float>(static_cast<double>(rng() % 2000000) / 1024.0 - 1000.0);
      v = unshifted(stored, shifts[rng() % std::size(shifts)]);
    }
    const float d = static_cast<float>(rng() % 100000) / 4096.0f;
    char got[shifted_vertex_line_max_chars];
    const std::string ours(got, format_shifted_vertex_line(got, xyz[0], xyz[1], xyz[2], {1, 22, 255}, d));
    char expected[1200];
    const int n = std::snprintf(expected, sizeof expected, "%.5f %.5f %.5f %3d %3d %3d %.5f\n", xyz[0], xyz[1], xyz[2],
                                1, 22, 255, static_cast<double>(d));
    ASSERT_EQ(ours, std::string(expected, static_cast<std::size_t>(n))) << "case " << i;
  }
  // Every value shifts back exactly: a float near 345.678 plus 512000 is printed as the sum.
  EXPECT_EQ(unshifted(345.678f, -512000.0), 512000.0 + static_cast<double>(345.678f));
}

}  // namespace
}  // namespace ptdelta

namespace ptdelta {
namespace {

TEST(DivergingRamp, BlueThroughWhiteToRedSymmetricAtTheLargestMagnitude) {
  struct Case {
    float d, largest;
    Rgb expected;
  };
  const Case cases[] = {
      {0.71414f, 0.71414f, {255, 0, 0}},  {-0.71414f, 0.71414f, {0, 0, 255}}, {0.0f, 0.0f, {255, 255, 255}},
      {-0.0f, 2.0f, {255, 255, 255}},     {1.0f, 2.0f, {255, 128, 128}},      {-1.0f, 2.0f, {128, 128, 255}},
      {1e-30f, 2.0f, {255, 255, 255}},    {-2.0f, 2.0f, {0, 0, 255}},
  };
  for (const Case& c : cases) {
    const Rgb got = diverging_colour(c.d, c.largest);
    EXPECT_EQ(got.red, c.expected.red) << c.d;
    EXPECT_EQ(got.green, c.expected.green) << c.d;
    EXPECT_EQ(got.blue, c.expected.blue) << c.d;
  }
}

}  // namespace
}  // namespace ptdelta
