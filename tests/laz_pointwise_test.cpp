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

#include "support/laz_data.h"
#include "support/random_clouds.h"

namespace ptdelta::laz {
namespace {


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
  if (!testing::have_laz_data()) GTEST_SKIP() << "no LAZ test data in " << testing::laz_data_dir();
  const RealFile files[] = {
      {"lazrs_point-version-1-point-wise", 1, 0x588ce04d, 1}, {"lazrs_point10", 2, 0x0c07b5d6, 1},
      {"lazperf_point10-1.0", 2, 0x8002cfc7, 1},              {"lazrs_point-time", 2, 0xbc8cd829, 1},
      {"lazrs_point-color", 2, 0x93c8b4a1, 1},                {"lazrs_point-time-color", 2, 0x752edfa7, 1},
      {"lazrs_extra-bytes", 2, 0xcd9fe17b, 1},                {"lazperf_autzen_trim", 2, 0x7c110e93, 3},
  };
  for (const RealFile& rf : files) {
    SCOPED_TRACE(rf.name);
    const std::vector<std::uint8_t> laz = testing::laz_data(std::string(rf.name) + ".laz");
    const std::vector<std::uint8_t> las = testing::laz_data(std::string(rf.name) + ".las");
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

namespace ptdelta::laz {
namespace {

using testing::Rng;

// Hostile values for each item, drawn so that every coding branch is met: coordinates at the
// 32-bit limits and wrapping, every flag byte, times repeating, stepping, jumping, interleaving
// and far apart, grey and wild colours, wave packet offsets of every kind.
struct Generator {
  Rng rng;
  std::uint64_t times[3] = {0x41D0000000000000ULL, 0x41D0000100000000ULL, 0};
  std::uint64_t step = 1000;

  std::int32_t coordinate(std::int32_t last) {
    switch (rng.below_u32(6)) {
      case 0: return INT32_MIN;
      case 1: return INT32_MAX;
      case 2: return static_cast<std::int32_t>(static_cast<std::uint32_t>(rng.next()));
      default: return wrap_add32(last, static_cast<std::int32_t>(rng.below_u32(201)) - 100);
    }
  }
  std::uint64_t time() {
    std::uint64_t& t = times[rng.below_u32(2)];
    switch (rng.below_u32(8)) {
      case 0: return t;                                                          // repeat
      case 1: return t = rng.next();                                             // anywhere
      case 2: return t += static_cast<std::uint64_t>(rng.below_u32(3)) * step;       // jump of several steps
      case 3: return t -= static_cast<std::uint64_t>(rng.below_u32(12)) * step;      // backwards
      case 4: return t += 0x100000000ULL;                                        // beyond 32 bits
      case 5: return t += rng.below_u32(2) ? 600ULL * step : 7;                      // far / tiny
      default: return t += static_cast<std::uint64_t>(step);                     // regular
    }
  }
  void item(const ItemSpec& it, std::uint8_t* p, const std::uint8_t* last) {
    switch (it.type) {
      case item_point10: {
        put32(p, static_cast<std::uint32_t>(coordinate(static_cast<std::int32_t>(get32(last)))));
        put32(p + 4, static_cast<std::uint32_t>(coordinate(static_cast<std::int32_t>(get32(last + 4)))));
        put32(p + 8, static_cast<std::uint32_t>(coordinate(static_cast<std::int32_t>(get32(last + 8)))));
        put16(p + 12, rng.below_u32(3) == 0 ? get16(last + 12) : rng.below_u32(2) ? 65535 : rng.below_u32(65536));
        for (int b = 14; b < 20; ++b) p[b] = rng.below_u32(3) == 0 ? last[b] : static_cast<std::uint8_t>(rng.below_u32(256));
        break;
      }
      case item_gpstime11: put64(p, time()); break;
      case item_rgb12: {
        const std::uint32_t red = rng.below_u32(4) == 0 ? 65535 : rng.below_u32(65536);
        const bool grey = rng.below_u32(3) == 0;
        put16(p, red);
        put16(p + 2, grey ? red : rng.below_u32(2) ? 0 : rng.below_u32(65536));
        put16(p + 4, grey ? red : rng.below_u32(65536));
        if (rng.below_u32(4) == 0) std::memcpy(p, last, 6);
        break;
      }
      case item_wavepacket13: {
        std::memcpy(p, last, 29);
        p[0] = static_cast<std::uint8_t>(rng.below_u32(256));
        const std::uint64_t offset = get64(last + 1);
        switch (rng.below_u32(4)) {
          case 0: break;
          case 1: put64(p + 1, offset + get32(last + 9)); break;
          case 2: put64(p + 1, offset - rng.below_u32(100000)); break;
          default: put64(p + 1, rng.next()); break;
        }
        for (int f = 9; f < 29; f += 4) put32(p + f, rng.below_u32(2) ? get32(last + f) + rng.below_u32(9) : static_cast<std::uint32_t>(rng.next()));
        break;
      }
      default:
        for (std::size_t i = 0; i < it.size; ++i) p[i] = rng.below_u32(2) ? last[i] : static_cast<std::uint8_t>(rng.below_u32(256));
        break;
    }
  }
};

struct ItemListCase {
  const char* what;
  std::vector<ItemSpec> items;
};

TEST(LazPointwise, EncoderRoundTripsHostileRecords) {
  const ItemListCase lists[] = {
      {"point10 v1", {{6, 20, 1}}},
      {"point10 v2", {{6, 20, 2}}},
      {"format 3 + bytes, v1", {{6, 20, 1}, {7, 8, 1}, {8, 6, 1}, {0, 3, 1}}},
      {"format 3 + bytes, v2", {{6, 20, 2}, {7, 8, 2}, {8, 6, 2}, {0, 5, 2}}},
      {"format 5, v1", {{6, 20, 1}, {7, 8, 1}, {8, 6, 1}, {9, 29, 1}}},
      {"format 4, v2 with a v1 packet", {{6, 20, 2}, {7, 8, 2}, {9, 29, 1}, {0, 1, 2}}},
  };
  for (const ItemListCase& c : lists) {
    const std::size_t length = record_length(c.items);
    for (std::uint64_t points : {1ULL, 2ULL, 7ULL, 4000ULL}) {
      for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(std::string(c.what) + " points " + std::to_string(points) + " seed " + std::to_string(seed));
        Generator g{Rng{seed * 7919 + points}};
        std::vector<std::uint8_t> records(points * length);
        for (std::size_t b = 0; b < length; ++b) records[b] = static_cast<std::uint8_t>(g.rng.below_u32(256));
        for (std::uint64_t i = 1; i < points; ++i) {
          std::size_t at = 0;
          for (const ItemSpec& it : c.items) {
            g.item(it, &records[i * length + at], &records[(i - 1) * length + at]);
            at += it.size;
          }
        }
        std::vector<std::uint8_t> chunk;
        encode_pointwise_chunk(c.items, records.data(), points, chunk);
        std::vector<std::uint8_t> back(records.size());
        const ChunkDecodeResult r = decode_pointwise_chunk(c.items, chunk.data(), chunk.size(), points, back.data());
        ASSERT_EQ(r.status, ChunkStatus::ok);
        EXPECT_EQ(r.consumed, chunk.size());
        ASSERT_EQ(back, records);
      }
    }
  }
}

TEST(LazPointwise, DamagedChunksAreRefusedNotOverread) {
  const std::vector<ItemSpec> items = {{6, 20, 2}, {7, 8, 2}, {8, 6, 2}};
  Generator g{Rng{5}};
  const std::size_t length = 34, points = 300;
  std::vector<std::uint8_t> records(points * length, 0);
  for (std::size_t i = 1; i < points; ++i) {
    g.item(items[0], &records[i * length], &records[(i - 1) * length]);
    g.item(items[1], &records[i * length + 20], &records[(i - 1) * length + 20]);
    g.item(items[2], &records[i * length + 28], &records[(i - 1) * length + 28]);
  }
  std::vector<std::uint8_t> chunk;
  encode_pointwise_chunk(items, records.data(), points, chunk);
  std::vector<std::uint8_t> out(records.size());
  // Cut short: the raw record, then the stream. Exact-size copies let ASan catch any overread.
  for (std::size_t cut : {std::size_t{0}, length - 1, length + 2, chunk.size() / 2, chunk.size() - 1}) {
    const std::vector<std::uint8_t> part(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(cut));
    const ChunkDecodeResult r = decode_pointwise_chunk(items, part.data(), part.size(), points, out.data());
    EXPECT_NE(r.status, ChunkStatus::ok) << cut;
  }
  // Flipped bytes decode to something without crashing; the consumption check then tells.
  for (std::size_t at = length; at < chunk.size(); at += 37) {
    std::vector<std::uint8_t> bad = chunk;
    bad[at] ^= 0x5A;
    (void)decode_pointwise_chunk(items, bad.data(), bad.size(), points, out.data());
  }
  const std::vector<ItemSpec> refused[] = {{}, {{6, 20, 3}}, {{6, 19, 2}}, {{1, 4, 1}}, {{0, 0, 2}}, {{9, 29, 2}}};
  for (const std::vector<ItemSpec>& list : refused) {
    EXPECT_FALSE(pointwise_items_supported(list));
    EXPECT_EQ(decode_pointwise_chunk(list, chunk.data(), chunk.size(), 2, out.data()).status,
              ChunkStatus::unsupported_items);
  }
}

}  // namespace
}  // namespace ptdelta::laz
