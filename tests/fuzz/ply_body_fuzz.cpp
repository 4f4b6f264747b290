// ply_body_fuzz.cpp - whole PLY streams (header and ASCII or binary body) on arbitrary bytes
// The first byte picks a ready-made header or none (the input is then the whole stream), so the
// body readers are reached at once instead of only after the fuzzer finds a valid header.
// Every stream is read again on three threads in small windows, keeping normals, and once more on
// one thread keeping normals: the same outcome and points bit for bit, and the same normals, one
// per point or none. (Seeds with normals declared start with byte 0: their header is their own.)
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/ply_reader.h"

namespace {

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  return true;
}

const char* const headers[] = {
    "",
    "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\nend_header\n",
    "ply\nformat binary_little_endian 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
    "end_header\n",
    "ply\nformat binary_big_endian 1.0\nelement face 1\nproperty list uchar int vertex_indices\nelement vertex 2\n"
    "property double z\nproperty uchar red\nproperty double y\nproperty short x\nend_header\n",
    "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty list uint float x\nproperty int y\n"
    "property float x\nproperty float z\nend_header\n",
    "ply\nformat ascii 1.0\nelement vertex 2\nproperty uchar x\nproperty int8 y\nproperty double z\n"
    "property list uchar int n\nend_header\n",
    "ply\nformat ascii 1.0\nelement vertex 2000000000\nproperty float x\nproperty float y\nproperty float z\n"
    "end_header\n",
    "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\nproperty float x\nproperty float y\n"
    "property float z\nend_header\n",
    "ply\nformat ascii 1.0\nend_header\n",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ptdelta;
  if (size == 0) return 0;
  const std::size_t pick = data[0] % (sizeof headers / sizeof headers[0]);
  std::string stream = headers[pick];
  stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
  PointColumns cloud;
  ByteSource source(stream.data(), stream.size());
  PointAppender out(cloud, no_progress());
  const PlyReadResult r = read_ply_cloud(source, out);
  const Failure f = r.failure;
  PTDELTA_FUZZ_CHECK(f == Failure::none || f == Failure::unsupported || f == Failure::out_of_memory);
  PTDELTA_FUZZ_CHECK(cloud.count >= 0);
  // No point is made of fewer bytes than its three coordinates' smallest encoding.
  PTDELTA_FUZZ_CHECK(static_cast<std::size_t>(cloud.count) <= stream.size());

  const bool finished = out.finish();

  // Again keeping normals: on three threads in small windows, then on one.
  StoredNormals normals[2];
  for (int k = 0; k < 2; ++k) {
    PointColumns again_cloud;
    ByteSource again(stream.data(), stream.size());
    PointAppender again_out(again_cloud, no_progress());
    again_out.keep_normals(normals[k]);
    const PlyReadResult split = read_ply_cloud(again, again_out, k == 0 ? PlyReadOptions{3, 16 + size % 61}
                                                                          : PlyReadOptions{});
    PTDELTA_FUZZ_CHECK(split.failure == r.failure && split.stopped_at_line == r.stopped_at_line &&
                       split.vertices_read == r.vertices_read && split.vertices_declared == r.vertices_declared);
    PTDELTA_FUZZ_CHECK(again_out.finish() == finished);
    PTDELTA_FUZZ_CHECK(same_bits(again_cloud.x, cloud.x) && same_bits(again_cloud.y, cloud.y) &&
                       same_bits(again_cloud.z, cloud.z));
    const std::size_t n = normals[k].x.size();
    PTDELTA_FUZZ_CHECK(n == 0 || n == static_cast<std::size_t>(cloud.count));
    PTDELTA_FUZZ_CHECK(normals[k].y.size() == n && normals[k].z.size() == n);
  }
  PTDELTA_FUZZ_CHECK(same_bits(normals[0].x, normals[1].x) && same_bits(normals[0].y, normals[1].y) &&
                     same_bits(normals[0].z, normals[1].z));
  return 0;
}
