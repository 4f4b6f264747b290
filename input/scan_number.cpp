#include "input/scan_number.h"

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

namespace ptdelta {
namespace {

// White space as the classic locale's isspace sees it. Written out so that a
// locale set elsewhere in the process cannot change what separates numbers.
inline bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
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
    while (p != end && is_space(static_cast<unsigned char>(*p))) ++p;
    in.skip(static_cast<std::size_t>(p - in.cursor()));
    if (p != end) return true;
    if (!in.refill()) return false;
  }
}

// A token of any length: short ones stay in the local array, longer ones spill
// into a string. Always NUL-terminated for strtof.
class TokenBuffer {
 public:
  TokenBuffer() { local_[0] = '\0'; }
  TokenBuffer(const TokenBuffer&) = delete;
  TokenBuffer& operator=(const TokenBuffer&) = delete;

  void push(char c) {
    if (size_ + 1 < kLocal) {
      local_[size_++] = c;
      local_[size_] = '\0';
      return;
    }
    if (size_ + 1 == kLocal) spill_.assign(local_, size_);  // the local array is full: move to the string
    spill_.push_back(c);
    ++size_;
  }
  void assign(const char* b, const char* e) {
    for (; b != e; ++b) push(*b);
  }
  std::size_t size() const { return size_; }
  const char* data() const { return size_ < kLocal ? local_ : spill_.c_str(); }

 private:
  static constexpr std::size_t kLocal = 96;
  char local_[kLocal];
  std::size_t size_ = 0;
  std::string spill_;
};

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

