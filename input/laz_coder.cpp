#include "input/laz_coder.h"

#include <algorithm>

namespace ptdelta::laz {

namespace {

constexpr std::uint32_t min_length = 1U << 24;  // renormalise below this interval length

}  // namespace

// ---- models ----

void BitModel::adapt() {
  n_ += period_;
  if (n_ > 8192) {
    n_ = (n_ + 1) >> 1;
    n0_ = (n0_ + 1) >> 1;
    if (n0_ == n_) ++n_;
  }
  p0_ = (n0_ * (0x80000000U / n_)) >> 18;
  period_ = std::min((5 * period_) >> 2, 64U);
  countdown_ = period_;
}

SymbolModel::SymbolModel(std::uint32_t symbols) : symbols_(std::clamp(symbols, 2U, 2048U)) {
  if (symbols_ > 8) {
    // Twice as many cells as symbols (at most 2^12): most lookups then land on the symbol
    // itself or its neighbour.
    std::uint32_t table_bits = 1;
    while ((1U << table_bits) < 2 * symbols_) ++table_bits;
    table_shift_ = 15 - table_bits;
    table_last_ = 1U << table_bits;
    cells_.assign(table_last_, 0);
  }
  store_.assign(2 * std::size_t{symbols_} + 1, 0);
  std::fill(count(), count() + symbols_, Entry{1});
  cum()[symbols_] = sentinel;
  period_ = symbols_;
  rebuild();
  period_ = countdown_ = (symbols_ + 6) >> 1;
}

void SymbolModel::rebuild() {
  Entry* cnt = count();
  Entry* c = cum();
  total_ += period_;
  if (total_ > 32768) {
    total_ = 0;
    for (std::uint32_t k = 0; k < symbols_; ++k) {
      cnt[k] = static_cast<Entry>((cnt[k] + 1) >> 1);
      total_ += cnt[k];
    }
  }
  // scale * sum <= 2^31 throughout, so every cum[k] < 2^15 and cum rises strictly with k.
  const std::uint32_t scale = 0x80000000U / total_;
  std::uint32_t sum = 0;
  for (std::uint32_t k = 0; k < symbols_; ++k) {
    c[k] = static_cast<Entry>((scale * sum) >> 16);
    sum += cnt[k];
  }
  if (table_last_ != 0) {
    // Cell j's symbol is the largest s with cum[s] <= j << shift: symbol s - 1 fills every cell
    // below the first j whose x reaches cum[s].
    std::uint64_t* cell = cells_.data();
    const std::uint32_t round_up = (1U << table_shift_) - 1;
    std::uint32_t j = 0;
    for (std::uint32_t k = 1; k <= symbols_; ++k) {
      const std::uint32_t end = k < symbols_ ? std::min((c[k] + round_up) >> table_shift_, table_last_) : table_last_;
      const std::uint64_t fill = (k - 1) | std::uint64_t{c[k - 1]} << 16 | std::uint64_t{c[k]} << 32;
      for (; j < end; ++j) cell[j] = fill;
    }
    // Then each cell learns the next one's symbol (the cell past the last one holds the last symbol).
    for (j = 0; j + 1 < table_last_; ++j) cell[j] |= (cell[j + 1] & 0xFFFF) << 48;
    cell[table_last_ - 1] |= std::uint64_t{symbols_ - 1} << 48;
  }
  period_ = std::min((5 * period_) >> 2, 8 * (symbols_ + 6));
  countdown_ = period_;
}

// ---- decoder ----

ArithmeticDecoder::ArithmeticDecoder(const std::uint8_t* data, std::size_t size)
    : data_(data), size_(size), overrun_(false) {
  for (int i = 0; i < 4; ++i) value_ = (value_ << 8) | next_byte();
}

// ---- encoder ----

void ArithmeticEncoder::add_to_base(std::uint32_t amount) {
  const std::uint32_t old = base_;
  base_ += amount;
  if (base_ >= old) return;
  // The sum left the 32-bit window: carry into the bytes already written (a valid interval
  // never carries beyond the first byte).
  for (auto it = out_.rbegin(); it != out_.rend(); ++it) {
    if (*it != 0xFF) {
      ++*it;
      return;
    }
    *it = 0;
  }
}

void ArithmeticEncoder::renormalise() {
  while (length_ < min_length) {
    out_.push_back(static_cast<std::uint8_t>(base_ >> 24));
    base_ <<= 8;
    length_ <<= 8;
  }
}

void ArithmeticEncoder::encode_bit(BitModel& m, std::uint32_t bit) {
  const std::uint32_t x = m.p0_ * (length_ >> 13);
  if (bit == 0) {
    length_ = x;
    ++m.n0_;
  } else {
    add_to_base(x);
    length_ -= x;
  }
  renormalise();
  if (--m.countdown_ == 0) m.adapt();
}

void ArithmeticEncoder::encode_symbol(SymbolModel& m, std::uint32_t symbol) {
  const std::uint32_t q = length_ >> 15;
  const SymbolModel::Entry* cum = m.cum();
  const std::uint32_t lo = cum[symbol] * q;
  const std::uint32_t hi = symbol + 1 == m.symbols_ ? length_ : cum[symbol + 1] * q;
  add_to_base(lo);
  length_ = hi - lo;
  renormalise();
  ++m.count()[symbol];
  if (--m.countdown_ == 0) m.rebuild();
}

void ArithmeticEncoder::write_short(std::uint32_t bits, std::uint32_t value) {
  length_ >>= bits;
  add_to_base(value * length_);
  renormalise();
}

void ArithmeticEncoder::write_bits(std::uint32_t bits, std::uint32_t value) {
  if (bits < 20) {
    write_short(bits, value);
    return;
  }
  write_short(16, value & 0xFFFFU);
  write_short(bits - 16, value >> 16);
}

void ArithmeticEncoder::write_u64(std::uint64_t value) {
  write_u32(static_cast<std::uint32_t>(value));
  write_u32(static_cast<std::uint32_t>(value >> 32));
}

// The decoder has read four bytes more than the encoder has written (its start), so the end is
// four bytes: a code inside [base, base + length), which after renormalisation is at least
// 2^24 long. base + 2^24 (or + 2^23 for a short interval) lies inside; from a fresh encoder it
// gives 01 00 00 00.
std::vector<std::uint8_t> ArithmeticEncoder::finish() {
  add_to_base(length_ > 2 * min_length ? min_length : min_length >> 1);
  for (int shift = 24; shift >= 0; shift -= 8) out_.push_back(static_cast<std::uint8_t>(base_ >> shift));
  base_ = 0;
  length_ = 0xFFFFFFFFU;
  return std::move(out_);
}

// ---- integer decompressor and compressor ----

namespace {

std::uint32_t corrector_bits(std::uint32_t bits) { return bits == 8 || bits == 16 ? bits : 32; }

std::vector<SymbolModel> make_k_models(std::uint32_t cbits, std::uint32_t contexts) {
  return std::vector<SymbolModel>(std::max(contexts, 1U), SymbolModel(cbits + 1));
}

std::vector<SymbolModel> make_correctors(std::uint32_t cbits) {
  std::vector<SymbolModel> models;
  models.reserve(cbits);
  for (std::uint32_t k = 1; k <= cbits; ++k) models.emplace_back(1U << std::min(k, 8U));
  return models;
}

}  // namespace

IntegerDecompressor::IntegerDecompressor(std::uint32_t bits, std::uint32_t contexts)
    : bits_(corrector_bits(bits)), k_models_(make_k_models(bits_, contexts)), correctors_(make_correctors(bits_)) {}

IntegerCompressor::IntegerCompressor(std::uint32_t bits, std::uint32_t contexts)
    : bits_(corrector_bits(bits)), k_models_(make_k_models(bits_, contexts)), correctors_(make_correctors(bits_)) {}

void IntegerCompressor::compress(ArithmeticEncoder& enc, std::int32_t prediction, std::int32_t real,
                                 std::uint32_t context) {
  if (context >= k_models_.size()) context = 0;
  // The corrector in [-2^(bits-1), 2^(bits-1)): the decoder adds it to the prediction modulo
  // 2^bits, so any representative decodes to `real`; this one needs the fewest bits.
  std::int64_t corr;
  if (bits_ < 32) {
    const std::int64_t range = std::int64_t{1} << bits_;
    corr = (std::int64_t{real} - std::int64_t{prediction}) & (range - 1);
    if (corr >= range / 2) corr -= range;
  } else {
    corr = static_cast<std::int32_t>(static_cast<std::uint32_t>(real) - static_cast<std::uint32_t>(prediction));
  }
  // k: 0 for corrector 0 or 1; else the k with corr in [2^(k-1)+1, 2^k] or [-(2^k-1), -2^(k-1)].
  std::uint32_t k = 0;
  std::uint64_t u = 0;
  if (corr >= 2) {
    u = static_cast<std::uint64_t>(corr - 1);
    while ((std::uint64_t{1} << k) < static_cast<std::uint64_t>(corr)) ++k;
  } else if (corr < 0) {
    const auto magnitude = static_cast<std::uint64_t>(-corr);
    while ((std::uint64_t{1} << k) <= magnitude) ++k;
    u = static_cast<std::uint64_t>(corr + ((std::int64_t{1} << k) - 1));
  }
  last_k_ = k;
  enc.encode_symbol(k_models_[context], k);
  if (k == 0) {
    enc.encode_bit(zero_, static_cast<std::uint32_t>(corr));
  } else if (k < 32) {
    const auto bits = static_cast<std::uint32_t>(u);
    if (k <= 8) {
      enc.encode_symbol(correctors_[k - 1], bits);
    } else {
      enc.encode_symbol(correctors_[k - 1], bits >> (k - 8));
      enc.write_bits(k - 8, bits & ((1U << (k - 8)) - 1));
    }
  }
}

}  // namespace ptdelta::laz
