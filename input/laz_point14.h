// laz_point14.h - the layered POINT14 item: four scanner-channel contexts, nine layers, decode and encode
// Layer 1 (channel, returns, X, Y) drives every point; the other eight read only its results.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "input/laz_blocks.h"
#include "input/laz_coder.h"
#include "input/laz_layered.h"

namespace ptdelta::laz {

// The fields of a POINT14 record, unpacked (channel kept apart from the flag bits).
struct Point14Fields {
  std::int32_t x = 0, y = 0, z = 0;
  std::uint16_t intensity = 0;
  std::uint8_t return_number = 0, returns = 0;  // 4 bits each
  std::uint8_t class_flags = 0, channel = 0, scan_direction = 0, edge = 0;
  std::uint8_t classification = 0, user_data = 0;
  std::uint16_t scan_angle = 0, point_source = 0;
  std::uint64_t gps_time = 0;  // the double's bit pattern
};
Point14Fields unpack_point14(const std::uint8_t* record);
void pack_point14(const Point14Fields& f, std::uint8_t* record);

// Layer numbers 0..8 of POINT14, in stream order (layer 1 of the description is index 0).
inline constexpr std::size_t point14_layers = 9;

// One POINT14 coder over a chunk: decodes with IntegerDecompressor and ArithmeticDecoder, or encodes
// with IntegerCompressor and ArithmeticEncoder. `active` holds the layers coded in this chunk (for
// decoding: non-empty and wanted; for encoding: non-empty), as bits of layer::xy .. layer::gps_time.
class Point14Decoder {
 public:
  Point14Decoder(const std::uint8_t* raw_record, std::uint16_t version, LayerSet active);
  ~Point14Decoder();
  // Decodes the next point from its layer decoders (null where a layer is inactive) into `record`;
  // returns the channel handed to the other items of the point.
  std::uint32_t decode(std::array<ArithmeticDecoder*, point14_layers> layers, std::uint8_t* record);

 private:
  struct Context;
  std::unique_ptr<Context> contexts_[4];
  std::uint32_t current_ = 0;
  std::uint16_t version_;
  LayerSet active_;
};

class Point14Encoder {
 public:
  Point14Encoder(const std::uint8_t* raw_record, std::uint16_t version, LayerSet active);
  ~Point14Encoder();
  std::uint32_t encode(std::array<ArithmeticEncoder*, point14_layers> layers, const std::uint8_t* record);

 private:
  struct Context;
  std::unique_ptr<Context> contexts_[4];
  std::uint32_t current_ = 0;
  std::uint16_t version_;
  LayerSet active_;
};

}  // namespace ptdelta::laz
