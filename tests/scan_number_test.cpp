// Number scanner: glibc's "%f", "%lf" and "%d" quirks, and value bits plus characters consumed against sscanf/fscanf.
#include "input/scan_number.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/ply_reader.h"
#include "input/text_reader.h"
#include "support/oracles.h"
#include "support/random_clouds.h"

namespace ptdelta {
namespace {

using testing::scan_float_fscanf;
using testing::scan_int_fscanf;

using testing::Rng;

// Fewer random cases under the sanitizers; PTDELTA_SCAN_CASES overrides.
std::int64_t case_budget(std::int64_t normal) {
  if (const char* env = std::getenv("PTDELTA_SCAN_CASES")) return std::atoll(env);
#if defined(__SANITIZE_ADDRESS__)
  return normal / 10;
#else
  return normal;
#endif
}

std::string escaped(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\r') out += "\\r";
    else if (c == '\v') out += "\\v";
    else if (c == '\f') out += "\\f";
    else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

enum class Kind { f, lf, d };

// One conversion: failure, or the value's bits and the offset just past the token.
struct Step {
  bool ok = false;
  std::uint64_t bits = 0;
  std::size_t end = 0;
  Kind kind = Kind::f;
  bool operator==(const Step&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Step& s) {
  if (!s.ok) return os << "fail";
  char buf[96];
  if (s.kind == Kind::lf) {
    std::snprintf(buf, sizeof buf, "ok bits=0x%016llx (%.17g) end=%zu", static_cast<unsigned long long>(s.bits),
                  std::bit_cast<double>(s.bits), s.end);
  } else {
    const auto bits32 = static_cast<std::uint32_t>(s.bits);
    std::snprintf(buf, sizeof buf, "ok bits=0x%08x (%.9g) end=%zu", bits32,
                  static_cast<double>(std::bit_cast<float>(bits32)), s.end);
  }
  return os << buf;
}

// Successive conversions over the whole string until the first failure.
std::vector<Step> ours(const std::string& s, const std::vector<Kind>& kinds) {
  ByteSource in(s.data(), s.size());
  std::vector<Step> steps;
  for (const Kind kind : kinds) {
    Step st;
    st.kind = kind;
    // Signalling NaNs nothing scans to.
    constexpr std::uint32_t kSentinel = 0x7f81dead;
    constexpr std::uint64_t kWideSentinel = 0x7ff0deaddeaddeadu;
    if (kind == Kind::f) {
      float v = std::bit_cast<float>(kSentinel);
      st.ok = scan_float(in, v);
      st.bits = std::bit_cast<std::uint32_t>(v);
    } else if (kind == Kind::lf) {
      double v = std::bit_cast<double>(kWideSentinel);
      st.ok = scan_double(in, v);
      st.bits = std::bit_cast<std::uint64_t>(v);
    } else {
      int v = static_cast<int>(kSentinel);
      st.ok = scan_int(in, v);
      st.bits = static_cast<std::uint32_t>(v);
    }
    if (!st.ok) {
      // A failed conversion leaves the destination alone.
      EXPECT_EQ(st.bits, kind == Kind::lf ? kWideSentinel : kSentinel) << escaped(s);
      steps.push_back(Step{});
      break;
    }
    st.end = static_cast<std::size_t>(in.cursor() - s.data());
    steps.push_back(st);
  }
  return steps;
}

// The same conversions through the byte-range entry points, each from where
// the last one ended.
std::vector<Step> ours_on_range(const std::string& s, const std::vector<Kind>& kinds) {
  const char* p = s.data();
  const char* const last = s.data() + s.size();
  std::vector<Step> steps;
  for (const Kind kind : kinds) {
    Step st;
    st.kind = kind;
    ScanResult r{};
    if (kind == Kind::f) {
      float v = std::bit_cast<float>(0x7f81deadu);
      r = scan_float(p, last, v);
      st.bits = std::bit_cast<std::uint32_t>(v);
    } else if (kind == Kind::lf) {
      double v = std::bit_cast<double>(std::uint64_t{0x7ff0deaddeaddeadu});
      r = scan_double(p, last, v);
      st.bits = std::bit_cast<std::uint64_t>(v);
    } else {
      int v = 0;
      r = scan_int(p, last, v);
      st.bits = static_cast<std::uint32_t>(v);
    }
    if (!r.converted) {
      EXPECT_EQ(r.end, p) << escaped(s);
      EXPECT_FALSE(r.out_of_memory) << escaped(s);
      steps.push_back(Step{});
      break;
    }
    st.ok = true;
    p = r.end;
    st.end = static_cast<std::size_t>(p - s.data());
    steps.push_back(st);
  }
  return steps;
}

std::vector<Step> oracle(const std::string& s, const std::vector<Kind>& kinds) {
  std::vector<Step> steps;
  std::size_t pos = 0;
  for (const Kind kind : kinds) {
    Step st;
    st.kind = kind;
    int n = 0;
    if (kind == Kind::f) {
      float v = 0.0f;
      st.ok = std::sscanf(s.c_str() + pos, "%f%n", &v, &n) == 1;
      st.bits = std::bit_cast<std::uint32_t>(v);
    } else if (kind == Kind::lf) {
      double v = 0.0;
      st.ok = std::sscanf(s.c_str() + pos, "%lf%n", &v, &n) == 1;
      st.bits = std::bit_cast<std::uint64_t>(v);
    } else {
      int v = 0;
      st.ok = std::sscanf(s.c_str() + pos, "%d%n", &v, &n) == 1;
      st.bits = static_cast<std::uint32_t>(v);
    }
    if (!st.ok) {
      steps.push_back(Step{});
      break;
    }
    pos += static_cast<std::size_t>(n);
    st.end = pos;
    steps.push_back(st);
  }
  return steps;
}

std::vector<Kind> floats(std::size_t n) { return std::vector<Kind>(n, Kind::f); }
std::vector<Kind> doubles(std::size_t n) { return std::vector<Kind>(n, Kind::lf); }
std::vector<Kind> ints(std::size_t n) { return std::vector<Kind>(n, Kind::d); }

Step ok_f(float v, std::size_t end) { return Step{true, std::bit_cast<std::uint32_t>(v), end}; }
Step ok_bits(std::uint32_t bits, std::size_t end) { return Step{true, bits, end}; }
Step ok_lf(double v, std::size_t end) { return Step{true, std::bit_cast<std::uint64_t>(v), end, Kind::lf}; }
Step ok_lf_bits(std::uint64_t bits, std::size_t end) { return Step{true, bits, end, Kind::lf}; }
Step ok_d(int v, std::size_t end) { return Step{true, static_cast<std::uint32_t>(v), end, Kind::d}; }
const Step kFail{};

struct Quirk {
  const char* input;
  std::vector<Step> steps;  // successive conversions, the last one failing
};

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::uint32_t kNan = 0x7fc00000, kMinusNan = 0xffc00000;

// Each row states what glibc does; the row is checked against glibc itself too,
// so a row that misstates glibc fails on its own.
void check_quirks(const std::vector<Quirk>& table, Kind kind) {
  for (const Quirk& q : table) {
    const std::string s = q.input;
    const std::vector<Kind> kinds(q.steps.size() + 1, kind);
    EXPECT_EQ(oracle(s, kinds), q.steps) << "glibc on " << escaped(s);
    EXPECT_EQ(ours(s, kinds), q.steps) << "scanner on " << escaped(s);
    EXPECT_EQ(ours_on_range(s, kinds), q.steps) << "range scanner on " << escaped(s);
  }
}

// "%lf" takes exactly the characters "%f" takes: a "%f" row, scanned as doubles,
// has the same outcomes and ends, and the values glibc gives.
void check_quirks_as_doubles(const std::vector<Quirk>& table) {
  for (const Quirk& q : table) {
    const std::string s = q.input;
    const std::vector<Step> got = ours(s, doubles(q.steps.size() + 1));
    EXPECT_EQ(got, oracle(s, doubles(q.steps.size() + 1))) << "scanner on " << escaped(s);
    ASSERT_EQ(got.size(), q.steps.size()) << escaped(s);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].ok, q.steps[i].ok) << escaped(s) << " step " << i;
      EXPECT_EQ(got[i].end, q.steps[i].end) << escaped(s) << " step " << i;
    }
  }
}

TEST(ScanFloat, GlibcQuirks) {
  const std::vector<Quirk> table = {
      // The exponent char and its sign are taken even with no digit after them.
      {"1e 2 3", {ok_f(1, 2), ok_f(2, 4), ok_f(3, 6), kFail}},
      {"1e+", {ok_f(1, 3), kFail}},
      {"1e+ 5", {ok_f(1, 3), ok_f(5, 5), kFail}},
      {"1E-x", {ok_f(1, 3), kFail}},
      {"1e+-2", {ok_f(1, 3), ok_f(-2, 5), kFail}},
      {"1e5e3", {ok_f(1e5f, 3), kFail}},
      {".e5", {kFail}},
      // A sign starts the next number when no blank separates them.
      {"1-2+3", {ok_f(1, 1), ok_f(-2, 3), ok_f(3, 5), kFail}},
      {"1.5.3", {ok_f(1.5f, 3), ok_f(0.3f, 5), kFail}},
      {".5 5. -.5e1", {ok_f(0.5f, 2), ok_f(5, 5), ok_f(-5, 11), kFail}},
      {"1,2", {ok_f(1, 1), kFail}},
      // Nothing to convert.
      {"", {kFail}},
      {" \t\n", {kFail}},
      {"+", {kFail}},
      {"-", {kFail}},
      {"- 5", {kFail}},
      {".", {kFail}},
      {"-.", {kFail}},
      {"--1", {kFail}},
      {"e5", {kFail}},
      // Every classic white-space char is skipped.
      {" \t\n\v\f\r7", {ok_f(7, 7), kFail}},
      // nan stops after three letters; a payload is left unread.
      {"nan(12)", {ok_bits(kNan, 3), kFail}},
      {"NaN 1", {ok_bits(kNan, 3), ok_f(1, 5), kFail}},
      {"-nan", {ok_bits(kMinusNan, 4), kFail}},
      {"+nan", {ok_bits(kNan, 4), kFail}},
      {"na", {kFail}},
      {"nax", {kFail}},
      // inf, and infinity only when complete once an 'i' follows "inf".
      {"inf", {ok_f(kInf, 3), kFail}},
      {"-Inf1", {ok_f(-kInf, 4), ok_f(1, 5), kFail}},
      {"infx", {ok_f(kInf, 3), kFail}},
      {"INFINITY", {ok_f(kInf, 8), kFail}},
      {"infinity5", {ok_f(kInf, 8), ok_f(5, 9), kFail}},
      {"infin", {kFail}},
      {"infinit 1", {kFail}},
      {"infi", {kFail}},
      {"in", {kFail}},
      {"i", {kFail}},
      // Hexadecimal only after "0x"; "0x" alone fails.
      {"0x", {kFail}},
      {"-0x", {kFail}},
      {"0x 1", {kFail}},
      {"0x1p3", {ok_f(8, 5), kFail}},
      {"-0X1.8P-1", {ok_f(-0.75f, 9), kFail}},
      {"0x1p", {ok_f(1, 4), kFail}},
      {"0x1p+", {ok_f(1, 5), kFail}},
      {"0x1e", {ok_f(30, 4), kFail}},
      {"0x1p1e", {ok_f(2, 5), kFail}},
      {"0x.", {ok_f(0, 3), kFail}},
      {"00x1", {ok_f(0, 2), kFail}},
      {"0", {ok_f(0, 1), kFail}},
      {"-0", {ok_f(-0.0f, 2), kFail}},
      // Out of range: strtof's inf, zero and subnormals.
      {"1e40", {ok_f(kInf, 4), kFail}},
      {"-1e40", {ok_f(-kInf, 5), kFail}},
      {"3.4028236e38", {ok_f(kInf, 12), kFail}},
      {"3.4028235e38", {ok_f(std::numeric_limits<float>::max(), 12), kFail}},
      {"1e-50", {ok_f(0, 5), kFail}},
      {"-1e-50", {ok_f(-0.0f, 6), kFail}},
      {"1e-40", {ok_bits(0x000116c2, 5), kFail}},
      {"7.006492321624085e-46", {ok_bits(0x00000000, 21), kFail}},  // half the smallest subnormal: to even
      {"7.006492321624086e-46", {ok_bits(0x00000001, 21), kFail}},
      {"1e-99999999999999999999", {ok_f(0, 23), kFail}},
      {"0e99999999999999999999", {ok_f(0, 22), kFail}},
  };
  check_quirks(table, Kind::f);
  check_quirks_as_doubles(table);
}

TEST(ScanDouble, GlibcQuirks) {
  constexpr double kInfD = std::numeric_limits<double>::infinity();
  const std::vector<Quirk> table = {
      {"0.1 -2.5e-3", {ok_lf(0.1, 3), ok_lf(-2.5e-3, 11), kFail}},
      {"16777217", {ok_lf(16777217.0, 8), kFail}},  // not a float, a double
      {"9007199254740993", {ok_lf(9007199254740992.0, 16), kFail}},  // 2^53 + 1: the tie goes to even
      {"9007199254740993.000000000000001", {ok_lf(9007199254740994.0, 32), kFail}},
      {"512345.678 5412345.678", {ok_lf(512345.678, 10), ok_lf(5412345.678, 22), kFail}},
      {"1e22 1e23", {ok_lf(1e22, 4), ok_lf(1e23, 9), kFail}},
      {"1.7976931348623157e308", {ok_lf(std::numeric_limits<double>::max(), 22), kFail}},
      {"1.7976931348623159e308", {ok_lf(kInfD, 22), kFail}},
      {"1e40 -1e-50", {ok_lf(1e40, 4), ok_lf(-1e-50, 11), kFail}},  // beyond float, inside double
      {"4.9406564584124654e-324", {ok_lf_bits(1, 23), kFail}},
      {"2.4703282292062327e-324", {ok_lf_bits(0, 23), kFail}},  // half the smallest subnormal: to even
      {"2.4703282292062328e-324", {ok_lf_bits(1, 23), kFail}},
      {"-nan inf", {ok_lf_bits(0xfff8000000000000u, 4), ok_lf(kInfD, 8), kFail}},
      {"0x1.fffffffffffffp1023 0x1p-1074", {ok_lf(std::numeric_limits<double>::max(), 22), ok_lf_bits(1, 32), kFail}},
  };
  check_quirks(table, Kind::lf);
}

TEST(ScanInt, GlibcQuirks) {
  const std::vector<Quirk> table = {
      {"12 -3 +4", {ok_d(12, 2), ok_d(-3, 5), ok_d(4, 8), kFail}},
      {"1-2", {ok_d(1, 1), ok_d(-2, 3), kFail}},
      {"1.5", {ok_d(1, 1), kFail}},
      {"0x10", {ok_d(0, 1), kFail}},
      {"-0", {ok_d(0, 2), kFail}},
      {"007", {ok_d(7, 3), kFail}},
      {"+", {kFail}},
      {"- 1", {kFail}},
      {"", {kFail}},
      {"\v\f\r\n\t 5", {ok_d(5, 7), kFail}},
      {"1e3", {ok_d(1, 1), kFail}},
      // Narrowed to int modulo 2^32 after strtol saturates at the long range.
      {"2147483647", {ok_d(2147483647, 10), kFail}},
      {"2147483648", {ok_d(std::numeric_limits<int>::min(), 10), kFail}},
      {"-2147483649", {ok_d(2147483647, 11), kFail}},
      {"4294967297", {ok_d(1, 10), kFail}},
      {"9223372036854775807", {ok_d(-1, 19), kFail}},
      {"99999999999999999999", {ok_d(-1, 20), kFail}},
      {"-9223372036854775808", {ok_d(0, 20), kFail}},
      {"-9223372036854775809", {ok_d(0, 20), kFail}},
      {"-9223372036854775807", {ok_d(1, 20), kFail}},
  };
  check_quirks(table, Kind::d);
}

// ---------------------------------------------------------------------------
// Random and adversarial tokens.

std::string digits(Rng& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng.below(10));
  return s;
}

