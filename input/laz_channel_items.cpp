#include "input/laz_channel_items.h"

#include <cstring>
#include <optional>

#include "input/laz_blocks.h"
#include "input/laz_layered.h"
#include "input/laz_pointwise.h"

namespace ptdelta::laz {

// An item's models for one scanner channel; only the active layers' models are made. The colour
// and wave-packet rules are those of the pointwise RGB12 v2 and WAVEPACKET13 items.
template <class IC>
struct ChannelModels {
  std::optional<Rgb12V2Models> rgb;
  std::optional<SymbolModel> nir_mask;     // 4 symbols
  std::optional<LazySymbolModels> nir_bytes;  // two
  std::optional<WavePacketModels<IC>> wave;
  std::optional<LazySymbolModels> bytes;   // BYTE14: one model per byte

  ChannelModels(std::uint16_t type, std::uint16_t size, std::span<const bool> active) {
    switch (type) {
      case item_rgb14:
      case item_rgbnir14:
        if (active[0]) rgb.emplace();
        if (type == item_rgbnir14 && active[1]) {
          nir_mask.emplace(4);
          nir_bytes.emplace(2, 256);
        }
        break;
      case item_wavepacket14:
        if (active[0]) wave.emplace();
        break;
      default: bytes.emplace(size, 256); break;
    }
  }
};

bool item_layer_differs(std::uint16_t type, std::size_t layer, const std::uint8_t* a, const std::uint8_t* b) {
  switch (type) {
    case item_rgb14: return std::memcmp(a, b, 6) != 0;
    case item_rgbnir14: return layer == 0 ? std::memcmp(a, b, 6) != 0 : std::memcmp(a + 6, b + 6, 2) != 0;
    case item_wavepacket14: return std::memcmp(a, b, 29) != 0;
    default: return a[layer] != b[layer];
  }
}

template <class IC, class Stream>
ChannelItem<IC, Stream>::ChannelItem(std::uint16_t type, std::uint16_t size, std::uint16_t version,
                                     const std::uint8_t* raw, std::uint32_t channel,
                                     std::span<Stream* const> layers)
    : type_(type), size_(size), version_(version), layers_(layers), current_(channel & 3u) {
  memory_[current_].assign(raw, raw + size);
  select(current_);  // seeds the first context's models
}

template <class IC, class Stream>
ChannelItem<IC, Stream>::ChannelItem(ChannelItem&&) noexcept = default;
template <class IC, class Stream>
ChannelItem<IC, Stream>::~ChannelItem() = default;

// The handover: on a change of channel an unused context is seeded from the memory being
// left; a context already in use lends its memory only from version 4 on. In version 3 the first
// point after such a switch predicts from, and updates, the memory of the context being left.
template <class IC, class Stream>
typename ChannelItem<IC, Stream>::Selected ChannelItem<IC, Stream>::select(std::uint32_t channel) {
  std::uint8_t* memory = memory_[current_].data();
  if (!models_[channel]) {
    bool active[2] = {false, false};
    for (std::size_t j = 0; j < layers_.size() && j < 2; ++j) active[j] = layers_[j] != nullptr;
    if (type_ == item_byte14) active[0] = true;  // BYTE14's models are made for all its bytes at once
    if (channel != current_) memory_[channel].assign(memory, memory + size_);
    models_[channel] = std::make_unique<ChannelModels<IC>>(type_, size_, std::span<const bool>(active, 2));
    memory = memory_[channel].data();
  } else if (channel != current_ && version_ >= 4) {
    memory = memory_[channel].data();
  }
  current_ = channel;
  return {models_[channel].get(), memory};
}

template class ChannelItem<IntegerDecompressor, ArithmeticDecoder>;
template class ChannelItem<IntegerCompressor, ArithmeticEncoder>;

// ---------------------------------------------------------------------------------------- decoding

namespace {

void decode_nir(ArithmeticDecoder& dec, ChannelModels<IntegerDecompressor>& m, std::uint8_t* p) {
  const std::uint32_t mask = dec.decode_symbol(*m.nir_mask);
  if (mask & 1u) p[0] = fold8(dec.decode_symbol((*m.nir_bytes)[0]), p[0]);
  if (mask & 2u) p[1] = fold8(dec.decode_symbol((*m.nir_bytes)[1]), p[1]);
}

}  // namespace

std::uint8_t* ChannelItemDecoder::decode(std::uint32_t channel, std::uint8_t* out) {
  const Selected s = select(channel);
  std::uint8_t* p = s.memory;
  switch (type_) {
    case item_rgb14:
    case item_rgbnir14:
      if (layers_[0]) decode_rgb_v2(*layers_[0], *s.models->rgb, p);
      if (type_ == item_rgbnir14 && layers_[1]) decode_nir(*layers_[1], *s.models, p + 6);
      break;
    case item_wavepacket14:
      if (layers_[0]) decode_wave_packet(*layers_[0], *s.models->wave, p);
      break;
    default:
      for (std::size_t i = 0; i < size_; ++i)
        if (layers_[i]) p[i] = fold8(layers_[i]->decode_symbol((*s.models->bytes)[i]), p[i]);
  }
  std::memcpy(out, p, size_);
  return out + size_;
}

// ---------------------------------------------------------------------------------------- encoding

namespace {

void encode_nir(ArithmeticEncoder& enc, ChannelModels<IntegerCompressor>& m, std::uint8_t* p, const std::uint8_t* c) {
  const std::uint32_t mask = (c[0] != p[0] ? 1u : 0u) | (c[1] != p[1] ? 2u : 0u);
  enc.encode_symbol(*m.nir_mask, mask);
  for (std::size_t i = 0; i < 2; ++i)
    if (mask & (1u << i)) enc.encode_symbol((*m.nir_bytes)[i], static_cast<std::uint32_t>(c[i] - p[i]) & 255u);
  std::memcpy(p, c, 2);
}

}  // namespace

const std::uint8_t* ChannelItemEncoder::encode(std::uint32_t channel, const std::uint8_t* in) {
  const Selected s = select(channel);
  std::uint8_t* p = s.memory;
  switch (type_) {
    case item_rgb14:
    case item_rgbnir14:
      if (layers_[0]) encode_rgb_v2(*layers_[0], *s.models->rgb, p, in);
      if (type_ == item_rgbnir14 && layers_[1]) encode_nir(*layers_[1], *s.models, p + 6, in + 6);
      break;
    case item_wavepacket14:
      if (layers_[0]) encode_wave_packet(*layers_[0], *s.models->wave, p, in);
      break;
    default:
      for (std::size_t i = 0; i < size_; ++i) {
        if (!layers_[i]) continue;
        layers_[i]->encode_symbol((*s.models->bytes)[i], static_cast<std::uint32_t>(in[i] - p[i]) & 255u);
        p[i] = in[i];
      }
  }
  return in + size_;
}

}  // namespace ptdelta::laz
