// cloud_writers.h - small PCD and LAS writers for the tests
// Each builds a whole file in memory from points and a few layout choices, so every case is written out in full.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta::testing {

// What one reader stored and found in `bytes` (read from memory, with `shift`;
// with `normals`, asking for the normals it stores).
struct ReadBack {
  Failure failure = Failure::none;
  std::vector<std::array<float, 3>> points;
  std::vector<std::array<float, 3>> normals;
  FileFacts facts;
};
ReadBack read_back(const FormatRow& format, const std::string& bytes, CoordinateShift shift = {},
                   bool normals = false);

// A value stored least significant byte first, whatever the host.
template <class T>
void put_le(std::string& s, T value);

struct PcdField {
  std::string name;
  char type = 'F';  // F, I or U
  int size = 4;     // bytes of one value
  int count = 1;    // values per point
};

struct PcdFileShape {
  // x, y and z get the point's coordinates, normal_x normal_y normal_z its y z x, other fields the point's index
  std::vector<PcdField> fields;
  std::string data = "ascii";    // ascii, binary, binary_compressed, or anything to be refused
  std::int64_t width = -1;       // -1: the number of points
  std::int64_t height = 1;
  std::int64_t declared = -1;    // POINTS: -1 the number of points, -2 no POINTS line
  std::string version = "0.7";   // "" leaves out the VERSION and VIEWPOINT lines (as 0.6 writers may)
};

struct Xyz {
  double x = 0.0, y = 0.0, z = 0.0;
};

std::string pcd_file(const PcdFileShape& shape, const std::vector<Xyz>& points);

// LZF of only literal runs: valid input for any decompressor, no compression.
std::string lzf_literals(const std::string& bytes);

struct LasFileShape {
  int minor = 2;                  // version 1.minor
  int format = 0;                 // point data format id (0x80 / 0x40 bits make it compressed)
  int record_length = -1;         // -1: the format's shortest record
  std::uint32_t legacy_count = 0xFFFFFFFF;  // all ones: the number of points (0 for 1.4 formats 6 to 10)
  std::uint64_t count_64 = UINT64_MAX;      // 1.4 only; all ones: the number of points
  std::uint32_t gap = 0;          // bytes of variable-length records between header and points
  double scale[3] = {0.01, 0.01, 0.01};
  double offset[3] = {0.0, 0.0, 0.0};
};

struct RawXyz {
  std::int32_t x = 0, y = 0, z = 0;
};

std::string las_file(const LasFileShape& shape, const std::vector<RawXyz>& records);

}  // namespace ptdelta::testing