std::string white(Rng& rng) {
  static const char kSpace[] = {' ', '\t', '\n', '\v', '\f', '\r'};
  std::string s;
  const int n = rng.chance(0.5) ? 0 : rng.below(4);
  for (int i = 0; i < n; ++i) s += kSpace[rng.below(6)];
  return s;
}

// sign? digits with an optional dot, optional exponent of any size or none
// at all after the 'e'.
std::string decimal_token(Rng& rng) {
  std::string s;
  if (rng.chance(0.3)) s += rng.chance(0.5) ? '-' : '+';
  const int len = rng.chance(0.7) ? 1 + rng.below(9) : rng.below(48);
  std::string mant = digits(rng, len);
  if (rng.chance(0.2) && !mant.empty()) mant[0] = '0';
  if (rng.chance(0.6)) mant.insert(static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(mant.size()) + 1)), ".");
  s += mant;
  if (rng.chance(0.5)) {
    s += rng.chance(0.5) ? 'e' : 'E';
    if (rng.chance(0.5)) s += rng.chance(0.5) ? '-' : '+';
    switch (rng.below(6)) {
      case 0: break;  // no exponent digits
      case 1: s += digits(rng, 1); break;
      case 2: s += std::to_string(rng.below(60)); break;
      case 3: s += std::to_string(30 + rng.below(25)); break;  // near the float range limits
      case 4: s += digits(rng, 1 + rng.below(25)); break;     // huge
      default: s += "0" + std::to_string(rng.below(50)); break;
    }
  }
  return s;
}

