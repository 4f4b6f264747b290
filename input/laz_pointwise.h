// laz_pointwise.h - compressed LAS items of versions 1 and 2 and the pointwise chunk they share
// A chunk is its raw first record, then one arithmetic-coded stream holding every further point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "input/laz_blocks.h"
#include "input/laz_coder.h"
#include "input/laz_point10.h"

namespace ptdelta::laz {

// One entry of the compressed item list: type, size in bytes, version.
struct ItemSpec {
  std::uint16_t type = 0, size = 0, version = 0;
};

enum ItemType : std::uint16_t {
  item_byte = 0, item_point10 = 6, item_gpstime11 = 7, item_rgb12 = 8, item_wavepacket13 = 9,
  item_point14 = 10, item_rgb14 = 11, item_rgbnir14 = 12, item_wavepacket14 = 13, item_byte14 = 14,
};

// ---- items (each seeded from its bytes in the chunk's raw first record) ----

// GPS time, version 1: one sequence; a time too far from the last is stored raw.
template <class IC>
struct GpsTime11V1Models {
  IC time{32, 6};
  SymbolModel steps{512}, restarts{3};
};
struct GpsTime11V1Memory {
  std::uint64_t time = 0;
  std::int32_t step = 0;
  std::uint32_t outliers = 0;
};
class GpsTime11V1Decoder {
 public:
  explicit GpsTime11V1Decoder(const std::uint8_t* first) { mem_.time = get64(first); }
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  GpsTime11V1Models<IntegerDecompressor> m_;
  GpsTime11V1Memory mem_;
};
class GpsTime11V1Encoder {
 public:
  explicit GpsTime11V1Encoder(const std::uint8_t* first) { mem_.time = get64(first); }
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  GpsTime11V1Models<IntegerCompressor> m_;
  GpsTime11V1Memory mem_;
};

// GPS time, version 2: the four-sequence predictor of laz_blocks.h.
class GpsTime11V2Decoder {
 public:
  explicit GpsTime11V2Decoder(const std::uint8_t* first) : gps_(GpsVariant::pointwise, get64(first)) {}
  void decode(ArithmeticDecoder& dec, std::uint8_t* out) { put64(out, gps_.decode(dec)); }
 private:
  GpsTimeDecoder gps_;
};
class GpsTime11V2Encoder {
 public:
  explicit GpsTime11V2Encoder(const std::uint8_t* first) : gps_(GpsVariant::pointwise, get64(first)) {}
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item) { gps_.encode(enc, get64(item)); }
 private:
  GpsTimeEncoder gps_;
};

