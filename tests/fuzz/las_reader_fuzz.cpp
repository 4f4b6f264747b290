// las_reader_fuzz.cpp - LAS streams on arbitrary bytes: header fields and records
// The first byte picks a ready-made valid header (built by the test writer) whose fields the next
// bytes overwrite in part, or none (the input is then the whole stream).
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/las_reader.h"
#include "support/cloud_writers.h"

namespace {

std::vector<std::string> make_headers() {
  using namespace ptdelta::testing;
  std::vector<std::string> h = {""};
  const struct {
    int minor, format;
    std::uint32_t gap;
  } kinds[] = {{2, 0, 0}, {2, 3, 17}, {4, 6, 0}, {4, 7, 40}, {3, 1, 0}};
  for (const auto& k : kinds) {
    LasFileShape shape;
    shape.minor = k.minor;
    shape.format = k.format;
    shape.gap = k.gap;
    shape.legacy_count = k.minor == 4 ? 0 : 3;
    shape.count_64 = 3;
    h.push_back(las_file(shape, {}));
  }
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ptdelta;
  static const std::vector<std::string> headers = make_headers();
  if (size == 0) return 0;
  std::string stream = headers[data[0] % headers.size()];
  std::size_t used = 1;
  // Up to four patches of "offset, byte" into the header: counts, format, lengths, scales.
  if (!stream.empty() && size > 1) {
    const std::size_t patches = data[1] % 5;
    used = 2;
    for (std::size_t p = 0; p < patches && used + 1 < size; ++p, used += 2)
      stream[data[used] % stream.size()] = static_cast<char>(data[used + 1]);
  }
  stream.append(reinterpret_cast<const char*>(data + used), size - used);
  PointColumns cloud;
  ByteSource source(stream.data(), stream.size());
  FileFacts facts;
  PointAppender out(cloud, no_progress());
  const Failure f = read_las_cloud(source, out, facts);
  PTDELTA_FUZZ_CHECK(f == Failure::none || f == Failure::unsupported || f == Failure::out_of_memory);
  PTDELTA_FUZZ_CHECK(cloud.count >= 0);
  if (facts.shortfall) PTDELTA_FUZZ_CHECK(facts.shortfall->read < facts.shortfall->declared);
  // Every record holds at least x, y and z.
  PTDELTA_FUZZ_CHECK(static_cast<std::size_t>(cloud.count) * 12 <= stream.size());
  return 0;
}
