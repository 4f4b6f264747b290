// Pointwise LAZ chunks: the real files of compressors 1 and 2 against their LAS twins and
// CRC-32s, each chunk's stream consumed exactly; encoder round trips of hostile records.
#include "input/laz_pointwise.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ptdelta::laz {
namespace {

std::vector<std::uint8_t> read_whole(const std::string& path);

// The shared test data beside the clone; PTDELTA_LAZ_TESTDATA names another folder (a worktree).
std::string find_data_dir() {
  const std::string beside = PTDELTA_SOURCE_DIR "/../shared/testdata/laz/";
  if (!read_whole(beside + "README.md").empty()) return beside;
  const char* env = std::getenv("PTDELTA_LAZ_TESTDATA");
  return env != nullptr ? std::string(env) + "/" : beside;
}

std::vector<std::uint8_t> read_whole(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    std::uint8_t buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
  }
  return bytes;
}

// Test-only framing: just enough of the header, the compression record and the chunk table to
// find the chunks of the files used here.
struct Framing {
  std::vector<ItemSpec> items;
  std::uint32_t compressor = 0, chunk_size = 0, offset = 0, record_length = 0;
  std::uint64_t points = 0;
  std::vector<std::uint64_t> chunk_bytes;  // compressor 2: from the table
  std::uint64_t table_at = 0;
  bool table_consumed_exactly = false;
};

Framing frame(const std::vector<std::uint8_t>& f) {
  Framing r;
  r.offset = get32(&f[96]);
  r.record_length = get16(&f[105]);
  r.points = f[25] == 4 ? get64(&f[247]) : get32(&f[107]);
  std::size_t at = get16(&f[94]);
  for (std::uint32_t v = 0, count = get32(&f[100]); v < count; ++v) {
    const std::size_t payload = get16(&f[at + 20]);
    if (std::memcmp(&f[at + 2], "laszip encoded", 14) == 0 && get16(&f[at + 18]) == 22204) {
      const std::uint8_t* p = &f[at + 54];
      r.compressor = get16(p);
      r.chunk_size = get32(p + 12);
      for (std::uint32_t i = 0, n = get16(p + 32); i < n; ++i) {
        r.items.push_back({static_cast<std::uint16_t>(get16(p + 34 + 6 * i)),
                           static_cast<std::uint16_t>(get16(p + 36 + 6 * i)),
                           static_cast<std::uint16_t>(get16(p + 38 + 6 * i))});
      }
    }
    at += 54 + payload;
  }
  if (r.compressor == 2) {
    r.table_at = get64(&f[r.offset]);
    const std::uint32_t chunks = get32(&f[r.table_at + 4]);
    if (chunks > 0) {
      const std::size_t stream_at = r.table_at + 8;
      ArithmeticDecoder dec(&f[stream_at], f.size() - stream_at);
      IntegerDecompressor ic(32, 2);
      std::int32_t last = 0;
      for (std::uint32_t i = 0; i < chunks; ++i) {
        last = ic.decompress(dec, last, 1);
        r.chunk_bytes.push_back(static_cast<std::uint32_t>(last));
      }
      r.table_consumed_exactly = dec.consumed() == f.size() - stream_at && !dec.overrun();
    }
  }
  return r;
}

struct RealFile {
  const char* name;
  std::uint32_t compressor;
  std::uint32_t crc;
  std::size_t chunks;
};

TEST(LazPointwise, RealFilesMatchTheirTwins) {
  const std::string data_dir = find_data_dir();
  if (read_whole(data_dir + "README.md").empty()) GTEST_SKIP() << "no LAZ test data in " << data_dir;
  const RealFile files[] = {
      {"lazrs_point-version-1-point-wise", 1, 0x588ce04d, 1}, {"lazrs_point10", 2, 0x0c07b5d6, 1},
      {"lazperf_point10-1.0", 2, 0x8002cfc7, 1},              {"lazrs_point-time", 2, 0xbc8cd829, 1},
      {"lazrs_point-color", 2, 0x93c8b4a1, 1},                {"lazrs_point-time-color", 2, 0x752edfa7, 1},
      {"lazrs_extra-bytes", 2, 0xcd9fe17b, 1},                {"lazperf_autzen_trim", 2, 0x7c110e93, 3},
  };
  for (const RealFile& rf : files) {
    SCOPED_TRACE(rf.name);
    const std::vector<std::uint8_t> laz = read_whole(data_dir + rf.name + ".laz");
    const std::vector<std::uint8_t> las = read_whole(data_dir + rf.name + ".las");
    ASSERT_FALSE(laz.empty());
    ASSERT_FALSE(las.empty());
    const Framing fr = frame(laz);
    ASSERT_EQ(fr.compressor, rf.compressor);
    ASSERT_TRUE(pointwise_items_supported(fr.items));
    ASSERT_EQ(record_length(fr.items), fr.record_length);
    std::vector<std::uint8_t> records(fr.points * fr.record_length);
    if (fr.compressor == 1) {
      const ChunkDecodeResult r = decode_pointwise_chunk(fr.items, &laz[fr.offset], laz.size() - fr.offset, fr.points,
                                                         records.data());
      EXPECT_EQ(r.status, ChunkStatus::ok);
      EXPECT_EQ(r.consumed, laz.size() - fr.offset);  // the stream runs to the end of the file
    } else {
      ASSERT_EQ(fr.chunk_bytes.size(), rf.chunks);
      EXPECT_TRUE(fr.table_consumed_exactly);
      std::size_t at = fr.offset + 8;
      std::uint64_t done = 0;
      for (std::uint64_t bytes : fr.chunk_bytes) {
        const std::uint64_t n = std::min<std::uint64_t>(fr.chunk_size, fr.points - done);
        ASSERT_LE(at + bytes, laz.size());
        const ChunkDecodeResult r =
            decode_pointwise_chunk(fr.items, &laz[at], bytes, n, records.data() + done * fr.record_length);
        EXPECT_EQ(r.status, ChunkStatus::ok);
        EXPECT_EQ(r.consumed, bytes) << "chunk at " << at;
        at += bytes;
        done += n;
      }
      EXPECT_EQ(at, fr.table_at);
      EXPECT_EQ(done, fr.points);
    }
    const std::size_t las_offset = get32(&las[96]);
    ASSERT_EQ(las.size() - las_offset, records.size());
    EXPECT_TRUE(std::equal(records.begin(), records.end(), las.begin() + static_cast<std::ptrdiff_t>(las_offset)));
    EXPECT_EQ(crc32(0, records.data(), static_cast<uInt>(records.size())), rf.crc);

    // The encoder's own chunk of the same records decodes back to them, consumed exactly.
    const std::uint64_t first = std::min<std::uint64_t>(fr.points, 5000);
    std::vector<std::uint8_t> chunk;
    encode_pointwise_chunk(fr.items, records.data(), first, chunk);
    std::vector<std::uint8_t> back(first * fr.record_length);
    const ChunkDecodeResult r = decode_pointwise_chunk(fr.items, chunk.data(), chunk.size(), first, back.data());
    EXPECT_EQ(r.status, ChunkStatus::ok);
    EXPECT_EQ(r.consumed, chunk.size());
    EXPECT_TRUE(std::equal(back.begin(), back.end(), records.begin()));
  }
}

}  // namespace
}  // namespace ptdelta::laz
