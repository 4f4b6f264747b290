// The arithmetic coder and the integer coders: known first steps, round trips of mixed streams
// with exact byte consumption, and hostile (truncated) streams that stop without reading beyond.
#include "input/laz_coder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/random_clouds.h"

namespace ptdelta::laz {
namespace {

using testing::Rng;

TEST(LazCoder, EmptyStreamAndFirstSteps) {
  ArithmeticEncoder enc;
  EXPECT_EQ(enc.finish(), (std::vector<std::uint8_t>{1, 0, 0, 0}));

  // A fresh bit model splits at 0x7FFFF000: just below decodes 0, at it decodes 1.
  const std::uint8_t below[] = {0x7F, 0xFF, 0xEF, 0xFF}, at[] = {0x7F, 0xFF, 0xF0, 0x00};
  BitModel m0, m1;
  ArithmeticDecoder d0(below, 4), d1(at, 4);
  EXPECT_EQ(d0.decode_bit(m0), 0U);
  EXPECT_EQ(d1.decode_bit(m1), 1U);

  // A fresh 4-symbol model has cum 0, 8192, 16384, 24576: with length 0xFFFFFFFF, q = 0x1FFFF,
  // so symbol 2 starts at 16384 * q.
  const std::uint32_t start2 = 16384U * 0x1FFFFU;
  const std::uint8_t s2[] = {static_cast<std::uint8_t>(start2 >> 24), static_cast<std::uint8_t>(start2 >> 16),
                             static_cast<std::uint8_t>(start2 >> 8), static_cast<std::uint8_t>(start2)};
  SymbolModel sm(4);
  ArithmeticDecoder ds(s2, 4);
  EXPECT_EQ(ds.decode_symbol(sm), 2U);
}

// One operation of a mixed stream, replayed identically by encoder and decoder.
enum class Op { bit, symbol, raw, u64, int8, int16, int32 };

TEST(LazCoder, MixedStreamsRoundTripAndEndExactly) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng{seed};
    const std::uint32_t steps = rng.below_u32(3000);
    const std::uint32_t symbols = 2 + rng.below_u32(seed % 3 == 0 ? 2047 : 300);
    struct Step {
      Op op;
      std::uint32_t a;  // bits, context
      std::int64_t v;   // value
      std::int32_t pred;
    };
    std::vector<Step> plan;
    for (std::uint32_t i = 0; i < steps; ++i) {
      const auto op = static_cast<Op>(rng.below_u32(7));
      Step s{op, 0, 0, 0};
      // Skewed values make the models adapt, rebuild and halve their counts.
      const bool skew = rng.below_u32(4) != 0;
      switch (op) {
        case Op::bit: s.v = skew ? 0 : rng.below_u32(2); break;
        case Op::symbol: s.v = skew ? rng.below_u32(3) : rng.below_u32(symbols); break;
        case Op::raw: s.a = 1 + rng.below_u32(32); s.v = static_cast<std::uint32_t>(rng.next()) >> (32 - s.a); break;
        case Op::u64: s.v = static_cast<std::int64_t>(rng.next()); break;
        case Op::int8: s.a = rng.below_u32(3); s.pred = static_cast<std::int32_t>(rng.below_u32(256)); s.v = rng.below_u32(256); break;
        case Op::int16: s.a = rng.below_u32(3); s.pred = static_cast<std::int32_t>(rng.below_u32(65536)); s.v = skew ? std::int64_t{s.pred} + 3 : std::int64_t{rng.below_u32(65536)};
          if (s.v > 65535) s.v -= 65536;
          break;
        case Op::int32: {
          s.a = rng.below_u32(3);
          s.pred = static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next()));
          const std::uint32_t pick = rng.below_u32(5);
          const std::int64_t real = pick == 0 ? s.pred : pick == 1 ? static_cast<std::int64_t>(s.pred) ^ 0x80000000LL
                                                       : static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next()));
          s.v = static_cast<std::int32_t>(static_cast<std::uint32_t>(real));
          break;
        }
      }
      plan.push_back(s);
    }
    BitModel eb;
    SymbolModel es(symbols);
    IntegerCompressor c8(8, 3), c16(16, 3), c32(32, 3);
    ArithmeticEncoder enc;
    for (const Step& s : plan) {
      switch (s.op) {
        case Op::bit: enc.encode_bit(eb, static_cast<std::uint32_t>(s.v)); break;
        case Op::symbol: enc.encode_symbol(es, static_cast<std::uint32_t>(s.v)); break;
        case Op::raw: enc.write_bits(s.a, static_cast<std::uint32_t>(s.v)); break;
        case Op::u64: enc.write_u64(static_cast<std::uint64_t>(s.v)); break;
        case Op::int8: c8.compress(enc, s.pred, static_cast<std::int32_t>(s.v), s.a); break;
        case Op::int16: c16.compress(enc, s.pred, static_cast<std::int32_t>(s.v), s.a); break;
        case Op::int32: c32.compress(enc, s.pred, static_cast<std::int32_t>(s.v), s.a); break;
      }
    }
    const std::vector<std::uint8_t> bytes = enc.finish();
    BitModel db;
    SymbolModel ds(symbols);
    IntegerDecompressor d8(8, 3), d16(16, 3), d32(32, 3);
    ArithmeticDecoder dec(bytes.data(), bytes.size());
    std::size_t i = 0;
    for (const Step& s : plan) {
      std::int64_t got = 0;
      switch (s.op) {
        case Op::bit: got = dec.decode_bit(db); break;
        case Op::symbol: got = dec.decode_symbol(ds); break;
        case Op::raw: got = dec.read_bits(s.a); break;
        case Op::u64: got = static_cast<std::int64_t>(dec.read_u64()); break;
        case Op::int8: got = d8.decompress(dec, s.pred, s.a); break;
        case Op::int16: got = d16.decompress(dec, s.pred, s.a); break;
        case Op::int32: got = d32.decompress(dec, s.pred, s.a); break;
      }
      ASSERT_EQ(got, s.v) << "seed " << seed << " step " << i;
      ++i;
    }
    EXPECT_EQ(d32.last_k(), c32.last_k()) << "seed " << seed;
    EXPECT_EQ(dec.consumed(), bytes.size()) << "seed " << seed;
    EXPECT_FALSE(dec.overrun()) << "seed " << seed;
  }
}

