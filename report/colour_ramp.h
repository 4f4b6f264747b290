// colour_ramp.h - the green-yellow-red ramp every output colours distances on
// Ramp position 0 is green, 256 yellow, 512 red; the export and the map both take their colours from here.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/exact.h"

namespace ptdelta {

struct Rgb {
  std::int32_t red = 0, green = 0, blue = 0;
};

// The colour at ramp position v in [0, 512]: v 255 0 below 256 (green turning
// yellow), then 255 min(512 - v, 255) 0 (yellow turning red).
constexpr Rgb ramp_rgb(std::int32_t v) { return v < 256 ? Rgb{v, 255, 0} : Rgb{255, std::min(512 - v, 255), 0}; }

}  // namespace ptdelta