// The exact midpoint between two neighbouring floats (exactly representable as
// a double and printed exactly), then nudged: cut short, a digit changed or a
// far digit appended.
std::string halfway_token(Rng& rng) {
  std::uint32_t bits = static_cast<std::uint32_t>(rng.next()) & 0x7fffffffu;
  if (rng.chance(0.3)) bits &= 0x007fffffu;  // subnormal
  else if (rng.chance(0.5)) bits = (bits & 0x007fffffu) | ((104u + static_cast<std::uint32_t>(rng.below(148))) << 23);
  if (bits >= 0x7f7fffffu) bits = 0x7f7ffffe;
  const float lo = std::bit_cast<float>(bits);
  const float hi = std::bit_cast<float>(bits + 1);
  const double mid = (static_cast<double>(lo) + static_cast<double>(hi)) / 2.0;
  // 120 digits print any midpoint exactly; 15 to 17 give a nearby decimal
  // that is not a midpoint but may round to one in double precision.
  char buf[200];
  std::snprintf(buf, sizeof buf, "%.*e", rng.pick({120, 120, 14, 15, 16}), mid);
  std::string s = buf;
  const std::size_t e = s.find('e');
  std::string mant = s.substr(0, e), exp = s.substr(e);
  while (mant.back() == '0') mant.pop_back();
  switch (rng.below(5)) {
    case 0: break;
    case 1: mant += std::string(static_cast<std::size_t>(rng.below(20)), '0') + "1"; break;
    case 2: {
      char& last = mant.back();
      if (last != '.') last = static_cast<char>(last == '9' ? '8' : last + 1);
      break;
    }
    case 3: {
      char& last = mant.back();
      if (last != '.' && last != '0') last = static_cast<char>(last - 1);
      break;
    }
    default: mant.resize(std::min(mant.size(), static_cast<std::size_t>(3 + rng.below(40)))); break;
  }
  if (rng.chance(0.5)) mant.insert(0, "-");
  return mant + exp;
}