// Red, green, blue (u16 each) as six bytes: 0 red low, 1 red high, ... 5 blue high.
class Rgb12V1Decoder {
 public:
  explicit Rgb12V1Decoder(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  SymbolModel mask_{64};
  IntegerDecompressor bytes_{8, 6};
  std::uint8_t last_[6];
};
class Rgb12V1Encoder {
 public:
  explicit Rgb12V1Encoder(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  SymbolModel mask_{64};
  IntegerCompressor bytes_{8, 6};
  std::uint8_t last_[6];
};

// Version 2 (also the colour of the layered items): green and blue predicted from red's change.
struct Rgb12V2Models {
  SymbolModel mask{128};
  LazySymbolModels bytes{6, 256};
};
class Rgb12V2Decoder {
 public:
  explicit Rgb12V2Decoder(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  Rgb12V2Models m_;
  std::uint8_t last_[6];
};
class Rgb12V2Encoder {
 public:
  explicit Rgb12V2Encoder(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  Rgb12V2Models m_;
  std::uint8_t last_[6];
};
// The colour step itself over a six-byte memory, for reuse: decodes into `last` in place.
void decode_rgb_v2(ArithmeticDecoder& dec, Rgb12V2Models& m, std::uint8_t* last);
void encode_rgb_v2(ArithmeticEncoder& enc, Rgb12V2Models& m, std::uint8_t* last, const std::uint8_t* item);

// n extra bytes: version 1 by an integer coder with one context per byte, version 2 by one
// symbol model per byte over the difference.
class ByteV1Decoder {
 public:
  ByteV1Decoder(const std::uint8_t* first, std::uint32_t n);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  IntegerDecompressor ic_;
  std::vector<std::uint8_t> last_;
};
class ByteV1Encoder {
 public:
  ByteV1Encoder(const std::uint8_t* first, std::uint32_t n);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  IntegerCompressor ic_;
  std::vector<std::uint8_t> last_;
};
class ByteV2Decoder {
 public:
  ByteV2Decoder(const std::uint8_t* first, std::uint32_t n);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  LazySymbolModels models_;
  std::vector<std::uint8_t> last_;
};
class ByteV2Encoder {
 public:
  ByteV2Encoder(const std::uint8_t* first, std::uint32_t n);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  LazySymbolModels models_;
  std::vector<std::uint8_t> last_;
};

// The 29-byte wave packet: descriptor index u8, offset u64, size u32, return point and x y z(t)
// as 32-bit patterns. The models keep the last offset difference and offset kind with them.
template <class IC>
struct WavePacketModels {
  SymbolModel index{256};
  SymbolModel kinds[4] = {SymbolModel(4), SymbolModel(4), SymbolModel(4), SymbolModel(4)};
  IC offset{32}, size{32}, return_point{32}, xyz{32, 3};
  std::int32_t offset_diff = 0;
  std::uint32_t kind = 0;
};
// Decodes one packet predicted from (and stored into) `last`, 29 bytes.
void decode_wave_packet(ArithmeticDecoder& dec, WavePacketModels<IntegerDecompressor>& m, std::uint8_t* last);
void encode_wave_packet(ArithmeticEncoder& enc, WavePacketModels<IntegerCompressor>& m, std::uint8_t* last,
                        const std::uint8_t* item);
class WavePacket13Decoder {
 public:
  explicit WavePacket13Decoder(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);
 private:
  WavePacketModels<IntegerDecompressor> m_;
  std::uint8_t last_[29];
};
class WavePacket13Encoder {
 public:
  explicit WavePacket13Encoder(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);
 private:
  WavePacketModels<IntegerCompressor> m_;
  std::uint8_t last_[29];
};

// ---- the pointwise chunk ----

// True when every item is one of BYTE (n >= 1), POINT10 (20), GPSTIME11 (8), RGB12 (6) of
// version 1 or 2, or WAVEPACKET13 (29) of version 1; the record length is then their sum.
bool pointwise_items_supported(std::span<const ItemSpec> items);
std::size_t record_length(std::span<const ItemSpec> items);

enum class ChunkStatus {
  ok,
  unsupported_items,  // pointwise_items_supported() is false
  truncated,          // the raw first record does not fit in the chunk's bytes
  overrun,            // the stream wanted bytes beyond the chunk's end (a damaged chunk)
};

struct ChunkDecodeResult {
  ChunkStatus status = ChunkStatus::ok;
  // Bytes of the chunk used: the raw record plus every byte the stream's decoder took (its
  // first four bytes included, even for a one-point chunk). A whole, well-formed chunk uses
  // exactly its size.
  std::size_t consumed = 0;
};

// Decodes `points` records of record_length(items) bytes each into `records` from the chunk
// held in [data, data + size). On any status but ok the records are not complete.
ChunkDecodeResult decode_pointwise_chunk(std::span<const ItemSpec> items, const std::uint8_t* data, std::size_t size,
                                         std::uint64_t points, std::uint8_t* records);

// The chunk bytes of `points` records (at least one; record_length(items) bytes each), appended
// to `out`. The items must be supported.
void encode_pointwise_chunk(std::span<const ItemSpec> items, const std::uint8_t* records, std::uint64_t points,
                            std::vector<std::uint8_t>& out);

}  // namespace ptdelta::laz
