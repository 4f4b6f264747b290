// laz_layered.h - layered compressed LAS chunks: POINT14, RGB14, RGBNIR14, WAVEPACKET14, BYTE14
// Every field group is its own arithmetic-coded layer, so a chunk can be decoded for x y z alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "input/laz_pointwise.h"

namespace ptdelta::laz {

// A choice of layers by field group. Layer 1 of POINT14 (channel, returns, X, Y) is always decoded,
// since every other layer depends on it; a layer left out keeps, for the whole chunk, the value
// the decoder's memory holds (the first point's, or one inherited from another scanner channel).
using LayerSet = std::uint32_t;
namespace layer {
inline constexpr LayerSet xy = 1u << 0, z = 1u << 1, classification = 1u << 2, flags = 1u << 3,
                          intensity = 1u << 4, scan_angle = 1u << 5, user_data = 1u << 6,
                          point_source = 1u << 7, gps_time = 1u << 8, rgb = 1u << 9, nir = 1u << 10,
                          wave_packet = 1u << 11, extra_bytes = 1u << 12;
}  // namespace layer
inline constexpr LayerSet all_layers = (1u << 13) - 1;
inline constexpr LayerSet xyz_layers = layer::xy | layer::z;

// Why a chunk was not decoded. Damaged bytes give one of these, never a crash or an endless loop.
enum class ChunkFailure : std::uint8_t {
  none,
  unsupported_items,  // an item list the layered coder does not take
  truncated,          // the chunk's head or a layer reaches beyond its bytes
  count_mismatch,     // the chunk's own count differs from the expected one
  stream_overrun,     // a layer's decoder wanted bytes beyond the layer
  stream_mismatch,    // a layer's decoder ended before the end of its layer
};

// True when `items` is a layered list: POINT14 first, then RGB14 / RGBNIR14 / WAVEPACKET14 /
// BYTE14 at their sizes, all of version 3 or 4 (2 is read as 3), summing to `record_length`.
bool layered_items_valid(std::span<const ItemSpec> items, std::uint16_t record_length);

// The number of layers the items contribute (POINT14 9, RGB14 1, RGBNIR14 2, WAVEPACKET14 1,
// BYTE14 one per byte).
std::size_t layer_count(std::span<const ItemSpec> items);

// The head of a layered chunk: its own point count and its full length in bytes (raw point, count,
// layer sizes and layers). Lets a reader without a chunk table step from chunk to chunk.
struct LayeredChunkHead {
  std::uint32_t count = 0;
  std::uint64_t bytes = 0;
};
ChunkFailure read_layered_chunk_head(std::span<const std::uint8_t> chunk, std::span<const ItemSpec> items,
                                     LayeredChunkHead& head);

// Decodes one layered chunk (`chunk` starts at its raw point; bytes after the chunk may follow) of
// `expected` points into `records`, which must hold expected * record_length bytes. Layers outside
// `wanted` are not read at all. Postcondition on none: every decoded layer's stream was consumed
// to its last byte, and the records are the original ones in the wanted fields.
ChunkFailure decode_layered_chunk(std::span<const std::uint8_t> chunk, std::span<const ItemSpec> items,
                                  std::uint32_t expected, LayerSet wanted, std::uint8_t* records);

// The exact inverse: the chunk bytes of `count` (>= 1) records of the items' record length.
// A layer whose field never differs from the first point's is written empty (size 0).
std::vector<std::uint8_t> encode_layered_chunk(std::span<const ItemSpec> items, const std::uint8_t* records,
                                               std::uint32_t count);

}  // namespace ptdelta::laz