// The same for doubles: the midpoint of two neighbouring doubles is exact in
// long double's 64-bit significand (normal doubles) and printed with enough digits.
std::string halfway_double_token(Rng& rng) {
  std::uint64_t bits = rng.next() & 0x7fffffffffffffffu;
  if (rng.chance(0.5)) bits = (bits & 0x000fffffffffffffu) | (static_cast<std::uint64_t>(900 + rng.below(250)) << 52);
  if (bits >= 0x7fefffffffffffffu) bits = 0x7feffffffffffffe;
  const long double lo = std::bit_cast<double>(bits);
  const long double hi = std::bit_cast<double>(bits + 1);
  char buf[1200];
  std::snprintf(buf, sizeof buf, "%.*Le", rng.pick({1100, 40, 17, 16}), (lo + hi) / 2);
  std::string s = buf;
  const std::size_t e = s.find('e');
  std::string mant = s.substr(0, e);
  while (mant.back() == '0') mant.pop_back();
  if (rng.chance(0.3)) mant += std::string(static_cast<std::size_t>(rng.below(20)), '0') + "1";
  else if (rng.chance(0.3)) mant.resize(std::min(mant.size(), static_cast<std::size_t>(3 + rng.below(30))));
  return mant + s.substr(e);
}

std::string special_token(Rng& rng) {
  static const char* const kWords[] = {"nan", "NaN", "inf", "Inf", "INFINITY", "infinity", "infinit", "infin",
                                       "infi", "in", "na", "n", "i", "nan(1)", "nanx", "infx", "infinityx", "0x",
                                       "0X", "0x.", "0xp1", "0x.8", "0x1.fffffep127", "0x1p128", "0x1p-149",
                                       "0x1p-150", "0x1.000001p0", "0xABCdef.8p-3", "0x1P+", "0x1p-", "0xg"};
  std::string s;
  if (rng.chance(0.3)) s += rng.chance(0.5) ? '-' : '+';
  s += kWords[rng.below(static_cast<std::int32_t>(std::size(kWords)))];
  if (rng.chance(0.3)) s += "0x" + digits(rng, rng.below(12));
  return s;
}