// Converts a decimal token [b, e) of the shape
//   [sign] digits-and-one-optional-dot [ (e|E) [sign] digits* ]
// holding at least one mantissa digit. from_chars is correctly rounded like
// strtof and strtod; it refuses a leading '+' and reports out-of-range results (which
// strtof turns into inf, 0 or a subnormal) without a value, so those go to
// strtof. An exponent char without digits after it is not part of the number:
// strtof stops before it, so the range given to from_chars stops there too.
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
  // strtof needs the token NUL-terminated; a copy too large for the memory
  // left fails the conversion instead of throwing.
  try {
    TokenBuffer copy;
    copy.assign(b, e);
    return convert_strto(copy.data(), value);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// The general "%f" scanner: one character at a time through peek()/advance(),
// so it works across block boundaries and for tokens of any length. White space
// has been skipped and the source is not at its end.
template <class T>
bool scan_real_general(ByteSource& in, T& value) {
  TokenBuffer tok;
  int c = in.peek();
  bool got_sign = false;
  if (is_sign(c)) {
    tok.push(static_cast<char>(c));
    in.advance();
    got_sign = true;
    c = in.peek();
    if (c < 0) return false;
  }

  if (lower(c) == 'n') {
    // "nan" exactly; a payload "(...)" is left unread.
    for (const char want : {'n', 'a', 'n'}) {
      if (c < 0 || lower(c) != want) return false;
      tok.push(static_cast<char>(c));
      in.advance();
      c = in.peek();
    }
    return convert_strto(tok.data(), value);
  }
  if (lower(c) == 'i') {
    for (const char want : {'i', 'n', 'f'}) {
      if (c < 0 || lower(c) != want) return false;
      tok.push(static_cast<char>(c));
      in.advance();
      c = in.peek();
    }
    // Once an 'i' follows "inf", all of "inity" must follow: "infin" fails.
    if (c >= 0 && lower(c) == 'i') {
      for (const char want : {'i', 'n', 'i', 't', 'y'}) {
        if (c < 0 || lower(c) != want) return false;
        tok.push(static_cast<char>(c));
        in.advance();
        c = in.peek();
      }
    }
    return convert_strto(tok.data(), value);
  }

  bool hex = false;
  bool got_digit = false;
  bool got_dot = false;
  bool got_e = false;
  int exp_char = 'e';
  std::size_t mantissa_size = 0;  // token size before the exponent char
  bool exponent_has_digits = false;
  int prev = 0;  // the last character taken into the token
  if (c == '0') {
    tok.push('0');
    in.advance();
    prev = '0';
    c = in.peek();
    if (c >= 0 && lower(c) == 'x') {
      tok.push(static_cast<char>(c));
      in.advance();
      prev = c;
      c = in.peek();
      hex = true;
      exp_char = 'p';
    } else {
      got_digit = true;
    }
  }

  // The order of these tests matters: in hexadecimal mode 'e' is a digit, and
  // a sign is taken only directly after the exponent char.
  for (; c >= 0; prev = c, in.advance(), c = in.peek()) {
    if (is_digit(c) || (!got_e && hex && is_hex_digit(c))) {
      got_digit = true;
      if (got_e) exponent_has_digits = true;
    } else if (got_e && lower(prev) == exp_char && is_sign(c)) {
    } else if (got_digit && !got_e && lower(c) == exp_char) {
      mantissa_size = tok.size();
      got_e = got_dot = true;
    } else if (!got_dot && c == '.') {
      got_dot = true;
    } else {
      break;
    }
    tok.push(static_cast<char>(c));
  }

  if (tok.size() == (got_sign ? 1u : 0u)) return false;
  if (hex) {
    if (tok.size() == (got_sign ? 3u : 2u)) return false;  // "0x" alone
    return convert_strto(tok.data(), value);
  }
  if (!got_digit) return false;  // "." or "-.": strtof takes nothing
  const char* const b = tok.data();
  const char* const e = b + tok.size();
  return convert_decimal(b, e, got_e ? b + mantissa_size : e, exponent_has_digits, value);
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

// "%d" one character at a time; white space skipped, source not at its end.
bool scan_int_general(ByteSource& in, int& value) {
  int c = in.peek();
  const bool negative = c == '-';
  if (is_sign(c)) {
    in.advance();
    c = in.peek();
  }
  IntAccumulator acc(negative);
  bool got_digit = false;
  for (; c >= 0 && is_digit(c); in.advance(), c = in.peek()) {
    acc.add(static_cast<char>(c));
    got_digit = true;
  }
  if (!got_digit) return false;
  value = acc.value();
  return true;
}

// The general path may need memory for a very long token; running out of it
// fails the conversion instead of throwing.
template <class T>
bool scan_real_slow(ByteSource& in, T& value) {
  try {
    return scan_real_general(in, value);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// "%f" and "%lf": one grammar, the value rounded as strtof or strtod rounds it.
template <class T>
bool scan_real(ByteSource& in, T& value) {
  if (!skip_space(in)) return false;

  // Fast path: a plain decimal token that ends inside the buffered bytes is
  // scanned in place and nothing is taken until it is known to be complete.
  // Anything else (inf, nan, hexadecimal, a token that reaches the end of the
  // buffer and may go on in the next block) takes the general path from the
  // same position.
  const char* const start = in.cursor();
  const char* const end = in.buffer_end();
  const char* p = start;
  const bool negative = *p == '-';
  if (is_sign(*p)) ++p;
  if (p == end) return scan_real_slow(in, value);
  {
    const int c = lower(static_cast<unsigned char>(*p));
    if (c == 'n' || c == 'i') return scan_real_slow(in, value);
    if (c == '0' && p + 1 != end && lower(static_cast<unsigned char>(p[1])) == 'x')
      return scan_real_slow(in, value);
  }

  // The decimal token in three phases, which is the same as the one-char
  // state machine: digits, then '.' and digits, then (after at least one
  // digit) the exponent char, a sign directly after it, and digits. Whatever
  // stops a phase and does not start the next ends the token. Along the way
  // the significant digits (up to 19 of them) gather in `mantissa`.
  std::uint64_t mantissa = 0;
  std::ptrdiff_t significant = 0;  // digits from the first non-zero one on
  const char* const int_begin = p;
  for (; p != end && is_digit(*p); ++p) {
    mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');  // wraps only past 19 significant digits
    significant += mantissa != 0;
  }
  bool got_digit = p != int_begin;
  std::ptrdiff_t fraction_digits = 0;
  if (p != end && *p == '.') {
    const char* const frac_begin = ++p;
    for (; p != end && is_digit(*p); ++p) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
      significant += mantissa != 0;
    }
    fraction_digits = p - frac_begin;
    got_digit = got_digit || fraction_digits != 0;
  }
  if (p == end) return scan_real_slow(in, value);
  const char* const mantissa_end = p;
  bool exponent_has_digits = false;
  bool exponent_negative = false;
  std::int64_t exponent = 0;  // stops growing at six digits
  if (got_digit && (*p == 'e' || *p == 'E')) {
    // Taken even when no exponent digit follows.
    if (++p == end) return scan_real_slow(in, value);
    if (is_sign(*p)) {
      exponent_negative = *p == '-';
      if (++p == end) return scan_real_slow(in, value);
    }
    const char* const exp_begin = p;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    }
    if (p == end) return scan_real_slow(in, value);
    exponent_has_digits = p != exp_begin;
  }

  in.skip(static_cast<std::size_t>(p - start));
  if (!got_digit) return false;  // "", a sign alone, "." or "-."

  // Exact shortcut: m * 10^k with m < 2^53 and |k| <= 22 is one correctly
  // rounded double operation on exact operands, which is strtod's double.
  // Rounding that double to float
  // gives strtof's float unless the double fell exactly on a float midpoint
  // (the true value may then lie on either side of it, or on it); every float
  // midpoint is a double, so any other double rounds the same way as the
  // true value. The results lie between 1e-22 and 1e38, so the float is
  // normal and a midpoint is a double whose 29 bits below the float's 24
  // are 1000...0.
  if (significant <= 19 && mantissa <= (std::uint64_t{1} << 53) && exponent < 100000) {
    if (mantissa == 0) {
      value = negative ? -T{0} : T{0};
      return true;
    }
    const std::int64_t k = (exponent_negative ? -exponent : exponent) - fraction_digits;
    if (k >= -22 && k <= 22) {
      static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
      const double m = static_cast<double>(mantissa);
      const double d = k < 0 ? m / kPow10[-k] : m * kPow10[k];
      if constexpr (std::is_same_v<T, double>) {
        value = negative ? -d : d;
        return true;
      } else if ((std::bit_cast<std::uint64_t>(d) & 0x1fffffffu) != 0x10000000u) {
        const float f = static_cast<float>(d);
        value = negative ? -f : f;
        return true;
      }
    }
  }
  return convert_decimal(start, p, mantissa_end, exponent_has_digits, value);
}

}  // namespace

bool scan_float(ByteSource& in, float& value) { return scan_real(in, value); }
bool scan_double(ByteSource& in, double& value) { return scan_real(in, value); }

bool scan_int(ByteSource& in, int& value) {
  if (!skip_space(in)) return false;

  const char* const start = in.cursor();
  const char* const end = in.buffer_end();
  const char* p = start;
  const bool negative = *p == '-';
  if (is_sign(*p)) ++p;
  const char* const digits = p;
  while (p != end && is_digit(*p)) ++p;
  if (p == end) return scan_int_general(in, value);  // the token may go on in the next block

  in.skip(static_cast<std::size_t>(p - start));
  if (p == digits) return false;
  IntAccumulator acc(negative);
  for (const char* d = digits; d != p; ++d) acc.add(*d);
  value = acc.value();
  return true;
}

}  // namespace ptdelta
