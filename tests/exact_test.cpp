#include "core/exact.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "support/clouds.h"

namespace ptdelta {
namespace {

// The value as computed, widened without rounding: a step that lost its
// rounding to float shows here, not only in a float it might be stored in.
template <class T>
double widen(T value) {
  return static_cast<double>(value);
}

struct Case {
  const char* rounding;
  double got;
  double expected;  // worked out apart from this code (Python, float32 through struct)
};

// Each input is one where the rounding named changes the result: without it
// the bits differ (for a step inside a function, in the function's result).
TEST(ExactArithmetic, EverySinglePrecisionRoundingIsPinned) {
  const PlaneCoefficients plane{-0x1.73e556p+2f, -0x1.6c2f22p+2f, 0x1.34bfep+3f, 0x1.dcae94p+2f};
  const float qx = -0x1.0db07cp+2f, qy = 0x1.27588ep+3f, qz = 0x1.91a5f8p-1f;
  const PointColumns ref = testing::make_cloud({{-0x1.446304p+2f, 0x1.c01c78p-1f, 0x1.7a9432p+0f}});
  const PointColumns test = testing::make_cloud({{-0x1.379b6p+3f, -0x1.6a95fap+2f, -0x1.1a4338p+2f}});
  // Each of A, B, C and D is a determinant rounded to float once.
  const PlaneCoefficients through = plane_through(-0x1.e7a224p-1f, 0x1.3208dcp+0f, 0x1.0f7eaap+3f, -0x1.5fbe48p-1f,
                                                  0x1.412db6p-3f, 0x1.bf690ap+0f, -0x1.93a28p+2f, 0x1.e7c722p-3f,
                                                  0x1.4c7ffp+1f);
  const Case cases[] = {
      // h = float(sqrt(float(m * m * 3))): the product, then the root.
      {"box half-width", widen(derive_box_half_width(0x1.f5569p+4f)), 0x1.b22beap+5},
      // float(sqrt(float(s))): the squared distance, then the root.
      {"point distance", widen(point_distance(ref.x[0], ref.y[0], ref.z[0], test.x[0], test.y[0], test.z[0])),
       0x1.3ed1b2p+3},
      {"point distance of the clouds", widen(point_distance(ref, 0, test, 0)), 0x1.3ed1b2p+3},
      // The same pair as the index forms it: the squared distance in double, then both roundings.
      {"squared distance", squared_distance(ref.x[0], ref.y[0], ref.z[0], test.x[0], test.y[0], test.z[0]),
       0x1.8d0d9f0f2ded5p+6},
      {"distance of a squared distance", widen(distance_of_squared(0x1.8d0d9f0f2ded5p+6)), 0x1.3ed1b2p+3},
      {"det3", widen(det3(0x1.0a7606p+3f, 0x1.5420eap+2f, -0x1.b3b4e4p+2f, 0x1.7c592p+2f, -0x1.ce60b2p+2f,
                          0x1.2cadbp+1f, -0x1.ddd332p+2f, -0x1.3edd34p+3f, 0x1.db65e8p+2f)),
       0x1.7d31cap+7},
      {"plane A", widen(through.a), -0x1.56d292p-2},
      {"plane B", widen(through.b), 0x1.2d0ed6p+5},
      {"plane C", widen(through.c), -0x1.742d1cp+2},
      {"plane D", widen(through.d), 0x1.0205cep+2},
      {"plane numerator", widen(plane_numerator(plane, qx, qy, qz)), 0x1.a084c8p+3},
      // float(sqrt(float(A*A + B*B + C*C))): the sum, then the root.
      {"plane norm", widen(plane_norm(plane)), 0x1.93ceb0p+3},
      {"plane quotient", widen(plane_quotient(0x1.a084c8p+3f, 0x1.93ceb0p+3f)), 0x1.080efcp+0},
      {"running sum", widen(add_rounded(0x1.52ea4ep+9f, widen(0x1.061e26p+1f))), 0x1.53f06cp+9},
      {"count", widen(rounded_count(16777217)), 0x1p+24},
      {"mean quotient", widen(rounded_quotient(0x1.d67ceep+9f, 0x1.63p+9f)), 0x1.53481p+0},
      // float(sqrt(float(sum / n))): the quotient, then the root.
      {"root of the mean", widen(root_of_mean(0x1.07cfdcp+8f, 0x1.56p+8f)), 0x1.c1ae3ap-1},
      // The deviation rounds to float before it is squared in double.
      {"deviation term", squared_deviation(0x1.f71872p+0f, 0x1.e3abdap+2f), 0x1.f45a921979040p+4},
      {"mean + std", widen(mean_plus_std(0x1.297d5ep+3f, 0x1.2d743cp+3f)), 0x1.2b78ccp+4},
      // maxdist is the option's double rounded once (0.1 is not 0.1f widened twice).
      {"maxdist", widen(rounded_maxdist(0.1)), 0x1.99999ap-4},
      // |d| and d * d are formed in double from the float: no rounding of the square.
      {"absolute term", absolute_term(-0x1.fffffep+0f), 0x1.fffffep+0},
      {"square term", square_term(0x1.fffffep+0f), 0x1.fffffc000002p+1},
      // 512 / distance_max in double, then rounded: 512 / 3 = 170.666..., to float.
      {"colour scale", widen(colour_scale_of(3.0f)), 0x1.555556p+7},
      // v = d * scale in double, truncated: 1.5 * 170.66667 = 256.0000076 gives 256; 0.99999994 * 170.66667 gives 170.
      {"ramp position", static_cast<double>(ramp_position(1.5f, colour_scale_of(3.0f))), 256.0},
      {"ramp position below", static_cast<double>(ramp_position(0x1.fffffep-1f, colour_scale_of(3.0f))), 170.0},
      {"ramp position of 0 with an infinite scale", static_cast<double>(ramp_position(0.0f, colour_scale_of(0.0f))), 0.0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.rounding;
}

}  // namespace
}  // namespace ptdelta