// Any short string over the characters that matter.
std::string soup_token(Rng& rng) {
  static const char kChars[] = "0123456789+-.eEpPxXaAnNiIfFtTyY() \n,";
  std::string s;
  const int n = rng.below(14);
  for (int i = 0; i < n; ++i) s += kChars[rng.below(static_cast<std::int32_t>(sizeof kChars - 1))];
  return s;
}

std::string random_token(Rng& rng) {
  switch (rng.below(11)) {
    case 0: return halfway_token(rng);
    case 10: return halfway_double_token(rng);
    case 1: return special_token(rng);
    case 2:
    case 3: return soup_token(rng);
    default: return decimal_token(rng);
  }
}

std::string junk(Rng& rng) {
  static const char* const kJunk[] = {"", "", "", " ", "x", ",", ";", "(", ".", "e", "+", "-", "\n", "#", "\xff"};
  return kJunk[rng.below(static_cast<std::int32_t>(std::size(kJunk)))];
}

std::string random_input(Rng& rng) {
  std::string s;
  const int parts = 1 + rng.below(3);
  for (int i = 0; i < parts; ++i) s += white(rng) + random_token(rng) + junk(rng);
  return s;
}

TEST(ScanNumber, MatchesSscanfOnRandomTokens) {
  const std::int64_t total = case_budget(600000);
  const std::int64_t per_seed = 10000;
  for (std::uint64_t seed = 1; seed <= static_cast<std::uint64_t>((total + per_seed - 1) / per_seed); ++seed) {
    Rng rng(seed);
    for (std::int64_t i = 0; i < per_seed; ++i) {
      const std::string s = random_input(rng);
      std::vector<Kind> kinds(4);
      for (Kind& k : kinds) k = rng.chance(0.8) ? (rng.chance(0.6) ? Kind::f : Kind::lf) : Kind::d;
      const std::vector<Step> expected = oracle(s, kinds), got = ours(s, kinds);
      const std::vector<Step> on_range = ours_on_range(s, kinds);
      if (on_range != expected) {
        ASSERT_EQ(on_range, expected) << "range scanner, seed=" << seed << " case=" << i << " input=" << escaped(s);
      }
      if (got != expected) {
        ASSERT_EQ(got, expected) << "seed=" << seed << " case=" << i << " input=" << escaped(s)
                                 << " first conversion "
                                 << (kinds[0] == Kind::f ? "%f" : kinds[0] == Kind::lf ? "%lf" : "%d");
      }
    }
  }
}

