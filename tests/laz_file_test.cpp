// Compressed LAS files: real files against their twins or CRC-32, x y z alone, refusals, tables, damage, writing.
#include "input/laz_file.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/laz_data.h"

namespace ptdelta::laz {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& name) { return testing::laz_data(name); }

#define NEED_TEST_DATA()                                                              \
  if (!testing::have_laz_data()) GTEST_SKIP() << "no test data at " << testing::laz_data_dir()

// Every chunk decoded in file order; `failures` counts chunks that did not decode.
struct Decoded {
  LazRefusal refusal = LazRefusal::none;
  TableFailure table = TableFailure::none;
  LazLayout layout;
  std::vector<LazChunk> chunks;
  Bytes records;
  int failures = 0;
};

Decoded decode_all(const Bytes& file, LayerSet wanted = all_layers) {
  Decoded d;
  d.refusal = parse_laz_layout(file, d.layout);
  if (d.refusal != LazRefusal::none) return d;
  d.table = list_laz_chunks(file, d.layout, d.chunks);
  for (const LazChunk& chunk : d.chunks) {
    Bytes part(chunk.points * d.layout.record_length);
    if (decode_laz_chunk(file, d.layout, chunk, wanted, part.data()) != ChunkFailure::none) ++d.failures;
    d.records.insert(d.records.end(), part.begin(), part.end());
  }
  return d;
}

// The records of a plain LAS file.
Bytes las_records(const Bytes& las) {
  std::uint32_t offset = 0, count = 0;
  std::uint16_t length = 0;
  std::memcpy(&offset, las.data() + 96, 4);
  std::memcpy(&length, las.data() + 105, 2);
  std::memcpy(&count, las.data() + 107, 4);
  if (las[25] == 4) std::memcpy(&count, las.data() + 247, 4);
  return Bytes(las.begin() + offset, las.begin() + offset + std::size_t{count} * length);
}

// The points of a file as sorted (X, Y, Z, intensity, red, green, blue), the integers brought to a
// common origin (the header's offset over its scale), so that files of different formats and
// offsets holding the same points compare equal.
std::vector<std::array<std::int64_t, 7>> sorted_points(const Bytes& file, const Bytes& records, std::size_t rgb_at) {
  std::uint16_t length = 0;
  std::memcpy(&length, file.data() + 105, 2);
  double scale[3], offset[3];
  std::memcpy(scale, file.data() + 131, sizeof scale);
  std::memcpy(offset, file.data() + 155, sizeof offset);
  std::vector<std::array<std::int64_t, 7>> out;
  for (std::size_t i = 0; i + length <= records.size(); i += length) {
    std::array<std::int64_t, 7> p{};
    for (std::size_t a = 0; a < 3; ++a) {
      std::int32_t v = 0;
      std::memcpy(&v, &records[i + 4 * a], 4);
      p[a] = v + std::llround(offset[a] / scale[a]);
    }
    for (std::size_t f = 0; f < 4; ++f) {
      std::uint16_t v = 0;
      std::memcpy(&v, &records[i + (f == 0 ? 12 : rgb_at + 2 * (f - 1))], 2);
      p[3 + f] = v;
    }
    out.push_back(p);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::uint32_t crc_of(const Bytes& b) {
  return static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), b.data(), static_cast<uInt>(b.size())));
}

struct RealFile {
  const char* laz;
  const char* twin;  // "" when only the CRC-32 is known
  std::uint32_t crc;
  bool reordered;    // the twin holds the same records in another order
};

const RealFile real_files[] = {
    {"laspy_1_4_w_evlr.laz", "laspy_1_4_w_evlr.las", 0xaa8e9c22, false},
    {"laspy_simple.copc.laz", "laspy_simple.las", 0x0550430e, true},
    {"laszip4j_record-format-8.laz", "", 0x6633fe24, false},
    {"laspy_fullwave.laz", "", 0xfd750f21, false},
    {"lazrs_point-version-1-point-wise.laz", "lazrs_point-version-1-point-wise.las", 0x588ce04d, false},
    {"lazrs_point10.laz", "lazrs_point10.las", 0x0c07b5d6, false},
    {"lazperf_point10-1.0.laz", "lazperf_point10-1.0.las", 0x8002cfc7, false},
    {"lazperf_no-points-1.3.laz", "lazperf_no-points-1.3.las", 0x00000000, false},
    {"lazrs_point-time.laz", "lazrs_point-time.las", 0xbc8cd829, false},
    {"lazrs_point-color.laz", "lazrs_point-color.las", 0x93c8b4a1, false},
    {"lazrs_point-time-color.laz", "lazrs_point-time-color.las", 0x752edfa7, false},
    {"lazrs_extra-bytes.laz", "lazrs_extra-bytes.las", 0xcd9fe17b, false},
    {"lazperf_autzen_trim.laz", "lazperf_autzen_trim.las", 0x7c110e93, false},
};

