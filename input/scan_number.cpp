#include "input/scan_number.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <system_error>
#include <type_traits>

#include "input/text_tokens.h"

namespace ptdelta {
namespace {

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_hex_digit(int c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline int lower(int c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
inline bool is_sign(int c) { return c == '+' || c == '-'; }

// Skips white space, refilling across blocks. False at the end of the data.
bool skip_space(ByteSource& in) {
  for (;;) {
    const char* p = in.cursor();
    const char* const end = in.buffer_end();
    while (p != end && is_text_space(*p)) ++p;
    in.skip(static_cast<std::size_t>(p - in.cursor()));
    if (p != end) return true;
    if (!in.refill()) return false;
  }
}

// What a token grammar decided about the bytes [b, e) it was given.
//   converted: the token is [b, b + taken) and the value is stored;
//   failed:    the token does not convert (the value is left alone);
//   need_more: the token reaches e and may go on in bytes not yet seen, so
//              nothing is decided. Only asked for when e is not the end of the data.
enum class Outcome { converted, failed, need_more };

// strtof or strtod on a NUL-terminated token; a token from which it takes
// nothing ("." or "-.") is a failed conversion.
template <class T>
bool convert_strto(const char* token, T& value) {
  char* stop = nullptr;
  T v;
  if constexpr (std::is_same_v<T, float>) {
    v = std::strtof(token, &stop);
  } else {
    v = std::strtod(token, &stop);
  }
  if (stop == token) return false;
  value = v;
  return true;
}

// strtof/strtod on the token [b, e), copied to add the terminating NUL. A copy
// too large for the memory left throws std::bad_alloc.
template <class T>
bool convert_copy(const char* b, const char* e, T& value) {
  const std::string copy(b, e);
  return convert_strto(copy.c_str(), value);
}

// Converts a decimal token [b, e) of the shape
//   [sign] digits-and-one-optional-dot [ (e|E) [sign] digits* ]
// holding at least one mantissa digit. from_chars is correctly rounded like
// strtof and strtod; it refuses a leading '+' and reports out-of-range results
// (which strtof turns into inf, 0 or a subnormal) without a value, so those go
// to strtof. An exponent char without digits after it is not part of the
// number: strtof stops before it, so the range given to from_chars stops there too.
template <class T>
bool convert_decimal(const char* b, const char* e, const char* mantissa_end, bool exponent_has_digits,
                     T& value) {
  const char* const first = (*b == '+') ? b + 1 : b;
  const char* const last = exponent_has_digits ? e : mantissa_end;
  T v = 0;
  const std::from_chars_result r = std::from_chars(first, last, v, std::chars_format::general);
  if (r.ec == std::errc{} && r.ptr == last) {
    value = v;
    return true;
  }
  return convert_copy(b, e, value);
}

Outcome decided(bool converted) { return converted ? Outcome::converted : Outcome::failed; }

// "nan" exactly (a payload "(...)" is left unread), or "inf", or "infinity":
// once an 'i' follows "inf", all of "inity" must follow ("infin" fails).
// [b, p) is the sign, if any; p points at the first letter.
template <class T>
Outcome word_token(const char* const b, const char* p, const char* const e, bool last, T& value, std::size_t& taken) {
  const auto match = [&p, e, last](const char* word) {
    for (; *word != '\0'; ++word, ++p) {
      if (p == e) return last ? Outcome::failed : Outcome::need_more;
      if (lower(static_cast<unsigned char>(*p)) != *word) return Outcome::failed;
    }
    return Outcome::converted;
  };
  const bool nan = lower(static_cast<unsigned char>(*p)) == 'n';
  Outcome o = match(nan ? "nan" : "inf");
  if (o == Outcome::converted && !nan) {
    if (p == e && !last) return Outcome::need_more;
    if (p != e && lower(static_cast<unsigned char>(*p)) == 'i') o = match("inity");
  }
  taken = static_cast<std::size_t>(p - b);
  if (o != Outcome::converted) return o;
  char word[16] = {};  // at most a sign and "infinity"
  std::copy(b, p, word);
  return decided(convert_strto(word, value));
}

// Hexadecimal after "0x": hex digits with one optional '.', then (after at
// least one digit) 'p', a sign directly after it, and decimal digits.
// [b, p) is the sign and "0x".
template <class T>
Outcome hex_token(const char* const b, const char* p, const char* const e, bool last, T& value, std::size_t& taken) {
  const char* const digits_begin = p;
  while (p != e && is_hex_digit(static_cast<unsigned char>(*p))) ++p;
  bool got_digit = p != digits_begin;
  if (p != e && *p == '.') {
    const char* const frac_begin = ++p;
    while (p != e && is_hex_digit(static_cast<unsigned char>(*p))) ++p;
    got_digit = got_digit || p != frac_begin;
  }
  if (p == e && !last) return Outcome::need_more;
  if (got_digit && p != e && (*p == 'p' || *p == 'P')) {
    if (++p == e && !last) return Outcome::need_more;
    if (p != e && is_sign(*p) && ++p == e && !last) return Outcome::need_more;
    while (p != e && is_digit(*p)) ++p;
    if (p == e && !last) return Outcome::need_more;
  }
  taken = static_cast<std::size_t>(p - b);
  if (p == digits_begin) return Outcome::failed;  // "0x" alone
  return decided(convert_copy(b, p, value));
}

// glibc's "%f" grammar over [b, e), which starts with a byte that is not white
// space: an optional sign, then "nan"/"inf"/"infinity", hexadecimal after
// "0x", or a decimal token. Tokens that reach e ask for more bytes unless
// `last` says that the data ends at e.
//
// The decimal token in three phases: digits, then '.' and digits, then (after
// at least one digit) the exponent char, a sign directly after it, and digits.
// Whatever stops a phase and does not start the next ends the token; the
// exponent char and its sign are taken even when no digit follows. Along the
// way the significant digits (up to 19 of them) gather in `mantissa`.
template <class T>
[[gnu::always_inline]] inline Outcome real_token(const char* const b, const char* const e, bool last, T& value,
                                                 std::size_t& taken) {
  const char* p = b;
  const bool negative = *p == '-';
  if (is_sign(*p)) ++p;
  if (p == e) {  // a sign alone so far
    if (!last) return Outcome::need_more;
    taken = static_cast<std::size_t>(p - b);
    return Outcome::failed;
  }
  {
    const int c = lower(static_cast<unsigned char>(*p));
    if (c == 'n' || c == 'i') return word_token(b, p, e, last, value, taken);
    if (c == '0') {
      if (p + 1 == e && !last) return Outcome::need_more;  // "0" or "0x..."
      if (p + 1 != e && lower(static_cast<unsigned char>(p[1])) == 'x')
        return hex_token(b, p + 2, e, last, value, taken);
    }
  }

  std::uint64_t mantissa = 0;
  std::ptrdiff_t significant = 0;  // digits from the first non-zero one on
  const char* const int_begin = p;
  for (; p != e && is_digit(*p); ++p) {
    mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');  // wraps only past 19 significant digits
    significant += mantissa != 0;
  }
  bool got_digit = p != int_begin;
  std::ptrdiff_t fraction_digits = 0;
  if (p != e && *p == '.') {
    const char* const frac_begin = ++p;
    for (; p != e && is_digit(*p); ++p) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
      significant += mantissa != 0;
    }
    fraction_digits = p - frac_begin;
    got_digit = got_digit || fraction_digits != 0;
  }
  if (p == e && !last) return Outcome::need_more;
  const char* const mantissa_end = p;
  bool exponent_has_digits = false;
  bool exponent_negative = false;
  std::int64_t exponent = 0;  // stops growing at six digits
  if (got_digit && p != e && (*p == 'e' || *p == 'E')) {
    if (++p == e && !last) return Outcome::need_more;
    if (p != e && is_sign(*p)) {
      exponent_negative = *p == '-';
      if (++p == e && !last) return Outcome::need_more;
    }
    const char* const exp_begin = p;
    for (; p != e && is_digit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    }
    if (p == e && !last) return Outcome::need_more;
    exponent_has_digits = p != exp_begin;
  }

  taken = static_cast<std::size_t>(p - b);
  if (!got_digit) return Outcome::failed;  // a sign alone, "." or "-."

  // Exact shortcut: m * 10^k with m < 2^53 and |k| <= 22 is one correctly
  // rounded double operation on exact operands, which is strtod's double.
  // Rounding that double to float gives strtof's float unless the double fell
  // exactly on a float midpoint (the true value may then lie on either side
  // of it, or on it); every float midpoint is a double, so any other double
  // rounds the same way as the true value. The results lie between 1e-22 and
  // 1e38, so the float is normal and a midpoint is a double whose 29 bits
  // below the float's 24 are 1000...0.
  if (significant <= 19 && mantissa <= (std::uint64_t{1} << 53) && exponent < 100000) {
    if (mantissa == 0) {
      value = negative ? -T{0} : T{0};
      return Outcome::converted;
    }
    const std::int64_t k = (exponent_negative ? -exponent : exponent) - fraction_digits;
    if (k >= -22 && k <= 22) {
      static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      const double m = static_cast<double>(mantissa);
      const double d = k < 0 ? m / kPow10[-k] : m * kPow10[k];
      if constexpr (std::is_same_v<T, double>) {
        value = negative ? -d : d;
        return Outcome::converted;
      } else if ((std::bit_cast<std::uint64_t>(d) & 0x1fffffffu) != 0x10000000u) {
        const float f = static_cast<float>(d);
        value = negative ? -f : f;
        return Outcome::converted;
      }
    }
  }
  return decided(convert_decimal(b, p, mantissa_end, exponent_has_digits, value));
}

// strtol's value of a run of decimal digits, taken one digit at a time: it
// saturates at the long range and is then stored into an int as glibc stores
// it, keeping the low 32 bits.
class IntAccumulator {
 public:
  explicit IntAccumulator(bool negative)
      : negative_(negative), limit_(negative ? kLongMax + 1 : kLongMax) {}
  void add(char digit) {
    const unsigned long d = static_cast<unsigned long>(digit - '0');
    if (magnitude_ > (limit_ - d) / 10) {
      magnitude_ = limit_;  // saturated: further digits cannot change it
      return;
    }
    magnitude_ = magnitude_ * 10 + d;
  }
  int value() const {
    // Two's complement negation in unsigned arithmetic keeps LONG_MIN exact.
    const unsigned long bits = negative_ ? ~magnitude_ + 1 : magnitude_;
    return static_cast<int>(static_cast<unsigned int>(bits & 0xffffffffu));
  }

 private:
  static constexpr unsigned long kLongMax = static_cast<unsigned long>(std::numeric_limits<long>::max());
  bool negative_;
  unsigned long limit_;
  unsigned long magnitude_ = 0;
};

// glibc's "%d" grammar over [b, e), as real_token: an optional sign and decimal digits.
[[gnu::always_inline]] inline Outcome int_token(const char* const b, const char* const e, bool last, int& value,
                                                std::size_t& taken) {
  const char* p = b;
  const bool negative = *p == '-';
  if (is_sign(*p)) ++p;
  const char* const digits = p;
  while (p != e && is_digit(*p)) ++p;
  if (p == e && !last) return Outcome::need_more;
  taken = static_cast<std::size_t>(p - b);
  if (p == digits) return Outcome::failed;
  IntAccumulator acc(negative);
  for (const char* d = digits; d != p; ++d) acc.add(*d);
  value = acc.value();
  return Outcome::converted;
}

// A token that reaches the end of the buffered bytes: its bytes are gathered
// in a buffer of their own and the same grammar runs over that buffer until it
// finds where the token ends or the data ends. Bytes are added in pieces as
// large as the buffer already is (so each rerun is paid for by as many new
// bytes), and only the token's own bytes are taken from the source. The
// buffer may need memory beyond what is left: that throws std::bad_alloc.
template <class Grammar>
[[gnu::noinline]] bool scan_straddling(ByteSource& in, const Grammar& grammar) {
  // Everything buffered belongs to the token: the grammar asked for more.
  std::string token(in.cursor(), in.buffer_end());
  in.skip(token.size());
  std::size_t taken = 0;
  while (in.refill()) {
    const char* const piece = in.cursor();
    const auto size =
        std::min(static_cast<std::size_t>(in.buffer_end() - piece), std::max<std::size_t>(token.size(), 64));
    const std::size_t before = token.size();
    token.append(piece, size);
    // A token that has not ended and ends in a digit is in a run of digits,
    // which further digits only extend: a piece of digits alone is all token
    // and is not scanned again, so a run of digits over many blocks costs
    // linear time even when the blocks are small against the token.
    const bool all_digits = std::all_of(piece, piece + size, [](char c) { return is_digit(c); });
    if (all_digits && is_digit(token[before - 1])) {
      in.skip(size);
      continue;
    }
    const Outcome o = grammar(token.data(), token.data() + token.size(), false, taken);
    if (o == Outcome::need_more) {
      in.skip(size);
      continue;
    }
    in.skip(taken > before ? taken - before : 0);
    return o == Outcome::converted;
  }
  return grammar(token.data(), token.data() + token.size(), true, taken) == Outcome::converted;
}

// Skips white space, then runs the grammar over the buffered bytes; a token
// that may go on past them takes the straddling path from the same position.
template <class Grammar>
bool scan_token(ByteSource& in, const Grammar& grammar) {
  if (!skip_space(in)) return false;
  std::size_t taken = 0;
  const Outcome o = grammar(in.cursor(), in.buffer_end(), false, taken);
  if (o == Outcome::need_more) return scan_straddling(in, grammar);
  in.skip(taken);
  return o == Outcome::converted;
}

// The grammars with their destination, as scan_token runs them. Inlined into
// both of its paths: the in-buffer one is the hot loop of text loading.
template <class T>
struct RealGrammar {
  T& value;
  [[gnu::always_inline]] Outcome operator()(const char* b, const char* e, bool last, std::size_t& taken) const {
    return real_token(b, e, last, value, taken);
  }
};
struct IntGrammar {
  int& value;
  [[gnu::always_inline]] Outcome operator()(const char* b, const char* e, bool last, std::size_t& taken) const {
    return int_token(b, e, last, value, taken);
  }
};

// A token whose copy cannot be allocated ends the scan as a failed
// conversion, and the source records why.
template <class Grammar>
bool scan_with(ByteSource& in, const Grammar& grammar) {
  try {
    return scan_token(in, grammar);
  } catch (const std::bad_alloc&) {
    in.mark_out_of_memory();
    return false;
  }
}

// The same grammar over bytes that are all the data there is: nothing can
// straddle, so the token is decided in one pass.
template <class Grammar>
ScanResult scan_range(const char* first, const char* last, const Grammar& grammar) {
  const char* p = first;
  while (p != last && is_text_space(*p)) ++p;
  if (p == last) return {first, false, false};
  try {
    std::size_t taken = 0;
    if (grammar(p, last, true, taken) != Outcome::converted) return {first, false, false};
    return {p + taken, true, false};
  } catch (const std::bad_alloc&) {
    return {first, false, true};
  }
}

}  // namespace

bool scan_float(ByteSource& in, float& value) { return scan_with(in, RealGrammar<float>{value}); }
bool scan_double(ByteSource& in, double& value) { return scan_with(in, RealGrammar<double>{value}); }
bool scan_int(ByteSource& in, int& value) { return scan_with(in, IntGrammar{value}); }

ScanResult scan_float(const char* first, const char* last, float& value) {
  return scan_range(first, last, RealGrammar<float>{value});
}
ScanResult scan_double(const char* first, const char* last, double& value) {
  return scan_range(first, last, RealGrammar<double>{value});
}
ScanResult scan_int(const char* first, const char* last, int& value) {
  return scan_range(first, last, IntGrammar{value});
}

}  // namespace ptdelta