// A float given by its bits, printed with enough digits to come back to it, or
// rounded away to fewer digits: the common shape of point files. Each text is
// scanned as a double too, and so is a printed double.
TEST(ScanFloat, MatchesSscanfOnPrintedFloats) {
  const std::int64_t total = case_budget(400000);
  const std::int64_t per_seed = 10000;
  static const char* const kFormats[] = {"%.9g", "%.8g", "%.6f", "%.3f", "%.12e", "%g", "%.17g", "%.1f"};
  for (std::uint64_t seed = 1001; seed <= 1000 + static_cast<std::uint64_t>((total + per_seed - 1) / per_seed);
       ++seed) {
    Rng rng(seed);
    for (std::int64_t i = 0; i < per_seed; ++i) {
      std::uint32_t bits = static_cast<std::uint32_t>(rng.next());
      if (rng.chance(0.7)) bits = (bits & 0x807fffffu) | ((120u + static_cast<std::uint32_t>(rng.below(20))) << 23);
      const float f = std::bit_cast<float>(bits);
      char buf[400];
      std::snprintf(buf, sizeof buf, kFormats[rng.below(8)], static_cast<double>(f));
      const std::string s = std::string(buf) + (rng.chance(0.5) ? " " : "");
      const std::vector<Step> expected = oracle(s, floats(1)), got = ours(s, floats(1));
      if (got != expected) {
        ASSERT_EQ(got, expected) << "seed=" << seed << " case=" << i << " input=" << escaped(s);
      }
      std::snprintf(buf, sizeof buf, kFormats[rng.below(8)], std::bit_cast<double>(rng.next()));
      for (const std::string& t : {s, std::string(buf)}) {
        const std::vector<Step> expected_lf = oracle(t, doubles(1)), got_lf = ours(t, doubles(1));
        if (got_lf != expected_lf) {
          ASSERT_EQ(got_lf, expected_lf) << "seed=" << seed << " case=" << i << " input=" << escaped(t);
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Streams: tokens straddle block boundaries.

// The PLY row pattern, repeated: x y z as doubles (as a shifted read takes
// them), three floats, three ints.
Kind kind_at(std::size_t i) { return i % 9 < 3 ? Kind::lf : i % 9 < 6 ? Kind::f : Kind::d; }

// Conversions in the row pattern until the first failure; positions are the
// stream's own, so only the value bits are recorded.
template <class ScanF, class ScanLf, class ScanD>
std::vector<Step> scan_stream(ScanF scan_f, ScanLf scan_lf, ScanD scan_d) {
  std::vector<Step> steps;
  for (std::size_t i = 0;; ++i) {
    float v = 0.0f;
    double w = 0.0;
    int d = 0;
    const Kind kind = kind_at(i);
    if (!(kind == Kind::f ? scan_f(v) : kind == Kind::lf ? scan_lf(w) : scan_d(d))) return steps;
    const std::uint64_t bits = kind == Kind::f    ? std::bit_cast<std::uint32_t>(v)
                               : kind == Kind::lf ? std::bit_cast<std::uint64_t>(w)
                                                  : static_cast<std::uint32_t>(d);
    steps.push_back(Step{true, bits, 0, kind});
  }
}
std::vector<Step> scan_stream_ours(ByteSource& in) {
  return scan_stream([&in](float& v) { return scan_float(in, v); }, [&in](double& v) { return scan_double(in, v); },
                     [&in](int& v) { return scan_int(in, v); });
}
std::vector<Step> scan_stream_fscanf(std::FILE* f) {
  return scan_stream([f](float& v) { return scan_float_fscanf(f, v); },
                     [f](double& v) { return std::fscanf(f, "%lf", &v) == 1; },
                     [f](int& v) { return scan_int_fscanf(f, v); });
}

// Numbers that convert, separated so that each conversion of the row pattern
// succeeds, with adjacent signed numbers and exponent quirks mixed in.
std::string stream_text(Rng& rng, std::size_t count) {
  std::string s;
  for (std::size_t i = 0; i < count; ++i) {
    std::string tok;
    if (kind_at(i) == Kind::d) {
      tok = (rng.chance(0.3) ? "-" : "") + digits(rng, 1 + rng.below(rng.chance(0.1) ? 30 : 4));
    } else {
      switch (rng.below(8)) {
        case 0: tok = kind_at(i) == Kind::lf ? halfway_double_token(rng) : halfway_token(rng); break;
        case 1: tok = rng.pick({"nan", "-inf", "Infinity", "0x1.8p3", "-0x.8", "1e+", "2E", "3e-"}); break;
        default: {
          // Only tokens that "%f" takes whole.
          do tok = decimal_token(rng);
          while (tok.empty() || oracle(tok, floats(1))[0].end != tok.size());
          break;
        }
      }
    }
    // A sign may follow a number directly; a digit may not.
    const bool glued = !s.empty() && (tok[0] == '-' || tok[0] == '+') && rng.chance(0.5) &&
                       s.back() != 'e' && s.back() != 'E' && s.back() != 'p';
    if (!s.empty() && !glued) s += white(rng) + " ";
    s += tok;
  }
  s += white(rng);
  if (rng.chance(0.5)) s += "end";
  return s;
}

std::FILE* file_with(const std::string& text) {
  std::FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  return f;
}

TEST(ScanNumber, StreamsWithTinyBlocksMatchFscanf) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    Rng rng(seed);
    const std::string text = stream_text(rng, 200);
    std::FILE* f = file_with(text);
    ASSERT_NE(f, nullptr);
    const std::vector<Step> expected = scan_stream_fscanf(f);
    EXPECT_EQ(expected.size(), 200u) << "seed=" << seed;  // every generated token converts
    for (const std::size_t block : {1u, 2u, 3u, 7u, 64u, 1u << 20}) {
      std::rewind(f);
      ByteSource in(f, block);
      ASSERT_EQ(scan_stream_ours(in), expected) << "seed=" << seed << " block=" << block << " text=" << escaped(text);
      EXPECT_FALSE(in.failed());
    }
    std::fclose(f);
  }
}

// The adversarial random inputs (quirks, failures, words, hexadecimal) through
// blocks so small that every token straddles: the same values and ends as sscanf.
TEST(ScanNumber, RandomTokensThroughTinyBlocks) {
  const std::int64_t total = case_budget(20000);
  Rng rng(91);
  for (std::int64_t i = 0; i < total; ++i) {
    std::string s = random_input(rng);
    std::vector<Kind> kinds(4);
    for (Kind& k : kinds) k = rng.chance(0.8) ? (rng.chance(0.6) ? Kind::f : Kind::lf) : Kind::d;
    const std::vector<Step> expected = oracle(s, kinds);
    s.push_back('\0');  // fmemopen refuses an empty buffer; the NUL is never reached
    std::FILE* f = fmemopen(s.data(), s.size() - 1 == 0 ? 1 : s.size() - 1, "r");
    ASSERT_NE(f, nullptr);
    if (s.size() == 1) std::fgetc(f);
    const std::size_t block = static_cast<std::size_t>(1 + rng.below(4));
    ByteSource in(f, block);
    std::vector<Step> got;
    for (const Kind kind : kinds) {
      Step st;
      st.kind = kind;
      float v = 0.0f;
      double w = 0.0;
      int d = 0;
      st.ok = kind == Kind::f ? scan_float(in, v) : kind == Kind::lf ? scan_double(in, w) : scan_int(in, d);
      if (!st.ok) {
        got.push_back(Step{});
        break;
      }
      st.bits = kind == Kind::f ? std::bit_cast<std::uint32_t>(v)
                : kind == Kind::lf ? std::bit_cast<std::uint64_t>(w) : static_cast<std::uint32_t>(d);
      // The position in the stream less what is buffered and not yet taken.
      st.end = static_cast<std::size_t>(std::ftell(f)) - static_cast<std::size_t>(in.buffer_end() - in.cursor());
      got.push_back(st);
    }
    std::fclose(f);
    s.pop_back();
    if (got != expected) {
      ASSERT_EQ(got, expected) << "case=" << i << " block=" << block << " input=" << escaped(s);
    }
  }
}

TEST(ScanNumber, PipeMatchesFscanf) {
  Rng rng(77);
  const std::string text = stream_text(rng, 3000);
  std::FILE* f = file_with(text);
  ASSERT_NE(f, nullptr);
  const std::vector<Step> expected = scan_stream_fscanf(f);
  std::fclose(f);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  // The writer sends uneven pieces so that reads return short blocks.
  std::FILE* rf = ::fdopen(fds[0], "r");
  ASSERT_NE(rf, nullptr);
  std::thread writer([&text, wfd = fds[1]] {
    std::size_t pos = 0, piece = 1;
    while (pos < text.size()) {
      const std::size_t n = std::min(piece, text.size() - pos);
      const ssize_t w = ::write(wfd, text.data() + pos, n);
      if (w <= 0) break;
      pos += static_cast<std::size_t>(w);
      piece = piece * 7 % 13 + 1;
    }
    ::close(wfd);
  });
  std::vector<Step> got;
  {
    ByteSource in(rf, 5);
    got = scan_stream_ours(in);
    // Drain so the writer never blocks on a full pipe.
    while (in.refill()) in.skip(static_cast<std::size_t>(in.buffer_end() - in.cursor()));
  }
  writer.join();
  std::fclose(rf);
  EXPECT_EQ(got, expected);
}

// ---------------------------------------------------------------------------
// Tokens longer than any buffer.

TEST(ScanNumber, MegabyteTokens) {
  Rng rng(5);
  const std::string run = "1" + digits(rng, 1 << 20);
  const std::vector<std::string> inputs = {
      "0." + run + " 2",  // a value below 1 from a million digits
      "-" + run.substr(0, 30) + "." + run + "e-25x",  // a million fraction digits after -1e29, scaled
      run + "e-1048600 3",                            // a million integer digits, scaled to about 1
      run.substr(0, 30) + "." + run + "e-1000050 1",  // underflow to 0
      "+" + std::string(1 << 20, '0') + "1.5e0 4",
      // Exponent and fraction length cancel only if the exponent is read whole: inf.
      "0." + std::string(99999, '0') + "1e1000000 5",
  };
  for (const std::string& s : inputs) {
    const std::vector<Step> expected = oracle(s, floats(3));
    ASSERT_TRUE(expected[0].ok);
    EXPECT_EQ(ours(s, floats(3)), expected) << s.substr(0, 40);
    EXPECT_EQ(ours(s, doubles(3)), oracle(s, doubles(3))) << s.substr(0, 40);
    // Through a stream too, where the token spans many blocks.
    std::FILE* f = file_with(s);
    ASSERT_NE(f, nullptr);
    ByteSource in(f, 4096);
    float v = 0.0f, w = 0.0f;
    EXPECT_TRUE(scan_float(in, v));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(v), expected[0].bits);
    EXPECT_EQ(scan_float(in, w), expected[1].ok);
    std::fclose(f);
  }

  const std::string int_input = run + " -" + run + " 7";
  EXPECT_EQ(ours(int_input, ints(4)), oracle(int_input, ints(4)));
  std::FILE* f = file_with(int_input);
  ASSERT_NE(f, nullptr);
  ByteSource in(f, 1000);
  int a = 0, b = 0, c = 0;
  EXPECT_TRUE(scan_int(in, a) && scan_int(in, b) && scan_int(in, c));
  EXPECT_EQ(a, -1);  // LONG_MAX narrowed
  EXPECT_EQ(b, 0);   // LONG_MIN narrowed
  EXPECT_EQ(c, 7);
  std::fclose(f);
}

// ---------------------------------------------------------------------------
// A token longer than the memory left.

// `prefix`, then the digit 1 without end: a stream whose last token never ends.
[[maybe_unused]] std::FILE* endless_token_after(const std::string& prefix) {
  struct Cookie {
    std::string prefix;
    std::size_t pos = 0;
  };
  cookie_io_functions_t io{};
  io.read = [](void* cookie, char* buf, std::size_t size) -> ssize_t {
    auto& c = *static_cast<Cookie*>(cookie);
    for (std::size_t i = 0; i < size; ++i) buf[i] = c.pos < c.prefix.size() ? c.prefix[c.pos++] : '1';
    return static_cast<ssize_t>(size);
  };
  io.close = [](void* cookie) {
    delete static_cast<Cookie*>(cookie);
    return 0;
  };
  return fopencookie(new Cookie{prefix, 0}, "r", io);
}

// Caps this process's address space at what it uses now plus 64 MiB.
[[maybe_unused]] bool cap_address_space() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0;
  if (!(statm >> pages)) return false;
  const auto page = static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
  const auto limit = static_cast<rlim_t>(pages * page + (64u << 20));
  const rlimit cap{limit, limit};
  return ::setrlimit(RLIMIT_AS, &cap) == 0;
}

// Each check runs in a child process whose address space is capped, over a
// stream whose last token never ends: the copy of that token runs out of memory,
// which the scanner and every reader that calls it must report as such, after
// the points before it.
TEST(ScanNumber, TokenBeyondMemoryIsReportedAsOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator aborts on a failed allocation instead of throwing";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  using Check = std::function<bool(ByteSource&)>;
  const auto reader = [](auto read, std::int32_t points) {
    return Check([read, points](ByteSource& in) {
      PointColumns cloud;
      PointAppender out(cloud, no_progress());
      return read(in, out).failure == Failure::out_of_memory && cloud.count == points;
    });
  };
  const struct {
    const char* name;
    const char* prefix;
    Check check;
  } cases[] = {
      {"%f", " ", [](ByteSource& in) { float v = 0.0f; return !scan_float(in, v) && in.out_of_memory(); }},
      {"%lf", "-1.", [](ByteSource& in) { double v = 0.0; return !scan_double(in, v) && in.out_of_memory(); }},
      {"%d", "+", [](ByteSource& in) { int v = 0; return !scan_int(in, v) && in.out_of_memory(); }},
      // The text reader holds its first lines while it decides the layout, so
      // the endless second line stops it before any point is stored.
      {"text cloud", "1 2 3\n4 5 ", reader([](ByteSource& i, PointAppender& o) { return read_text_cloud(i, o); }, 0)},
      {"nine-field PLY", "ply\nformat ascii 1.0\nend_header\n1 2 3 4 5 6 7 8 9\n1 2 3 4 5 6 7 8 ",
       reader([](ByteSource& i, PointAppender& o) { return read_ply_cloud(i, o); }, 1)},
      {"declared ASCII PLY",
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty uchar z\n"
       "end_header\n1 2 3\n4 5 6\n7 8 ",
       reader([](ByteSource& i, PointAppender& o) { return read_ply_cloud(i, o); }, 2)},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          std::FILE* f = endless_token_after(c.prefix);
          ByteSource in(f);
          if (f == nullptr || !cap_address_space()) std::_Exit(2);
          std::_Exit(c.check(in) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << c.name;
  }
#endif
}

}  // namespace
}  // namespace ptdelta
