// laz_coder.h - the arithmetic coder of compressed LAS points: models, decoder, encoder, integer coders
// Every step is 32-bit unsigned integer arithmetic; the encoder is the decoder's exact inverse.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <vector>

namespace ptdelta::laz {

// Adaptive model of one bit. Fresh: n0 = 1, n = 2, p0 = 4096, period = countdown = 4.
class BitModel {
 public:
  BitModel() = default;

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;
  void adapt();
  std::uint32_t n0_ = 1, n_ = 2, p0_ = 4096, period_ = 4, countdown_ = 4;
};

// Adaptive model of `symbols` symbols (2 .. 2048; other values are clamped into that range).
// Holds its counts and cumulative frequencies in one allocation and, above 8 symbols, a table
// of cells that narrows the symbol search to a few entries, made at construction.
class SymbolModel {
 public:
  explicit SymbolModel(std::uint32_t symbols);
  std::uint32_t symbols() const { return symbols_; }

 private:
  friend class ArithmeticDecoder;
  friend class ArithmeticEncoder;
  void rebuild();
  // The largest s with cum[s] <= x (cum[0] = 0, so it exists), with cum[s] and cum[s + 1].
  struct Found {
    std::uint32_t symbol, low, next;
  };
  Found find(std::uint32_t x) const;
  // 16 bits suffice for every entry: cum[s] < 2^15, and a count stays below 2^15 + 8 * (2048 + 6)
  // between two halvings. Half the bytes keep more models in cache.
  using Entry = std::uint16_t;
  static constexpr Entry sentinel = 0xFFFF;  // cum[symbols]: above every x the search is given
  Entry* count() { return store_.data(); }
  Entry* cum() { return store_.data() + symbols_; }
  const Entry* cum() const { return store_.data() + symbols_; }

  std::uint32_t symbols_ = 0, total_ = 0, period_ = 0, countdown_ = 0;
  std::uint32_t table_shift_ = 0, table_last_ = 0;  // cells 0 .. table_last_ - 1 (none if 0)
  std::vector<Entry> store_;                        // count[S], cum[S + 1]
  // Cell j covers x in [j, j + 1) << shift: its symbol s (the largest with cum[s] <= j << shift)
  // in bits 0-15, cum[s] in 16-31, cum[s + 1] in 32-47, and the next cell's symbol in 48-63.
  // One load answers most searches, without waiting for a second one of the frequencies.
  std::vector<std::uint64_t> cells_;
};

// Decodes one arithmetic-coded stream held in [data, data + size). Reading past the end never
// happens: a decoder that wants bytes beyond `size` takes zero bytes instead and marks itself
// overrun() (a damaged stream), so a caller can stop at the end of a chunk and refuse it.
// A well-formed stream leaves consumed() == size and !overrun() after its last step.
// The hot items decode each point on a local copy (copied back at the end): a copy whose address
// never leaves the function keeps its state in registers, where the stores to the models'
// counts would otherwise force every step through memory.
class ArithmeticDecoder {
 public:
  ArithmeticDecoder() = default;                           // an empty, overrun stream
  ArithmeticDecoder(const std::uint8_t* data, std::size_t size);  // reads the first 4 bytes
  std::uint32_t decode_bit(BitModel& m);
  std::uint32_t decode_symbol(SymbolModel& m);
  std::uint32_t read_bits(std::uint32_t bits);  // raw(b), 1 <= b <= 32; the result has at most b bits
  std::uint32_t read_u32() { return read_bits(32); }
  std::uint64_t read_u64();                     // low word, then high word
  std::size_t consumed() const { return pos_; }  // bytes taken so far (beyond `size` once overrun)
  bool overrun() const { return overrun_; }

