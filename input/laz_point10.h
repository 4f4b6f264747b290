// laz_point10.h - the compressed POINT10 item (bytes 0-19 of point formats 0-5), versions 1 and 2
// One decoder or encoder per chunk, seeded from the chunk's raw first point, then one point a call.
#pragma once

#include <cstdint>

#include "input/laz_blocks.h"
#include "input/laz_coder.h"

namespace ptdelta::laz {

// The 20 bytes as fields; the byte fields stay bytes (flag byte: return number bits 0-2, number
// of returns bits 3-5, scan direction bit 6, edge bit 7).
struct Point10 {
  std::int32_t x = 0, y = 0, z = 0;
  std::uint32_t intensity = 0, flags = 0, classification = 0, scan_angle = 0, user_data = 0, point_source = 0;

  static Point10 load(const std::uint8_t* p);
  void store(std::uint8_t* p) const;
};

// The models of one direction (IC: IntegerDecompressor or IntegerCompressor).
template <class IC>
struct Point10V1Models {
  IC x{32, 1}, y{32, 20}, z{32, 20}, intensity{16}, scan_angle{8, 2}, point_source{16};
  SymbolModel mask{64};
  LazySymbolModels flags{256, 256}, classification{256, 256}, user_data{256, 256};
};

// Version 1 memory: the last point and the last three x and y differences (a ring).
struct Point10V1Memory {
  Point10 last;
  std::int32_t dx[3] = {0, 0, 0}, dy[3] = {0, 0, 0};
  std::uint32_t ring = 0;
};

template <class IC>
struct Point10V2Models {
  IC x{32, 2}, y{32, 22}, z{32, 20}, intensity{16, 4}, point_source{16};
  SymbolModel mask{64};
  LazySymbolModels flags{256, 256}, classification{256, 256}, user_data{256, 256}, scan_angle{2, 256};
};

// Version 2 memory, per return map slot m (16) and return level l (8).
struct Point10V2Memory {
  Point10 last;  // its intensity is not used: the slots below replace it
  RunningMedian5 x_median[16], y_median[16];
  std::uint32_t intensity[16] = {};
  std::int32_t height[8] = {};
};

class Point10V1Decoder {
 public:
  explicit Point10V1Decoder(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);

 private:
  Point10V1Models<IntegerDecompressor> m_;
  Point10V1Memory mem_;
};

class Point10V1Encoder {
 public:
  explicit Point10V1Encoder(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  Point10V1Models<IntegerCompressor> m_;
  Point10V1Memory mem_;
};

class Point10V2Decoder {
 public:
  explicit Point10V2Decoder(const std::uint8_t* first);
  void decode(ArithmeticDecoder& dec, std::uint8_t* out);

 private:
  Point10V2Models<IntegerDecompressor> m_;
  Point10V2Memory mem_;
};

class Point10V2Encoder {
 public:
  explicit Point10V2Encoder(const std::uint8_t* first);
  void encode(ArithmeticEncoder& enc, const std::uint8_t* item);

 private:
  Point10V2Models<IntegerCompressor> m_;
  Point10V2Memory mem_;
};

}  // namespace ptdelta::laz