struct IntegerCase {
  std::uint32_t bits;
  std::int32_t pred, real;
  std::uint32_t k;  // the corrector's bit length
};

TEST(LazCoder, IntegerCorrectorsAtTheirLimits) {
  const IntegerCase cases[] = {
      {32, 0, 0, 0},           {32, 0, 1, 0},           {32, 0, -1, 1},          {32, 0, 2, 1},
      {32, 0, -5, 3},          {32, 0, 7, 3},           {32, 0, INT32_MIN, 32},  {32, 5, INT32_MIN + 5, 32},
      {32, INT32_MIN, INT32_MAX, 1},                    {32, INT32_MAX, INT32_MIN, 0},
      {32, 0, INT32_MAX, 31},  {32, -1, INT32_MAX, 32}, {16, 65530, 4, 4},       {16, 0, 32768, 16},
      {16, 0, 32767, 15},      {16, 65535, 0, 0},       {8, 0, 255, 1},          {8, 0, 128, 8},
  };
  for (const IntegerCase& c : cases) {
    IntegerCompressor ic(c.bits);
    ArithmeticEncoder enc;
    ic.compress(enc, c.pred, c.real);
    EXPECT_EQ(ic.last_k(), c.k) << c.bits << " " << c.pred << " " << c.real;
    const std::vector<std::uint8_t> bytes = enc.finish();
    IntegerDecompressor id(c.bits);
    ArithmeticDecoder dec(bytes.data(), bytes.size());
    EXPECT_EQ(id.decompress(dec, c.pred), c.real) << c.bits << " " << c.pred;
    EXPECT_EQ(id.last_k(), c.k);
    EXPECT_EQ(dec.consumed(), bytes.size());
  }
}

TEST(LazCoder, TruncatedStreamsStopAtTheirEnd) {
  Rng rng{99};
  IntegerCompressor ic(32, 2);
  ArithmeticEncoder enc;
  for (int i = 0; i < 500; ++i) ic.compress(enc, 0, static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next())), 1);
  const std::vector<std::uint8_t> bytes = enc.finish();
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, bytes.size() / 2, bytes.size() - 1}) {
    const std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    ArithmeticDecoder dec(part.data(), part.size());
    IntegerDecompressor id(32, 2);
    for (int i = 0; i < 500; ++i) (void)id.decompress(dec, 0, 1);
    EXPECT_TRUE(dec.overrun()) << cut;
  }
  // Garbage never loops or misbehaves: every byte value as a whole stream.
  for (std::uint32_t b = 0; b < 256; ++b) {
    const std::vector<std::uint8_t> junk(64, static_cast<std::uint8_t>(b));
    ArithmeticDecoder dec(junk.data(), junk.size());
    SymbolModel sm(300);
    IntegerDecompressor id(16, 1);
    for (int i = 0; i < 200; ++i) {
      EXPECT_LT(dec.decode_symbol(sm), 300U);
      const std::int32_t v = id.decompress(dec, 65535);
      EXPECT_TRUE(v >= 0 && v < 65536);
      EXPECT_LT(dec.read_bits(7), 128U);
    }
  }
}

}  // namespace
}  // namespace ptdelta::laz
