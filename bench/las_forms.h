// las_forms.h - the bench cloud as LAS records of point format 0, 1 or 6, with scanner-like fields
// Shared by make_clouds and its test, so that the compressed forms tested are the ones timed.
//
// x y z are the text line's numbers at scale 0.0001 (its four decimals as integers), the same
// in every format. Format 0 leaves every other field 0, as the bench's LAS form always did.
// Formats 1 and 6 add what an airborne scanner writes: a GPS time rising by a small, slightly
// varying step (a second return shares its first return's time), an intensity that varies,
// mostly single returns with some pairs 1/2 2/2, a few classes, a scan angle that drifts
// slowly with a scan direction that flips with it, and one point source.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "input/laz_file.h"

namespace ptdelta::bench {

inline constexpr double las_scale = 0.0001;

inline std::uint16_t las_record_length(int point_format) {
  return point_format == 6 ? 30 : point_format == 1 ? 28 : 20;
}

template <class T>
void put_le(std::vector<char>& out, T value) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  // The benchmark machines are little-endian; the files say so by format.
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

// LAS 1.2 (227 bytes) for formats 0 and 1; LAS 1.4 (375 bytes, 64-bit count, legacy count 0)
// for format 6. Bounds are left 0: no reader here uses them.
inline std::vector<char> las_header(int point_format, std::uint64_t count) {
  const bool v14 = point_format == 6;
  const std::uint16_t size = v14 ? 375 : 227;
  std::vector<char> h;
  h.reserve(size);
  h.insert(h.end(), {'L', 'A', 'S', 'F'});
  h.resize(24, '\0');
  h.push_back(1);
  h.push_back(v14 ? 4 : 2);
  h.resize(94, ' ');
  put_le<std::uint16_t>(h, size);                                 // header size
  put_le<std::uint32_t>(h, size);                                 // offset to point data
  put_le<std::uint32_t>(h, 0);                                    // variable-length records
  h.push_back(static_cast<char>(point_format));
  put_le<std::uint16_t>(h, las_record_length(point_format));
  put_le<std::uint32_t>(h, v14 ? 0U : static_cast<std::uint32_t>(count));
  for (int i = 0; i < 5; ++i) put_le<std::uint32_t>(h, 0);
  for (int i = 0; i < 3; ++i) put_le<double>(h, las_scale);
  for (int i = 0; i < 9; ++i) put_le<double>(h, 0.0);             // offsets, then bounds
  if (v14) {
    put_le<std::uint64_t>(h, 0);                                  // waveform data start
    put_le<std::uint64_t>(h, 0);                                  // first extended VLR
    put_le<std::uint32_t>(h, 0);                                  // extended VLRs
    put_le<std::uint64_t>(h, count);
  }
  h.resize(size, '\0');
  return h;
}

// The fields beside x y z, point after point; deterministic from the point number alone.
class ScannerFields {
 public:
  // Appends the record of a text line's x y z (its four decimals as integers).
  void append_line(std::vector<char>& out, int point_format, const char* line) {
    std::int32_t xyz[3];
    char* end = nullptr;
    for (int axis = 0; axis < 3; ++axis, line = end)
      xyz[axis] = static_cast<std::int32_t>(std::llround(std::strtod(line, &end) * 10000.0));
    append(out, point_format, xyz[0], xyz[1], xyz[2]);
  }

  // Appends one record of `point_format` (0, 1 or 6) to `out`.
  void append(std::vector<char>& out, int point_format, std::int32_t x, std::int32_t y, std::int32_t z) {
    put_le<std::int32_t>(out, x);
    put_le<std::int32_t>(out, y);
    put_le<std::int32_t>(out, z);
    if (point_format == 0) {
      out.resize(out.size() + 8, '\0');  // intensity, flags, class, angle, user data, source
      return;
    }
    // A multiplicative hash of the point number drives the varying fields.
    const std::uint64_t h = (n_ + 1) * 0x9e3779b97f4a7c15ULL >> 32;
    std::uint32_t returns = 1, number = 1;
    if (second_return_) {
      returns = number = 2;  // same time as its first return
      second_return_ = false;
    } else {
      if (n_ > 0) time_ += 5e-6 + 1e-7 * static_cast<double>(h % 5);
      if (h % 11 == 0) {
        returns = 2;
        second_return_ = true;
      }
    }
    const auto intensity = static_cast<std::uint16_t>(900 + (h >> 8) % 500 + static_cast<std::uint32_t>(z & 63));
    const std::uint8_t classification = h % 16 < 11 ? 2 : h % 16 < 14 ? 1 : 5;
    const std::int64_t sweep = static_cast<std::int64_t>(n_ / 4000 % 80);  // 0 .. 79 and back
    const std::int64_t angle = sweep < 40 ? sweep - 20 : 59 - sweep;       // degrees, -20 .. 19
    const std::uint32_t direction = sweep < 40 ? 1 : 0;
    put_le<std::uint16_t>(out, intensity);
    if (point_format == 1) {
      out.push_back(static_cast<char>(number | returns << 3 | direction << 6));
      out.push_back(static_cast<char>(classification));
      out.push_back(static_cast<char>(static_cast<std::int8_t>(angle)));
      out.push_back('\0');                         // user data
      put_le<std::uint16_t>(out, point_source);
    } else {
      out.push_back(static_cast<char>(number | returns << 4));
      out.push_back(static_cast<char>(direction << 6));  // class flags 0, channel 0, edge 0
      out.push_back(static_cast<char>(classification));
      out.push_back('\0');                         // user data
      // Steps of 0.006 degrees, drifting within each degree too.
      put_le<std::int16_t>(out, static_cast<std::int16_t>(angle * 167 + static_cast<std::int64_t>(n_ % 4000 / 24)));
      put_le<std::uint16_t>(out, point_source);
    }
    put_le<double>(out, time_);
    ++n_;
  }

 private:
  static constexpr std::uint16_t point_source = 7;
  std::uint64_t n_ = 0;
  double time_ = 271828.5;  // seconds of the GPS week
  bool second_return_ = false;
};

// The whole LAS file `las` compressed: pointwise chunks of item version 2 for format 1, layered
// chunks of version 3 for format 6, 50,000 points a chunk. Empty when the encoder refuses it.
inline std::vector<char> compress_las(const std::vector<char>& las, int point_format) {
  laz::LazEncoding encoding;
  encoding.compressor = point_format == 6 ? laz::Compressor::layered_chunked : laz::Compressor::pointwise_chunked;
  encoding.item_version = point_format == 6 ? 3 : 2;
  encoding.chunk_size = 50000;
  const std::vector<std::uint8_t> laz = laz::encode_laz_from_las(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(las.data()), las.size()), encoding);
  return {laz.begin(), laz.end()};
}

}  // namespace ptdelta::bench
