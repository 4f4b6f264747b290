// pcd_reader_fuzz.cpp - PCD streams (header and ascii, binary or LZF-compressed body) on arbitrary bytes
// The first byte picks a ready-made header or none (the input is then the whole stream, recognised by
// content as the tool does), so the body readers and the decompressor are reached at once.
// Every stream is read again keeping normals: the same outcome and points, and one normal per
// point or none. (Seeds with normal fields start with byte 0: their header is their own.)
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "input/pcd_reader.h"

namespace {

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) return false;
  return true;
}

const char* const headers[] = {
    "",
    "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 3\nHEIGHT 1\n"
    "VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 3\nDATA ascii\n",
    "VERSION .7\nFIELDS rgb z normal y x\nSIZE 4 8 4 2 4\nTYPE U F F I F\nCOUNT 1 1 3 1 1\nWIDTH 4\nHEIGHT 1\n"
    "POINTS 4\nDATA binary\n",
    "VERSION .7\nFIELDS x y z intensity\nSIZE 4 4 4 1\nTYPE F F F U\nWIDTH 2\nHEIGHT 2\nDATA binary_compressed\n",
    "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 8\nHEIGHT 1\nPOINTS 8\nDATA binary_compressed\n",
    "FIELDS x y z\nSIZE 8 8 8\nTYPE F F F\nWIDTH 4000000000\nHEIGHT 1\nDATA binary\n",
    "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2000000000\nDATA ascii\n",
    "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 200000000\nDATA binary_compressed\n",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ptdelta;
  if (size == 0) return 0;
  const std::size_t pick = data[0] % (sizeof headers / sizeof headers[0]);
  std::string stream = headers[pick];
  stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
  // A shifted run reads every coordinate through double; both paths are fuzzed.
  const CoordinateShift shift = (data[0] & 0x80) != 0 ? CoordinateShift{-1000.0, 0.0, 0.0} : CoordinateShift{};
  PointColumns cloud;
  ByteSource source(stream.data(), stream.size());
  Failure f;
  FileFacts facts;
  PointAppender out(cloud, no_progress(), {false, shift});
  if (pick == 0) {
    const ReadOutcome outcome = read_cloud(InputKind::text, source, out);
    f = outcome.failure;
    PTDELTA_FUZZ_CHECK(outcome.files.size() == 1 && !outcome.list);
    facts = outcome.files.front();
    // Only a format's reader refuses a file, and says which it was.
    PTDELTA_FUZZ_CHECK(f != Failure::unsupported || outcome.failed_format == facts.format);
  } else {
    f = read_pcd_cloud(source, out, facts);
  }
  PTDELTA_FUZZ_CHECK(f == Failure::none || f == Failure::unsupported || f == Failure::out_of_memory);
  PTDELTA_FUZZ_CHECK(cloud.count >= 0 && facts.skipped_points >= 0);
  if (facts.shortfall) PTDELTA_FUZZ_CHECK(facts.shortfall->read < facts.shortfall->declared);
  // A compressed block decodes to at most 88 bytes for each byte of it, and a point takes at least 3 bytes.
  PTDELTA_FUZZ_CHECK(static_cast<std::size_t>(cloud.count) <= stream.size() * 88 / 3 + 1);

  PointColumns again_cloud;
  StoredNormals normals;
  ByteSource again(stream.data(), stream.size());
  FileFacts again_facts;
  PointAppender again_out(again_cloud, no_progress(), {false, shift});
  again_out.keep_normals(normals);
  const Failure g = pick == 0 ? read_cloud(InputKind::text, again, again_out).failure
                              : read_pcd_cloud(again, again_out, again_facts);
  PTDELTA_FUZZ_CHECK(g == f);
  // After a failure too, so that normals which cover only some points are dropped.
  PTDELTA_FUZZ_CHECK(again_out.finish());
  if (pick != 0) PTDELTA_FUZZ_CHECK(again_facts.skipped_points == facts.skipped_points);
  PTDELTA_FUZZ_CHECK(same_bits(again_cloud.x, cloud.x) && same_bits(again_cloud.y, cloud.y) &&
                     same_bits(again_cloud.z, cloud.z));
  const std::size_t n = normals.x.size();
  PTDELTA_FUZZ_CHECK(n == 0 || n == static_cast<std::size_t>(again_cloud.count));
  PTDELTA_FUZZ_CHECK(normals.y.size() == n && normals.z.size() == n);
  return 0;
}
