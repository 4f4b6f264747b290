// laz_blocks.h - predictors shared by the point items: medians, return maps, the GPS time sequences
// Each is a small state with an exact update rule; the time predictor has a decoder and an encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "input/laz_coder.h"

namespace ptdelta::laz {

// ---- item bytes (little-endian) ----

inline std::uint32_t get16(const std::uint8_t* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
inline std::uint32_t get32(const std::uint8_t* p) { return get16(p) | get16(p + 2) << 16; }
inline std::uint64_t get64(const std::uint8_t* p) { return std::uint64_t{get32(p)} | std::uint64_t{get32(p + 4)} << 32; }
inline void put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}
inline void put64(std::uint8_t* p, std::uint64_t v) {
  put32(p, static_cast<std::uint32_t>(v));
  put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// ---- byte arithmetic ----

// A byte plus a coded byte difference, modulo 256.
inline std::uint8_t fold8(std::uint32_t a, std::uint32_t b) { return static_cast<std::uint8_t>(a + b); }
inline std::uint32_t clamp8(std::int32_t v) { return v < 0 ? 0U : v > 255 ? 255U : static_cast<std::uint32_t>(v); }
// Division by two truncating toward zero (floor division would give other colours).
inline std::int32_t half(std::int32_t v) { return v / 2; }
// a + b, wrapping at 32 bits.
inline std::int32_t wrap_add32(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_sub32(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// `count` symbol models of `symbols` symbols, each made fresh when first used: an item with 256
// models per previous byte value touches only the few its data needs, at every chunk start.
class LazySymbolModels {
 public:
  LazySymbolModels(std::uint32_t count, std::uint32_t symbols) : symbols_(symbols), models_(count) {}
  SymbolModel& operator[](std::size_t i) {
    std::optional<SymbolModel>& m = models_[i];
    if (!m) m.emplace(symbols_);
    return *m;
  }

 private:
  std::uint32_t symbols_;
  std::vector<std::optional<SymbolModel>> models_;
};

// ---- medians ----

inline std::int32_t median3(std::int32_t a, std::int32_t b, std::int32_t c) {
  if (a > b) {
    const std::int32_t t = a;
    a = b;
    b = t;
  }
  // Now a <= b: the median is b, a, or c.
  if (c >= b) return b;
  return c >= a ? c : a;
}

// Five values kept sorted and a flag; the prediction is the middle one. Adding a value drops the
// highest or the lowest by the flag (not the oldest), so this is not the median of the last five.
struct RunningMedian5 {
  std::int32_t v[5] = {0, 0, 0, 0, 0};
  bool drop_high = true;

  std::int32_t get() const { return v[2]; }
  void add(std::int32_t a) {
    const std::int32_t old_middle = v[2];
    if (drop_high) {
      int pos = 4;  // v[4] leaves; a moves down to its place
      while (pos > 0 && v[pos - 1] > a) {
        v[pos] = v[pos - 1];
        --pos;
      }
      v[pos] = a;
      if (a >= old_middle) drop_high = false;
    } else {
      int pos = 0;  // v[0] leaves; a moves up to its place
      while (pos < 4 && v[pos + 1] < a) {
        v[pos] = v[pos + 1];
        ++pos;
      }
      v[pos] = a;
      if (a <= old_middle) drop_high = true;
    }
  }
};

// ---- return map and level ----

// Row: number of returns n, column: return number r (3 bits each).
inline constexpr std::uint8_t return_map10[8][8] = {
    {15, 14, 13, 12, 11, 10, 9, 8},  {14, 0, 1, 3, 6, 10, 10, 9},     {13, 1, 2, 4, 7, 11, 11, 10},
    {12, 3, 4, 5, 8, 12, 12, 11},    {11, 6, 7, 8, 9, 13, 13, 12},    {10, 10, 11, 12, 13, 14, 14, 13},
    {9, 10, 11, 12, 13, 14, 15, 14}, {8, 9, 10, 11, 12, 13, 14, 15},
};

// Row: number of returns n, column: return number r (4 bits each); values 0 .. 5.
inline constexpr std::uint8_t return_map14[16][16] = {
    {0, 1, 2, 3, 4, 5, 3, 4, 4, 5, 5, 5, 5, 5, 5, 5}, {1, 0, 1, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3},
    {2, 1, 2, 4, 4, 4, 4, 4, 4, 4, 4, 3, 3, 3, 3, 3}, {3, 3, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4},
    {3, 3, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {4, 3, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4, 4},
    {4, 3, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4, 4}, {5, 3, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4, 4},
    {5, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 4, 4, 4, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 4, 4, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4, 4}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 4},
    {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5}, {5, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5},
};

// |n - r| for 3-bit fields (0 .. 7).
inline std::uint32_t return_level10(std::uint32_t n, std::uint32_t r) { return n >= r ? n - r : r - n; }

// min(|n - r|, 7) for 4-bit fields.
inline std::uint32_t return_level14(std::uint32_t n, std::uint32_t r) {
  const std::uint32_t l = n >= r ? n - r : r - n;
  return l < 7 ? l : 7;
}

// ---- GPS time sequences ----

// Two variants of the same predictor: the pointwise time item (with an "unchanged" symbol in
// both modes) and the layered point (no such symbol: every code shifts down by one).
enum class GpsVariant { pointwise, layered };

// Up to four interleaved time sequences, each with its time, its regular step and a count of
// outlying steps seen since the step was last replaced. Times are the doubles' bit patterns.
struct GpsSequences {
  std::uint64_t time[4] = {0, 0, 0, 0};
  std::int32_t step[4] = {0, 0, 0, 0};
  std::uint32_t outliers[4] = {0, 0, 0, 0};
  std::uint32_t cur = 0, newest = 0;

  explicit GpsSequences(std::uint64_t seed) { time[0] = seed; }
  // Three outlying steps in a row are tolerated; the fourth becomes the new regular step.
  void jump(std::int32_t d) {
    if (++outliers[cur] > 3) {
      step[cur] = d;
      outliers[cur] = 0;
    }
  }
  // time += d, sign-extended and wrapping at 64 bits.
  void advance(std::int32_t d) {
    time[cur] += static_cast<std::uint64_t>(static_cast<std::int64_t>(d));
  }
};

// The step code's multiplier branches share one table of contexts: code s (2 .. 510) predicts
// from a multiple of the regular step.
struct GpsStepCode {
  std::int32_t factor;
  std::uint32_t context;
  bool outlying;  // counts as a jump
};

inline GpsStepCode gps_step_code(std::uint32_t s) {
  if (s == 0) return {0, 7, true};
  if (s == 1) return {1, 1, false};
  if (s < 10) return {static_cast<std::int32_t>(s), 2, false};
  if (s < 500) return {static_cast<std::int32_t>(s), 3, false};
  if (s == 500) return {500, 4, true};
  if (s < 510) return {500 - static_cast<std::int32_t>(s), 5, false};
  return {-10, 6, true};
}

// wrap32(factor * step) without signed overflow.
inline std::int32_t gps_times(std::int32_t factor, std::int32_t step) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(factor) * static_cast<std::uint32_t>(step));
}

class GpsTimeDecoder {
 public:
  GpsTimeDecoder(GpsVariant variant, std::uint64_t seed)
      : seq_(seed), variant_(variant), ic_(32, 9), steps_(variant == GpsVariant::pointwise ? 516 : 515),
        restarts_(variant == GpsVariant::pointwise ? 6 : 5) {}

  std::uint64_t decode(ArithmeticDecoder& stream) {
    ArithmeticDecoder dec = stream;  // a local copy stays in registers (see ArithmeticDecoder)
    // One offset per variant: the layered codes are the pointwise ones minus one.
    const std::uint32_t unchanged_code = variant_ == GpsVariant::pointwise ? 1 : 0;
    // A valid stream switches sequences a few times at most; a damaged one must not loop.
    for (int attempt = 0; attempt < 8; ++attempt) {
      const std::uint32_t c = seq_.cur;
      if (seq_.step[c] == 0) {
        const std::uint32_t s = dec.decode_symbol(restarts_) + 1 - unchanged_code;  // pointwise 0 = unchanged
        if (s == 0) break;
        if (s == 1) {
          const std::int32_t d = ic_.decompress(dec, 0, 0);
          seq_.step[c] = d;
          seq_.advance(d);
          seq_.outliers[c] = 0;
          break;
        }
        if (s == 2) {
          open(dec);
          break;
        }
        seq_.cur = (c + s - 2) & 3;
        continue;
      }
      const std::uint32_t s = dec.decode_symbol(steps_);
      if (s <= 510) {
        const GpsStepCode code = gps_step_code(s);
        const std::int32_t pred = s == 1 ? seq_.step[c] : s == 0 ? 0 : gps_times(code.factor, seq_.step[c]);
        const std::int32_t d = ic_.decompress(dec, pred, code.context);
        seq_.advance(d);
        if (s == 1) seq_.outliers[c] = 0;
        if (code.outlying) seq_.jump(d);
        break;
      }
      const std::uint32_t t = s + 1 - unchanged_code;  // pointwise 511 = unchanged, 512 = open, then switches
      if (t == 511) break;
      if (t == 512) {
        open(dec);
        break;
      }
      seq_.cur = (c + t - 512) & 3;
    }
    stream = dec;
    return seq_.time[seq_.cur];
  }

  const GpsSequences& sequences() const { return seq_; }

 private:
  void open(ArithmeticDecoder& dec) {
    seq_.newest = (seq_.newest + 1) & 3;
    const auto high_pred = static_cast<std::int32_t>(static_cast<std::uint32_t>(seq_.time[seq_.cur] >> 32));
    const auto high = static_cast<std::uint32_t>(ic_.decompress(dec, high_pred, 8));
    const std::uint64_t low = dec.read_u32();
    seq_.cur = seq_.newest;
    seq_.time[seq_.cur] = (std::uint64_t{high} << 32) | low;
    seq_.step[seq_.cur] = 0;
    seq_.outliers[seq_.cur] = 0;
  }

  GpsSequences seq_;
  GpsVariant variant_;
  IntegerDecompressor ic_;
  SymbolModel steps_, restarts_;
};

class GpsTimeEncoder {
 public:
  GpsTimeEncoder(GpsVariant variant, std::uint64_t seed)
      : seq_(seed), variant_(variant), ic_(32, 9), steps_(variant == GpsVariant::pointwise ? 516 : 515),
        restarts_(variant == GpsVariant::pointwise ? 6 : 5) {}

  // Codes `t` so that the decoder's sequences end exactly as this encoder's.
  void encode(ArithmeticEncoder& enc, std::uint64_t t) {
    const std::uint32_t unchanged_code = variant_ == GpsVariant::pointwise ? 1 : 0;
    for (;;) {
      const std::uint32_t c = seq_.cur;
      const std::uint64_t wide = t - seq_.time[c];  // the difference, wrapping at 64 bits
      const bool fits = fits32(wide);
      const auto diff = static_cast<std::int32_t>(static_cast<std::uint32_t>(wide));
      if (seq_.step[c] == 0) {
        if (fits && (diff != 0 || unchanged_code == 0)) {  // the layered variant has no "unchanged" code
          enc.encode_symbol(restarts_, unchanged_code);
          ic_.compress(enc, 0, diff, 0);
          seq_.step[c] = diff;
          seq_.advance(diff);
          seq_.outliers[c] = 0;
          return;
        }
        if (fits) {
          enc.encode_symbol(restarts_, 0);
          return;
        }
        const std::uint32_t other = close_sequence(t);
        if (other != 0) {
          enc.encode_symbol(restarts_, other + 1 + unchanged_code);
          seq_.cur = (c + other) & 3;
          continue;
        }
        enc.encode_symbol(restarts_, 1 + unchanged_code);
        open(enc, t);
        return;
      }
      if (fits) {
        if (diff == 0 && unchanged_code == 1) {
          enc.encode_symbol(steps_, 511);
          return;
        }
        const std::uint32_t s = step_code(diff, seq_.step[c]);
        const GpsStepCode code = gps_step_code(s);
        const std::int32_t pred = s == 1 ? seq_.step[c] : s == 0 ? 0 : gps_times(code.factor, seq_.step[c]);
        enc.encode_symbol(steps_, s);
        ic_.compress(enc, pred, diff, code.context);
        seq_.advance(diff);
        if (s == 1) seq_.outliers[c] = 0;
        if (code.outlying) seq_.jump(diff);
        return;
      }
      const std::uint32_t other = close_sequence(t);
      if (other != 0) {
        enc.encode_symbol(steps_, 511 + unchanged_code + other);
        seq_.cur = (c + other) & 3;
        continue;
      }
      enc.encode_symbol(steps_, 511 + unchanged_code);
      open(enc, t);
      return;
    }
  }

  const GpsSequences& sequences() const { return seq_; }

 private:
  static bool fits32(std::uint64_t wide) {
    const auto d = static_cast<std::int64_t>(wide);
    return d >= INT32_MIN && d <= INT32_MAX;
  }
  // The offset (1 .. 3) of another sequence `t` lies within a 32-bit difference of, or 0.
  std::uint32_t close_sequence(std::uint64_t t) const {
    for (std::uint32_t k = 1; k < 4; ++k) {
      if (fits32(t - seq_.time[(seq_.cur + k) & 3])) return k;
    }
    return 0;
  }
  // The step code whose multiple of `step` is nearest below `diff` in size.
  static std::uint32_t step_code(std::int32_t diff, std::int32_t step) {
    const std::int64_t m = std::int64_t{diff} / std::int64_t{step};
    if (m == 1) return 1;
    if (m == 0) return 0;
    if (m >= 500) return 500;
    if (m > 1) return static_cast<std::uint32_t>(m);
    if (m >= -9) return static_cast<std::uint32_t>(500 - m);
    return 510;
  }
  void open(ArithmeticEncoder& enc, std::uint64_t t) {
    seq_.newest = (seq_.newest + 1) & 3;
    const auto high_pred = static_cast<std::int32_t>(static_cast<std::uint32_t>(seq_.time[seq_.cur] >> 32));
    ic_.compress(enc, high_pred, static_cast<std::int32_t>(static_cast<std::uint32_t>(t >> 32)), 8);
    enc.write_u32(static_cast<std::uint32_t>(t));
    seq_.cur = seq_.newest;
    seq_.time[seq_.cur] = t;
    seq_.step[seq_.cur] = 0;
    seq_.outliers[seq_.cur] = 0;
  }

  GpsSequences seq_;
  GpsVariant variant_;
  IntegerCompressor ic_;
  SymbolModel steps_, restarts_;
};

}  // namespace ptdelta::laz
