// laz_reader_fuzz.cpp - compressed LAS files on arbitrary bytes: header, LASzip record, chunk table, chunk streams
// The first byte picks a ready-made file (encoded here from a written LAS file) that the next bytes patch
// and may cut short, or none (the rest of the input is then the whole file).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/laz_file.h"
#include "input/laz_reader.h"
#include "support/cloud_writers.h"

namespace {

using ptdelta::laz::Compressor;
using ptdelta::laz::LazEncoding;

// Small files of every item family: pointwise and layered, fixed and variable chunks, colours,
// near-infrared and extra bytes, with the fields after x y z varying from point to point.
std::vector<std::string> make_files() {
  using namespace ptdelta::testing;
  std::vector<std::string> files = {""};
  const struct {
    int minor, format, extra;
    LazEncoding encoding;
  } kinds[] = {
      {2, 0, 0, {Compressor::pointwise_chunked, 2, 5, {}}},
      {2, 1, 0, {Compressor::pointwise_chunked, 2, 7, {}}},
      {2, 3, 3, {Compressor::pointwise_chunked, 2, ptdelta::laz::variable_chunk_size, {3, 9}}},
      {4, 6, 0, {Compressor::layered_chunked, 3, 6, {}}},
      {4, 7, 0, {Compressor::layered_chunked, 4, ptdelta::laz::variable_chunk_size, {1, 4, 7}}},
      {4, 8, 2, {Compressor::layered_chunked, 3, 12, {}}},
  };
  static constexpr int min_length[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
  for (const auto& k : kinds) {
    LasFileShape shape;
    shape.minor = k.minor;
    shape.format = k.format;
    shape.record_length = min_length[k.format] + k.extra;
    std::vector<RawXyz> points;
    for (std::int32_t i = 0; i < 12; ++i) points.push_back({i * 37 - 100, (i * i) % 11, 5000 - i * 3});
    std::string las = las_file(shape, points);
    const std::size_t length = static_cast<std::size_t>(shape.record_length);
    const std::size_t first = las.size() - points.size() * length;
    std::uint32_t seed = 7;
    for (std::size_t p = 0; p < points.size(); ++p)
      for (std::size_t b = 12; b < length; ++b) {
        seed = seed * 1664525u + 1013904223u;
        if ((seed >> 28) < 5) las[first + p * length + b] = static_cast<char>(seed >> 20);
      }
    const std::vector<std::uint8_t> laz = ptdelta::laz::encode_laz_from_las(
        {reinterpret_cast<const std::uint8_t*>(las.data()), las.size()}, k.encoding);
    if (!laz.empty()) files.emplace_back(laz.begin(), laz.end());
  }
  return files;
}

struct Read {
  ptdelta::Failure failure;
  ptdelta::PointColumns cloud;
  ptdelta::FileFacts facts;
};

void read(const std::string& file, int threads, Read& r) {
  using namespace ptdelta;
  ByteSource source(file.data(), file.size());
  PointAppender out(r.cloud, no_progress());
  r.failure = read_laz_cloud(source, out, r.facts, threads);
  if (r.failure == Failure::none && !out.finish()) r.failure = Failure::out_of_memory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ptdelta;
  static const std::vector<std::string> files = make_files();
  if (size == 0) return 0;
  std::string file = files[data[0] % files.size()];
  std::size_t used = 1;
  if (file.empty()) {
    file.assign(reinterpret_cast<const char*>(data + 1), size - 1);
  } else if (size > 1) {
    // Patches of "offset (two bytes), byte", then one byte that may cut the file short.
    const std::size_t patches = data[1] % 9;
    used = 2;
    for (std::size_t p = 0; p < patches && used + 2 < size; ++p, used += 3) {
      const std::size_t at = (data[used] | std::size_t{data[used + 1]} << 8) % file.size();
      file[at] = static_cast<char>(data[used + 2]);
    }
    if (used < size && data[used] < 128) file.resize(file.size() * data[used] / 128);
  }
  Read one, two;
  read(file, 1, one);
  read(file, 2, two);
  PTDELTA_FUZZ_CHECK(one.failure == Failure::none || one.failure == Failure::unsupported ||
                     one.failure == Failure::out_of_memory);
  // Chunks decode on their own: the threads never change the points or the facts.
  PTDELTA_FUZZ_CHECK(two.failure == one.failure);
  if (one.failure != Failure::none) return 0;
  PTDELTA_FUZZ_CHECK(two.cloud.count == one.cloud.count);
  const auto n = static_cast<std::size_t>(one.cloud.count) * sizeof(float);
  PTDELTA_FUZZ_CHECK(n == 0 || (std::memcmp(one.cloud.x.data(), two.cloud.x.data(), n) == 0 &&
                                std::memcmp(one.cloud.y.data(), two.cloud.y.data(), n) == 0 &&
                                std::memcmp(one.cloud.z.data(), two.cloud.z.data(), n) == 0));
  PTDELTA_FUZZ_CHECK(one.facts.shortfall.has_value() == two.facts.shortfall.has_value());
  if (one.facts.shortfall) {
    PTDELTA_FUZZ_CHECK(one.facts.shortfall->read == one.cloud.count);
    PTDELTA_FUZZ_CHECK(one.facts.shortfall->read < one.facts.shortfall->declared);
  }
  return 0;
}
