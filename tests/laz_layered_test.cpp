// Layered chunks: hostile records of formats 6-10 round trip through encode and decode, versions 3 and 4.
#include "input/laz_layered.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "input/laz_file.h"
#include "support/random_clouds.h"

namespace ptdelta::laz {
namespace {

using Bytes = std::vector<std::uint8_t>;

using testing::Rng;

void put(std::uint8_t* p, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

enum class Channels { one, alternating, random };

// Records aimed at the coders' edges: coordinates at the int32 ends and jumping across them, every
// return combination, times repeating, stepping and jumping, colours grey and wild, and channels.
Bytes make_records(Rng& rng, std::size_t count, std::size_t length, std::uint8_t format, Channels channels) {
  Bytes r(count * length, 0);
  std::uint64_t time = 0x41d0000000000000ull;
  std::uint64_t wave_offset = 1000;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t* p = &r[i * length];
    const std::uint32_t pick = rng.below_u32(8);
    const std::int64_t x = pick == 0 ? INT32_MIN : pick == 1 ? INT32_MAX : static_cast<std::int64_t>(i) * 37 - 5000;
    put(p, static_cast<std::uint64_t>(x), 4);
    put(p + 4, pick < 2 ? rng.next() : static_cast<std::uint32_t>(i * 13), 4);
    put(p + 8, rng.below_u32(4) == 0 ? rng.next() : static_cast<std::uint32_t>(i / 3), 4);
    put(p + 12, rng.below_u32(3) == 0 ? rng.below_u32(65536) : 100, 2);
    p[14] = static_cast<std::uint8_t>(i % 256);  // all 256 (return, returns) pairs in turn
    std::uint32_t channel = 0;
    if (channels == Channels::alternating) channel = (i / 5) % 4;
    if (channels == Channels::random) channel = rng.below_u32(4);
    p[15] = static_cast<std::uint8_t>(rng.below_u32(16) | (channel << 4) | (rng.below_u32(4) << 6));
    p[16] = static_cast<std::uint8_t>(rng.below_u32(3) == 0 ? rng.below_u32(256) : 2);
    p[17] = static_cast<std::uint8_t>(rng.below_u32(5) == 0 ? rng.below_u32(256) : 7);
    put(p + 18, rng.below_u32(4) == 0 ? static_cast<std::uint16_t>(-static_cast<std::int32_t>(rng.below_u32(30000))) : 500, 2);
    put(p + 20, rng.below_u32(6) == 0 ? rng.below_u32(65536) : 12, 2);
    switch (rng.below_u32(6)) {
      case 0: break;                                             // the same time again
      case 1: time += 1000; break;                               // a steady step
      case 2: time += static_cast<std::uint64_t>(rng.next()) << 20; break;  // a jump
      case 3: time -= 3000; break;                               // back in time
      default: time += 1000 * rng.below_u32(12);
    }
    put(p + 22, time, 8);
    std::size_t at = 30;
    if (format == 7 || format == 8 || format == 10) {
      const bool grey = rng.below_u32(3) == 0;
      const std::uint32_t red = rng.below_u32(65536);
      for (int c = 0; c < 3; ++c) put(p + at + 2 * c, grey ? red : rng.below_u32(65536), 2);
      at += 6;
      if (format != 7) {
        put(p + at, rng.below_u32(2) ? rng.below_u32(65536) : 0x1234, 2);
        at += 2;
      }
    }
    if (format == 9 || format == 10) {
      p[at] = static_cast<std::uint8_t>(rng.below_u32(3));
      const std::uint32_t kind = rng.below_u32(4);
      const std::uint32_t size = 64 + rng.below_u32(4);
      if (kind == 1) wave_offset += size;
      if (kind == 2) wave_offset += rng.below_u32(100000);
      if (kind == 3) wave_offset = static_cast<std::uint64_t>(rng.next()) << 31;
      put(p + at + 1, wave_offset, 8);
      put(p + at + 9, size, 4);
      for (std::size_t f = 13; f < 29; f += 4) put(p + at + f, rng.below_u32(2) ? rng.next() : 0x3f800000u, 4);
      at += 29;
    }
    for (; at < length; ++at) p[at] = static_cast<std::uint8_t>(at % 3 == 0 ? rng.below_u32(256) : at);
  }
  return r;
}

TEST(LazLayered, HostileRecordsRoundTrip) {
  const std::uint16_t standard[] = {30, 36, 38, 59, 67};
  std::uint64_t seed = 1;
  for (std::uint8_t format = 6; format <= 10; ++format) {
    for (const int extra : {0, 3}) {
      for (const int version : {3, 4}) {
        for (const Channels channels : {Channels::one, Channels::alternating, Channels::random}) {
          for (const std::size_t count : {1u, 2u, 700u}) {
            const auto length = static_cast<std::uint16_t>(standard[format - 6] + extra);
            const std::vector<ItemSpec> items = items_for_format(format, length, static_cast<std::uint16_t>(version));
            ASSERT_TRUE(layered_items_valid(items, length));
            Rng rng{++seed};
            const Bytes records = make_records(rng, count, length, format, channels);
            const Bytes chunk = encode_layered_chunk(items, records.data(), static_cast<std::uint32_t>(count));
            LayeredChunkHead head;
            ASSERT_EQ(read_layered_chunk_head(chunk, items, head), ChunkFailure::none);
            EXPECT_EQ(head.bytes, chunk.size());
            Bytes decoded(records.size());
            ASSERT_EQ(decode_layered_chunk(chunk, items, static_cast<std::uint32_t>(count), all_layers, decoded.data()),
                      ChunkFailure::none)
                << "format " << int{format} << " seed " << seed;
            EXPECT_EQ(decoded, records) << "format " << int{format} << " seed " << seed;
            // x y z alone: the same coordinates, the other layers never opened.
            Bytes xyz(records.size());
            ASSERT_EQ(decode_layered_chunk(chunk, items, static_cast<std::uint32_t>(count), xyz_layers, xyz.data()),
                      ChunkFailure::none);
            for (std::size_t i = 0; i < count; ++i)
              ASSERT_EQ(std::memcmp(&xyz[i * length], &records[i * length], 12), 0) << "seed " << seed;
          }
        }
      }
    }
  }
}

// A constant field gets an empty layer; the chunk still decodes to the same records.
TEST(LazLayered, UnchangingFieldsLeaveTheirLayersEmpty) {
  const std::vector<ItemSpec> items = items_for_format(7, 36, 3);
  Bytes records(40 * 36, 0);
  for (std::size_t i = 0; i < 40; ++i) {
    put(&records[i * 36], i * 1000, 4);
    records[i * 36 + 14] = 0x11;
    records[i * 36 + 16] = 6;
  }
  const Bytes chunk = encode_layered_chunk(items, records.data(), 40);
  std::uint32_t sizes[10];
  std::memcpy(sizes, &chunk[36 + 4], sizeof sizes);
  EXPECT_GT(sizes[0], 0u);
  for (int i = 1; i < 10; ++i) EXPECT_EQ(sizes[i], 0u) << "layer " << i;
  Bytes decoded(records.size());
  ASSERT_EQ(decode_layered_chunk(chunk, items, 40, all_layers, decoded.data()), ChunkFailure::none);
  EXPECT_EQ(decoded, records);
}

TEST(LazLayered, DamagedChunksFailCleanly) {
  const std::vector<ItemSpec> items = items_for_format(8, 41, 3);
  Rng rng{77};
  const Bytes records = make_records(rng, 300, 41, 8, Channels::random);
  const Bytes chunk = encode_layered_chunk(items, records.data(), 300);
  Bytes out(records.size());
  EXPECT_EQ(decode_layered_chunk(chunk, items, 299, all_layers, out.data()), ChunkFailure::count_mismatch);
  for (std::size_t cut = 0; cut < chunk.size(); cut += 7)
    EXPECT_NE(decode_layered_chunk(std::span(chunk).first(cut), items, 300, all_layers, out.data()), ChunkFailure::none)
        << "cut " << cut;
  for (int round = 0; round < 200; ++round) {
    Bytes b = chunk;
    b[41 + 4 + 4 * 14 + rng.below_u32(static_cast<std::uint32_t>(b.size() - 101))] ^= static_cast<std::uint8_t>(1u << rng.below_u32(8));
    (void)decode_layered_chunk(b, items, 300, all_layers, out.data());  // any result but a crash
  }
  const ItemSpec mixed[] = {{item_point14, 30, 3}, {item_rgb12, 6, 2}};
  EXPECT_FALSE(layered_items_valid(mixed, 36));
}

}  // namespace
}  // namespace ptdelta::laz