TEST(LazFile, RealFilesMatchTwinsAndChecksums) {
  NEED_TEST_DATA();
  for (const RealFile& f : real_files) {
    const Decoded d = decode_all(read_file(f.laz));
    ASSERT_EQ(d.refusal, LazRefusal::none) << f.laz;
    ASSERT_EQ(d.table, TableFailure::none) << f.laz;
    EXPECT_EQ(d.failures, 0) << f.laz;
    EXPECT_EQ(d.records.size(), d.layout.point_count * d.layout.record_length) << f.laz;
    if (!f.reordered) {
      EXPECT_EQ(crc_of(d.records), f.crc) << f.laz;
    }
    if (*f.twin == '\0') continue;
    const Bytes twin_file = read_file(f.twin);
    const Bytes twin = las_records(twin_file);
    if (f.reordered) {  // a format 7 file against its format 3 original
      EXPECT_EQ(sorted_points(read_file(f.laz), d.records, 30), sorted_points(twin_file, twin, 28)) << f.laz;
    } else {
      EXPECT_EQ(d.records, twin) << f.laz;
    }
  }
}

TEST(LazFile, LayoutOfTheWorkedExamples) {
  NEED_TEST_DATA();
  const Decoded evlr = decode_all(read_file("laspy_1_4_w_evlr.laz"), xyz_layers);
  EXPECT_EQ(evlr.layout.point_data_offset, 2399u);
  ASSERT_EQ(evlr.chunks.size(), 1u);
  EXPECT_EQ(evlr.chunks[0].offset, 2407u);
  EXPECT_EQ(evlr.chunks[0].offset + evlr.chunks[0].bytes, 8858u);
  const Decoded copc = decode_all(read_file("laspy_simple.copc.laz"), xyz_layers);
  EXPECT_EQ(copc.layout.chunk_size, variable_chunk_size);
  ASSERT_EQ(copc.chunks.size(), 65u);
  const LazChunk first[] = {{1717, 458, 17}, {2175, 398, 14}, {2573, 404, 14}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(copc.chunks[i].offset, first[i].offset);
    EXPECT_EQ(copc.chunks[i].bytes, first[i].bytes);
    EXPECT_EQ(copc.chunks[i].points, first[i].points);
  }
}

// Only x y z wanted: the other layers are not read, and x y z come out the same.
TEST(LazFile, XyzAloneMatchesFullDecode) {
  NEED_TEST_DATA();
  for (const char* name : {"laspy_1_4_w_evlr.laz", "laspy_simple.copc.laz", "laszip4j_record-format-8.laz",
                           "laspy_fullwave.laz"}) {
    const Bytes file = read_file(name);
    const Decoded full = decode_all(file), xyz = decode_all(file, xyz_layers);
    ASSERT_EQ(xyz.failures, 0) << name;
    ASSERT_EQ(xyz.records.size(), full.records.size()) << name;
    for (std::size_t i = 0; i < full.records.size(); i += full.layout.record_length)
      ASSERT_EQ(std::memcmp(&xyz.records[i], &full.records[i], 12), 0) << name << " record " << i / full.layout.record_length;
  }
}

void put(Bytes& b, std::size_t at, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, v >>= 8) b[at + i] = static_cast<std::uint8_t>(v);
}

TEST(LazFile, RefusesWhatTheVlrRulesRefuse) {
  NEED_TEST_DATA();
  const Bytes good = read_file("laspy_1_4_w_evlr.laz");
  LazLayout layout;
  ASSERT_EQ(parse_laz_layout(good, layout), LazRefusal::none);
  const std::size_t vlr = layout.vlr_start, payload = vlr + 54;
  struct Case {
    const char* what;
    std::size_t at, size;
    std::uint64_t value;
    LazRefusal expected;
  };
  const Case cases[] = {
      {"signature", 0, 1, 'X', LazRefusal::not_las},
      {"format bit 6", 104, 1, 0x80 | 0x40 | 6, LazRefusal::bad_format_bits},
      {"user id", vlr + 2, 1, 'X', LazRefusal::missing_vlr},
      {"coder", payload + 2, 2, 1, LazRefusal::bad_coder},
      {"compressor", payload, 2, 4, LazRefusal::bad_compressor},
      {"compressor 2 with POINT14", payload, 2, 2, LazRefusal::bad_items},
      {"no items", payload + 32, 2, 0, LazRefusal::bad_vlr},
      {"payload length", vlr + 20, 2, 41, LazRefusal::bad_vlr},
      {"item size", payload + 36, 2, 28, LazRefusal::bad_items},
      {"obsolete item", payload + 34, 2, 3, LazRefusal::bad_items},
      {"record length", 105, 2, 31, LazRefusal::bad_items},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    put(b, c.at, c.value, c.size);
    EXPECT_EQ(parse_laz_layout(b, layout), c.expected) << c.what;
  }
  Bytes plain = read_file("laspy_1_4_w_evlr.las");
  EXPECT_EQ(parse_laz_layout(plain, layout), LazRefusal::not_compressed);
}

