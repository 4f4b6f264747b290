// row_load.h - one cloud file read from bytes, as the tool reads it or through one format row from a stream
// The points come back as bit patterns, so that readers can be compared bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "input/cloud_format.h"
#include "input/cloud_reader.h"

namespace ptdelta::testing {

struct LoadedCloud {
  ReadOutcome outcome;
  std::vector<std::uint32_t> bits;  // x y z of every point, bit for bit
  CoordinateShift shift;
  const FileFacts& facts() const { return outcome.files.front(); }
};

// The shift rules readers are compared under: none, automatic, and a fixed one.
inline constexpr ShiftRule compared_shift_rules[] = {{false, {}}, {true, {}}, {false, {-1000.0, 0.5, 0.0}}};

inline bool same_shift(const CoordinateShift& a, const CoordinateShift& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

// With block == 0 the bytes are read as a -c file is: recognised by content. With
// block > 0 they are read by `row` from a stream in blocks of that many bytes, so
// that lines straddle block ends (recognition would see only the first block).
LoadedCloud load_cloud_bytes(const std::string& bytes, const FormatRow& row, ShiftRule rule = {},
                             std::size_t block = 0);

}  // namespace ptdelta::testing
