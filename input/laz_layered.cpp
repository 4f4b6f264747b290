#include "input/laz_layered.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "input/laz_channel_items.h"
#include "input/laz_coder.h"
#include "input/laz_point14.h"
#include "input/little_endian.h"

namespace ptdelta::laz {

namespace {

std::size_t layers_of(const ItemSpec& item) {
  switch (item.type) {
    case item_point14: return point14_layers;
    case item_rgbnir14: return 2;
    case item_byte14: return item.size;
    default: return 1;
  }
}

// The field group a layer belongs to, for the `wanted` choice.
LayerSet group_of(const ItemSpec& item, std::size_t layer_in_item) {
  switch (item.type) {
    case item_point14: return LayerSet{1} << layer_in_item;
    case item_rgb14: return layer::rgb;
    case item_rgbnir14: return layer_in_item == 0 ? layer::rgb : layer::nir;
    case item_wavepacket14: return layer::wave_packet;
    default: return layer::extra_bytes;
  }
}

std::uint16_t effective_version(const ItemSpec& item) { return item.version == 2 ? 3 : item.version; }

void store_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

// Where the layer sizes and the layers of a chunk lie, after its head was checked.
struct ChunkPlan {
  std::uint32_t count = 0;
  std::vector<std::uint32_t> sizes;
  std::vector<std::size_t> starts;  // offset of each layer inside the chunk
  std::uint64_t bytes = 0;
};

ChunkFailure plan_chunk(std::span<const std::uint8_t> chunk, std::span<const ItemSpec> items, ChunkPlan& plan) {
  std::size_t record_length = 0;
  for (const ItemSpec& item : items) record_length += item.size;
  const std::size_t layers = layer_count(items);
  const std::size_t head = record_length + 4 + 4 * layers;
  if (chunk.size() < head) return ChunkFailure::truncated;
  const auto* p = reinterpret_cast<const char*>(chunk.data());
  plan.count = load_u32(p + record_length);
  plan.sizes.resize(layers);
  plan.starts.resize(layers);
  std::uint64_t at = head;
  for (std::size_t i = 0; i < layers; ++i) {
    plan.sizes[i] = load_u32(p + record_length + 4 + 4 * i);
    plan.starts[i] = static_cast<std::size_t>(std::min<std::uint64_t>(at, chunk.size()));
    at += plan.sizes[i];
  }
  plan.bytes = at;
  return at > chunk.size() ? ChunkFailure::truncated : ChunkFailure::none;
}

}  // namespace

bool layered_items_valid(std::span<const ItemSpec> items, std::uint16_t record_length) {
  if (items.empty() || items[0].type != item_point14) return false;
  std::size_t total = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ItemSpec& item = items[i];
    const std::uint16_t v = effective_version(item);
    if (v != 3 && v != 4) return false;
    switch (item.type) {
      case item_point14: if (i != 0 || item.size != 30) return false; break;
      case item_rgb14: if (item.size != 6) return false; break;
      case item_rgbnir14: if (item.size != 8) return false; break;
      case item_wavepacket14: if (item.size != 29) return false; break;
      case item_byte14: if (item.size == 0) return false; break;
      default: return false;
    }
    total += item.size;
  }
  return total == record_length;
}

std::size_t layer_count(std::span<const ItemSpec> items) {
  std::size_t n = 0;
  for (const ItemSpec& item : items) n += layers_of(item);
  return n;
}

ChunkFailure read_layered_chunk_head(std::span<const std::uint8_t> chunk, std::span<const ItemSpec> items,
                                     LayeredChunkHead& head) {
  ChunkPlan plan;
  const ChunkFailure failure = plan_chunk(chunk, items, plan);
  head.count = plan.count;
  head.bytes = plan.bytes;
  return failure;
}

ChunkFailure decode_layered_chunk(std::span<const std::uint8_t> chunk, std::span<const ItemSpec> items,
                                  std::uint32_t expected, LayerSet wanted, std::uint8_t* records) {
  if (items.empty() || items[0].type != item_point14) return ChunkFailure::unsupported_items;
  ChunkPlan plan;
  if (const ChunkFailure f = plan_chunk(chunk, items, plan); f != ChunkFailure::none) return f;
  if (plan.count != expected || plan.count == 0) return ChunkFailure::count_mismatch;
  std::size_t record_length = 0;
  for (const ItemSpec& item : items) record_length += item.size;
  std::memcpy(records, chunk.data(), record_length);
  if (plan.count == 1) return ChunkFailure::none;  // declared layers of a one-point chunk are not read

  // One decoder per non-empty wanted layer; layer 1 always, since every point starts there.
  std::vector<std::optional<ArithmeticDecoder>> decoders(plan.sizes.size());
  std::vector<ArithmeticDecoder*> layers(plan.sizes.size(), nullptr);
  LayerSet point14_active = layer::xy;
  std::size_t first = 0;
  for (const ItemSpec& item : items) {
    for (std::size_t j = 0; j < layers_of(item); ++j) {
      const std::size_t i = first + j;
      if (i != 0 && (plan.sizes[i] == 0 || (wanted & group_of(item, j)) == 0)) continue;
      decoders[i].emplace(chunk.data() + plan.starts[i], plan.sizes[i]);
      layers[i] = &*decoders[i];
      if (item.type == item_point14) point14_active |= LayerSet{1} << j;
    }
    first += layers_of(item);
  }
  const std::uint32_t channel0 = (chunk[15] >> 4) & 3u;
  Point14Decoder point14(chunk.data(), effective_version(items[0]), point14_active);
  std::vector<ChannelItemDecoder> others;
  others.reserve(items.size());
  std::size_t offset = items[0].size;
  first = point14_layers;
  for (std::size_t k = 1; k < items.size(); ++k) {
    const ItemSpec& item = items[k];
    others.emplace_back(item.type, item.size, effective_version(item), chunk.data() + offset, channel0,
                        std::span<ArithmeticDecoder* const>(layers.data() + first, layers_of(item)));
    offset += item.size;
    first += layers_of(item);
  }

  std::array<ArithmeticDecoder*, point14_layers> point14_layers_in{};
  std::copy_n(layers.begin(), point14_layers, point14_layers_in.begin());
  for (std::uint32_t i = 1; i < plan.count; ++i) {
    std::uint8_t* record = records + std::size_t{i} * record_length;
    const std::uint32_t channel = point14.decode(point14_layers_in, record);
    std::uint8_t* item_bytes = record + items[0].size;
    for (ChannelItemDecoder& other : others) item_bytes = other.decode(channel, item_bytes);
    if (layers[0]->overrun()) return ChunkFailure::stream_overrun;  // a damaged stream stops early
  }
  for (std::size_t i = 0; i < layers.size(); ++i) {
    if (!layers[i]) continue;
    if (layers[i]->overrun()) return ChunkFailure::stream_overrun;
    if (layers[i]->consumed() != plan.sizes[i]) return ChunkFailure::stream_mismatch;
  }
  return ChunkFailure::none;
}

