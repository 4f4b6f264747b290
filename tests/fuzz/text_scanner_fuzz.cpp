// text_scanner_fuzz.cpp - the number scanner and the text cloud reader against the C library
// The first byte picks the check; the rest is the text. scan_float/scan_int must agree with
// fscanf on a memory stream value for value, and read_text_cloud with its C-library oracle bit for bit (layouts, stop line).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/scan_number.h"
#include "input/text_reader.h"
#include "support/oracles.h"

namespace {

using namespace ptdelta;
using ptdelta::testing::read_text_layouts_fscanf;
using ptdelta::testing::scan_float_fscanf;
using ptdelta::testing::scan_int_fscanf;

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Bit for bit, NaNs included.
bool same_column(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

void check_scanner(const std::uint8_t* data, std::size_t size, bool integers) {
  ByteSource source(data, size);
  // fmemopen refuses a zero-sized buffer; one extra byte that is never reached is fine
  // because the oracle stream is limited to `size` bytes below.
  std::vector<char> copy(data, data + size);
  copy.push_back('\0');
  std::FILE* stream = fmemopen(copy.data(), size == 0 ? 1 : size, "r");
  if (stream == nullptr) return;
  if (size == 0) std::fgetc(stream);
  for (int i = 0; i < 64; ++i) {
    if (integers) {
      int a = 12345, b = 12345;
      const bool ra = scan_int(source, a), rb = scan_int_fscanf(stream, b);
      PTDELTA_FUZZ_CHECK(ra == rb);
      if (!ra) break;
      PTDELTA_FUZZ_CHECK(a == b);
    } else {
      float a = 12345.0f, b = 12345.0f;
      const bool ra = scan_float(source, a), rb = scan_float_fscanf(stream, b);
      PTDELTA_FUZZ_CHECK(ra == rb);
      if (!ra) break;
      PTDELTA_FUZZ_CHECK(same_bits(a, b) || (a != a && b != b));
    }
  }
  std::fclose(stream);
}

void check_cloud(const std::uint8_t* data, std::size_t size) {
  PointColumns fast, slow;
  ByteSource source(data, size);
  PointAppender out(fast, no_progress());
  const TextReadResult got = read_text_cloud(source, out);
  const Failure f1 = got.failure;
  std::int64_t stopped_at_line = 0;
  const Failure f2 =
      read_text_layouts_fscanf(std::string(reinterpret_cast<const char*>(data), size), slow, stopped_at_line);
  PTDELTA_FUZZ_CHECK(got.stopped_at_line == stopped_at_line);
  // The same bytes on three threads in small windows: the same points and stop line.
  PointColumns threaded;
  ByteSource again(data, size);
  PointAppender out_threaded(threaded, no_progress());
  const TextReadResult split = read_text_cloud(again, out_threaded, 3, 16 + size % 61);
  PTDELTA_FUZZ_CHECK(split.failure == got.failure && split.stopped_at_line == got.stopped_at_line);
  PTDELTA_FUZZ_CHECK(same_column(threaded.x, fast.x) && same_column(threaded.y, fast.y) &&
                     same_column(threaded.z, fast.z));
  PTDELTA_FUZZ_CHECK(f1 == f2);
  PTDELTA_FUZZ_CHECK(fast.count == slow.count);
  for (std::int32_t i = 0; i < fast.count; ++i) {
    const auto k = static_cast<std::size_t>(i);
    PTDELTA_FUZZ_CHECK(same_bits(fast.x[k], slow.x[k]) || (fast.x[k] != fast.x[k] && slow.x[k] != slow.x[k]));
    PTDELTA_FUZZ_CHECK(same_bits(fast.y[k], slow.y[k]) || (fast.y[k] != fast.y[k] && slow.y[k] != slow.y[k]));
    PTDELTA_FUZZ_CHECK(same_bits(fast.z[k], slow.z[k]) || (fast.z[k] != fast.z[k] && slow.z[k] != slow.z[k]));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) check_scanner(data, size, false);
  if (mode == 1) check_scanner(data, size, true);
  if (mode == 2) check_cloud(data, size);
  return 0;
}
