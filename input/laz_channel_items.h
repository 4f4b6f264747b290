// laz_channel_items.h - the layered items after POINT14: RGB14, RGBNIR14, WAVEPACKET14, BYTE14
// Each keeps four scanner-channel contexts and follows the channel POINT14 hands over for each point.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "input/laz_coder.h"

namespace ptdelta::laz {

template <class IC>
struct ChannelModels;

// True when layer `layer` (0-based inside the item) of an item of `type` holds a different value in
// the item bytes `a` and `b`; an encoder writes a layer only when some point differs from the first.
bool item_layer_differs(std::uint16_t type, std::size_t layer, const std::uint8_t* a, const std::uint8_t* b);

// The state common to both directions: the item's four contexts (models and memory) and the
// version's rule for following the handed-over channel.
template <class IC, class Stream>
class ChannelItem {
 public:
  // `raw` is the chunk's first point's item bytes, `channel` that point's scanner channel; `layers`
  // holds the item's layer streams (null for an inactive layer) and must outlive the item.
  ChannelItem(std::uint16_t type, std::uint16_t size, std::uint16_t version, const std::uint8_t* raw,
              std::uint32_t channel, std::span<Stream* const> layers);
  ChannelItem(ChannelItem&&) noexcept;
  ~ChannelItem();

 protected:
  struct Selected {
    ChannelModels<IC>* models;
    std::uint8_t* memory;  // P: the item bytes predicted from and updated
  };
  Selected select(std::uint32_t channel);

  std::uint16_t type_, size_, version_;
  std::span<Stream* const> layers_;
  std::array<std::unique_ptr<ChannelModels<IC>>, 4> models_;
  std::array<std::vector<std::uint8_t>, 4> memory_;
  std::uint32_t current_;
};

class ChannelItemDecoder : public ChannelItem<IntegerDecompressor, ArithmeticDecoder> {
 public:
  using ChannelItem::ChannelItem;
  // Decodes this item of the next point into `out`; returns out + size.
  std::uint8_t* decode(std::uint32_t channel, std::uint8_t* out);
};

class ChannelItemEncoder : public ChannelItem<IntegerCompressor, ArithmeticEncoder> {
 public:
  using ChannelItem::ChannelItem;
  // Encodes this item of the next point from `in`; returns in + size.
  const std::uint8_t* encode(std::uint32_t channel, const std::uint8_t* in);
};

}  // namespace ptdelta::laz