// A pointer of -1 (the real one closing the file) and a missing table (pointer at the first chunk)
// list the same chunks as the table does.
TEST(LazFile, ChunkTablePointerVariants) {
  NEED_TEST_DATA();
  for (const char* name : {"laspy_simple.copc.laz", "laspy_1_4_w_evlr.laz"}) {
    const Bytes good = read_file(name);
    const Decoded reference = decode_all(good);
    const std::size_t at = reference.layout.point_data_offset;
    Bytes minus_one = good;
    put(minus_one, at, ~std::uint64_t{0}, 8);
    minus_one.insert(minus_one.end(), good.begin() + static_cast<std::ptrdiff_t>(at),
                     good.begin() + static_cast<std::ptrdiff_t>(at + 8));
    Bytes missing = good;
    put(missing, at, at, 8);
    for (const Bytes* variant : {&minus_one, &missing}) {
      const Decoded d = decode_all(*variant);
      ASSERT_EQ(d.table, TableFailure::none) << name;
      EXPECT_EQ(d.failures, 0) << name;
      EXPECT_EQ(d.chunks.size(), reference.chunks.size()) << name;
      EXPECT_EQ(d.records, reference.records) << name;
    }
  }
}

// Cut short or with bytes flipped, a file decodes what it can and reports the rest; never a crash.
TEST(LazFile, DamagedFilesReportInsteadOfCrashing) {
  NEED_TEST_DATA();
  for (const char* name : {"laspy_simple.copc.laz", "laszip4j_record-format-8.laz", "lazrs_point-time-color.laz"}) {
    const Bytes good = read_file(name);
    const Decoded whole = decode_all(good);
    ASSERT_FALSE(whole.chunks.empty()) << name;
    const std::uint64_t points_end = whole.chunks.back().offset + whole.chunks.back().bytes;
    for (std::size_t cut = 0; cut < points_end; cut += 1 + good.size() / 97) {
      const Decoded d = decode_all(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
      EXPECT_TRUE(d.refusal != LazRefusal::none || d.table != TableFailure::none || d.failures > 0)
          << name << " cut at " << cut;
    }
    std::uint32_t seed = 12345;
    for (int round = 0; round < 60; ++round) {
      Bytes b = good;
      for (int flips = 0; flips < 4; ++flips) {
        seed = seed * 1664525u + 1013904223u;
        b[(seed >> 8) % b.size()] ^= static_cast<std::uint8_t>(1u << (seed & 7u));
      }
      (void)decode_all(b);
    }
  }
}

// Written and read back: fixed and variable chunks, item versions 3 and 4, pointwise too.
TEST(LazFile, EncodedFilesDecodeToTheirRecords) {
  NEED_TEST_DATA();
  struct Case {
    const char* las;
    LazEncoding encoding;
  };
  const Case cases[] = {
      {"laspy_1_4_w_evlr.las", {Compressor::layered_chunked, 3, 300, {}}},
      {"laspy_1_4_w_evlr.las", {Compressor::layered_chunked, 4, variable_chunk_size, {1, 2, 497, 500}}},
      {"laspy_simple.las", {Compressor::pointwise_chunked, 2, 400, {}}},
      {"lazrs_extra-bytes.las", {Compressor::pointwise_chunked, 2, variable_chunk_size, {1000, 65}}},
      {"lazperf_no-points-1.3.las", {Compressor::pointwise_chunked, 2, 50000, {}}},
  };
  for (const Case& c : cases) {
    const Bytes las = read_file(c.las);
    const Bytes laz = encode_laz_from_las(las, c.encoding);
    ASSERT_FALSE(laz.empty()) << c.las;
    const Decoded d = decode_all(laz);
    ASSERT_EQ(d.refusal, LazRefusal::none) << c.las;
    ASSERT_EQ(d.table, TableFailure::none) << c.las;
    EXPECT_EQ(d.failures, 0) << c.las;
    EXPECT_EQ(d.records, las_records(las)) << c.las;
  }
}

}  // namespace
}  // namespace ptdelta::laz
