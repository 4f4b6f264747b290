// colour_ramp.h - the ramps every output colours distances on: green-yellow-red, and blue-white-red for signs
// Ramp position 0 is green, 256 yellow, 512 red; diverging position 0 is white, 255 full blue or red.
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

// The colour at diverging position v in [0, 255] (diverging_position) on the
// side of a distance's sign: 255 - v 255 - v 255 below 0 (white turning blue),
// 255 255 - v 255 - v otherwise (white turning red).
constexpr Rgb diverging_rgb(std::int32_t v, bool negative) {
  return negative ? Rgb{255 - v, 255 - v, 255} : Rgb{255, 255 - v, 255 - v};
}

// A signed run's point without a distance (rejected, an outlier): black. An
// M3C2 change within its level of detection: grey.
inline constexpr Rgb signed_excluded_colour{0, 0, 0};
inline constexpr Rgb not_significant_colour{128, 128, 128};

}  // namespace ptdelta