std::vector<std::uint8_t> encode_layered_chunk(std::span<const ItemSpec> items, const std::uint8_t* records,
                                               std::uint32_t count) {
  std::size_t record_length = 0;
  for (const ItemSpec& item : items) record_length += item.size;
  const std::size_t layers = layer_count(items);
  std::vector<std::uint8_t> out(record_length + 4 + 4 * layers, 0);
  std::memcpy(out.data(), records, record_length);
  store_u32(out.data() + record_length, count);
  if (count <= 1) return out;  // every layer empty

  // A layer is written only when its field differs from the first point's somewhere in the chunk.
  std::vector<bool> changed(layers, false);
  changed[0] = true;
  for (std::uint32_t i = 1; i < count; ++i) {
    const std::uint8_t* a = records;
    const std::uint8_t* b = records + std::size_t{i} * record_length;
    const Point14Fields fa = unpack_point14(a), fb = unpack_point14(b);
    if (fa.z != fb.z) changed[1] = true;
    if (fa.classification != fb.classification) changed[2] = true;
    if (fa.edge != fb.edge || fa.scan_direction != fb.scan_direction || fa.class_flags != fb.class_flags)
      changed[3] = true;
    if (fa.intensity != fb.intensity) changed[4] = true;
    if (fa.scan_angle != fb.scan_angle) changed[5] = true;
    if (fa.user_data != fb.user_data) changed[6] = true;
    if (fa.point_source != fb.point_source) changed[7] = true;
    if (fa.gps_time != fb.gps_time) changed[8] = true;
    std::size_t offset = items[0].size, first = point14_layers;
    for (std::size_t k = 1; k < items.size(); ++k) {
      const ItemSpec& item = items[k];
      for (std::size_t j = 0; j < layers_of(item); ++j)
        if (item_layer_differs(item.type, j, a + offset, b + offset)) changed[first + j] = true;
      offset += item.size;
      first += layers_of(item);
    }
  }
  std::vector<std::optional<ArithmeticEncoder>> encoders(layers);
  std::vector<ArithmeticEncoder*> streams(layers, nullptr);
  LayerSet point14_active = 0;
  for (std::size_t i = 0; i < layers; ++i) {
    if (!changed[i]) continue;
    streams[i] = &encoders[i].emplace();
    if (i < point14_layers) point14_active |= LayerSet{1} << i;
  }
  const std::uint32_t channel0 = (records[15] >> 4) & 3u;
  Point14Encoder point14(records, effective_version(items[0]), point14_active);
  std::vector<ChannelItemEncoder> others;
  others.reserve(items.size());
  std::size_t offset = items[0].size, first = point14_layers;
  for (std::size_t k = 1; k < items.size(); ++k) {
    const ItemSpec& item = items[k];
    others.emplace_back(item.type, item.size, effective_version(item), records + offset, channel0,
                        std::span<ArithmeticEncoder* const>(streams.data() + first, layers_of(item)));
    offset += item.size;
    first += layers_of(item);
  }
  std::array<ArithmeticEncoder*, point14_layers> point14_streams{};
  std::copy_n(streams.begin(), point14_layers, point14_streams.begin());
  for (std::uint32_t i = 1; i < count; ++i) {
    const std::uint8_t* record = records + std::size_t{i} * record_length;
    const std::uint32_t channel = point14.encode(point14_streams, record);
    const std::uint8_t* item_bytes = record + items[0].size;
    for (ChannelItemEncoder& other : others) item_bytes = other.encode(channel, item_bytes);
  }
  for (std::size_t i = 0; i < layers; ++i) {
    if (!streams[i]) continue;
    const std::vector<std::uint8_t> bytes = streams[i]->finish();
    store_u32(out.data() + record_length + 4 + 4 * i, static_cast<std::uint32_t>(bytes.size()));
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

}  // namespace ptdelta::laz
