// The shared predictors: median rules with their worked examples, and the GPS time sequences of
// both variants, whose encoder must leave the decoder's state equal after every time.
#include "input/laz_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ptdelta::laz {
namespace {

TEST(LazBlocks, Medians) {
  const std::int32_t triples[][4] = {{1, 2, 3, 2}, {3, 2, 1, 2}, {2, 3, 1, 2}, {5, 5, 1, 5},
                                     {-7, 9, 0, 0}, {INT32_MIN, INT32_MAX, 0, 0}, {4, 4, 4, 4}};
  for (const auto& t : triples) EXPECT_EQ(median3(t[0], t[1], t[2]), t[3]) << t[0] << " " << t[1] << " " << t[2];

  struct Step {
    std::int32_t add, prediction;
    bool drop_high;
  };
  // From fresh: 10, 10, 10 (the worked example), then lower values flip the flag back.
  const Step steps[] = {{10, 0, false}, {10, 0, false}, {10, 10, false}, {-5, 10, true},
                        {20, 10, false}, {3, 10, true}, {3, 3, true}};
  RunningMedian5 m;
  EXPECT_EQ(m.get(), 0);
  for (const Step& s : steps) {
    m.add(s.add);
    EXPECT_EQ(m.get(), s.prediction) << "after " << s.add;
    EXPECT_EQ(m.drop_high, s.drop_high) << "after " << s.add;
    for (int i = 0; i < 4; ++i) EXPECT_LE(m.v[i], m.v[i + 1]);
  }
}

TEST(LazBlocks, ReturnMapsAndLevels) {
  EXPECT_EQ(return_map10[1][1], 0);  // single return
  EXPECT_EQ(return_map10[7][7], 15);
  EXPECT_EQ(return_level10(2, 7), 5U);
  EXPECT_EQ(return_map14[15][15], 5);
  EXPECT_EQ(return_map14[2][11], 3);
  EXPECT_EQ(return_level14(15, 0), 7U);
  EXPECT_EQ(return_level14(3, 9), 6U);
  for (const auto& row : return_map14) {
    for (std::uint8_t v : row) EXPECT_LE(v, 5);
  }
}

TEST(LazBlocks, GpsTimesRoundTripInBothVariants) {
  // Times as bit patterns: repeats, regular steps, multiples and negative multiples of the
  // step, outliers that replace the step after four, interleaved sequences 2^32 apart (switch
  // and open), wrap-around at 2^64, and more sequences than the four slots.
  std::vector<std::uint64_t> times;
  std::uint64_t t = 0x41C0000000000000ULL, u = t + (5ULL << 32);
  for (int i = 0; i < 30; ++i) times.push_back(t += 1000);
  for (std::uint64_t f : {0ULL, 1ULL, 2ULL, 9ULL, 10ULL, 499ULL, 500ULL, 800ULL}) times.push_back(t += f * 1000);
  for (std::uint64_t f : {1ULL, 5ULL, 9ULL, 10ULL, 50ULL}) times.push_back(t -= f * 1000);
  for (int i = 0; i < 6; ++i) times.push_back(t += 3);
  for (int i = 0; i < 20; ++i) times.push_back(i % 2 ? (t += 1000) : (u += 77));
  for (std::uint64_t k = 1; k <= 6; ++k) times.push_back(t + (k << 40));
  times.push_back(0xFFFFFFFFFFFFFFF0ULL);
  times.push_back(0x10);  // wraps forward past 2^64
  times.push_back(0x10);
  times.push_back(0);
  for (int i = 0; i < 300; ++i) times.push_back(t += 1000 + static_cast<std::uint64_t>(i % 7));

  for (GpsVariant v : {GpsVariant::pointwise, GpsVariant::layered}) {
    GpsTimeEncoder enc(v, 0x41C0000000000000ULL);
    ArithmeticEncoder ae;
    std::vector<GpsSequences> states;
    for (std::uint64_t x : times) {
      enc.encode(ae, x);
      states.push_back(enc.sequences());
    }
    const std::vector<std::uint8_t> bytes = ae.finish();
    GpsTimeDecoder dec(v, 0x41C0000000000000ULL);
    ArithmeticDecoder ad(bytes.data(), bytes.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
      ASSERT_EQ(dec.decode(ad), times[i]) << "time " << i;
      const GpsSequences& a = dec.sequences();
      const GpsSequences& b = states[i];
      ASSERT_EQ(a.cur, b.cur) << i;
      for (int j = 0; j < 4; ++j) {
        ASSERT_EQ(a.time[j], b.time[j]) << i;
        ASSERT_EQ(a.step[j], b.step[j]) << i;
        ASSERT_EQ(a.outliers[j], b.outliers[j]) << i;
      }
    }
    EXPECT_EQ(ad.consumed(), bytes.size());
    EXPECT_FALSE(ad.overrun());
  }
}

}  // namespace
}  // namespace ptdelta::laz