 private:
  std::uint32_t next_byte() {
    if (pos_ < size_) return data_[pos_++];
    ++pos_;
    overrun_ = true;
    return 0;
  }
  void renormalise() {
    while (length_ < (1U << 24)) {
      value_ = (value_ << 8) | next_byte();
      length_ <<= 8;
    }
  }
  std::uint32_t raw_short(std::uint32_t bits);  // 1 <= bits <= 19

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0, pos_ = 0;
  std::uint32_t value_ = 0, length_ = 0xFFFFFFFFU;
  bool overrun_ = true;
};

// Encodes one stream into a growing byte vector. finish() ends it so that a decoder, after its
// last step, has read exactly every byte; an empty stream is the four bytes 01 00 00 00.
class ArithmeticEncoder {
 public:
  ArithmeticEncoder() = default;
  void encode_bit(BitModel& m, std::uint32_t bit);
  void encode_symbol(SymbolModel& m, std::uint32_t symbol);  // symbol < m.symbols()
  void write_bits(std::uint32_t bits, std::uint32_t value);  // 1 <= bits <= 32, value < 2^bits
  void write_u32(std::uint32_t value) { write_bits(32, value); }
  void write_u64(std::uint64_t value);
  std::vector<std::uint8_t> finish();  // the stream's bytes; the encoder is then spent

 private:
  void add_to_base(std::uint32_t amount);  // base += amount, carrying into the bytes written
  void renormalise();
  void write_short(std::uint32_t bits, std::uint32_t value);  // 1 <= bits <= 19

  std::vector<std::uint8_t> out_;
  std::uint32_t base_ = 0, length_ = 0xFFFFFFFFU;
};

// The integer decompressor: a value as a prediction plus a corrector whose bit length k is
// coded per context and whose bits are coded by models shared between contexts.
// bits is 8, 16 or 32: results of 8 and 16 bits lie in [0, 2^bits), 32 bits wrap around.
class IntegerDecompressor {
 public:
  explicit IntegerDecompressor(std::uint32_t bits, std::uint32_t contexts = 1);
  std::int32_t decompress(ArithmeticDecoder& dec, std::int32_t prediction, std::uint32_t context = 0);
  std::uint32_t last_k() const { return last_k_; }

 private:
  std::uint32_t bits_;
  std::vector<SymbolModel> k_models_;      // one per context, bits + 1 symbols
  BitModel zero_;                          // the corrector when k = 0
  std::vector<SymbolModel> correctors_;    // index k - 1 for k = 1 .. bits, 2^min(k, 8) symbols
  std::uint32_t last_k_ = 0;
};

// The exact inverse of IntegerDecompressor with the same bits and contexts.
class IntegerCompressor {
 public:
  explicit IntegerCompressor(std::uint32_t bits, std::uint32_t contexts = 1);
  void compress(ArithmeticEncoder& enc, std::int32_t prediction, std::int32_t real, std::uint32_t context = 0);
  std::uint32_t last_k() const { return last_k_; }

 private:
  std::uint32_t bits_;
  std::vector<SymbolModel> k_models_;
  BitModel zero_;
  std::vector<SymbolModel> correctors_;
  std::uint32_t last_k_ = 0;
};

// ---- the hot steps, inline ----

inline std::uint32_t ArithmeticDecoder::decode_bit(BitModel& m) {
  const std::uint32_t x = m.p0_ * (length_ >> 13);
  std::uint32_t bit;
  if (value_ < x) {
    bit = 0;
    length_ = x;
    ++m.n0_;
  } else {
    bit = 1;
    value_ -= x;
    length_ -= x;
  }
  renormalise();
  if (--m.countdown_ == 0) m.adapt();
  return bit;
}

[[gnu::always_inline]] inline std::uint32_t ArithmeticDecoder::decode_symbol(SymbolModel& m) {
  const std::uint32_t q = length_ >> 15;
  const SymbolModel::Found f = m.find(value_ / q);
  const std::uint32_t lo = f.low * q;
  const std::uint32_t hi = f.symbol + 1 == m.symbols_ ? length_ : f.next * q;
  value_ -= lo;
  length_ = hi - lo;
  renormalise();
  ++m.count()[f.symbol];
  if (--m.countdown_ == 0) m.rebuild();
  return f.symbol;
}

[[gnu::always_inline]] inline SymbolModel::Found SymbolModel::find(std::uint32_t x) const {
  const Entry* c = cum();
  // Only a damaged stream gives x above 2^15 + 2^6; the answer is the last symbol all the
  // same, and the comparisons must not pass the sentinel. (Clamped apart from the cell
  // index, which waits for x alone.)
  const std::uint32_t y = std::min(x, std::uint32_t{sentinel} - 1);
  std::uint32_t lo = 0, hi = symbols_ - 1;
  if (table_last_ != 0) {
    // x reaches a little past 2^15 (the last symbol's interval is the rest of the length):
    // the last cell still bounds it, as every cum[s] < 2^15.
    const std::uint64_t cell = cells_[std::min(x >> table_shift_, table_last_ - 1)];
    const Found f{static_cast<std::uint32_t>(cell & 0xFFFF), static_cast<std::uint32_t>((cell >> 16) & 0xFFFF),
                  static_cast<std::uint32_t>((cell >> 32) & 0xFFFF)};
    if (f.next > y) return f;
    lo = f.symbol + 1;
    hi = static_cast<std::uint32_t>(cell >> 48);
  }
  // Invariant: cum[lo] <= y, and every s > hi has cum[s] > y. The cells leave a few
  // candidates at most unless the counts are very uneven: halve down to a short scan.
  while (hi - lo > 8) {
    const std::uint32_t mid = (lo + hi + 1) >> 1;
    if (c[mid] <= y) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  // The sentinel ends the scan at the last symbol.
  while (c[lo + 1] <= y) ++lo;
  return {lo, c[lo], c[lo + 1]};
}

inline std::uint32_t ArithmeticDecoder::raw_short(std::uint32_t bits) {
  length_ >>= bits;
  const std::uint32_t v = value_ / length_;
  value_ -= v * length_;
  renormalise();
  // A damaged stream (value >= length) can give a quotient of more than `bits` bits.
  return v & ((1U << bits) - 1);
}

inline std::uint32_t ArithmeticDecoder::read_bits(std::uint32_t bits) {
  if (bits < 20) return raw_short(bits);
  const std::uint32_t low = raw_short(16);
  return (raw_short(bits - 16) << 16) | low;
}

inline std::uint64_t ArithmeticDecoder::read_u64() {
  const std::uint64_t low = read_u32();
  return (std::uint64_t{read_u32()} << 32) | low;
}

[[gnu::always_inline]] inline std::int32_t IntegerDecompressor::decompress(ArithmeticDecoder& dec, std::int32_t prediction,
                                             std::uint32_t context) {
  if (context >= k_models_.size()) context = 0;
  const std::uint32_t k = dec.decode_symbol(k_models_[context]);
  std::int64_t corr;
  if (k == 0) {
    corr = dec.decode_bit(zero_);
  } else if (k < 32) {
    std::uint32_t u = dec.decode_symbol(correctors_[k - 1]);
    if (k > 8) u = (u << (k - 8)) | dec.read_bits(k - 8);
    const std::int64_t half = std::int64_t{1} << (k - 1);
    corr = u >= half ? std::int64_t{u} + 1 : std::int64_t{u} - (2 * half - 1);
  } else {
    corr = -(std::int64_t{1} << 31);
  }
  last_k_ = k;
  const std::int64_t sum = std::int64_t{prediction} + corr;
  if (bits_ < 32) {
    const std::int64_t range = std::int64_t{1} << bits_;
    std::int64_t r = sum;
    if (r < 0) {
      r += range;
    } else if (r >= range) {
      r -= range;
    }
    return static_cast<std::int32_t>(r);  // in [0, range) for any prediction in it
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(sum)));
}

}  // namespace ptdelta::laz
