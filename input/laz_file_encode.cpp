// The writing half of laz_file.h: a plain LAS file's parts into a compressed file.
#include <algorithm>
#include <cstring>

#include "input/laz_coder.h"
#include "input/laz_file.h"
#include "input/laz_pointwise.h"
#include "input/little_endian.h"

namespace ptdelta::laz {

namespace {

constexpr std::size_t header_min_size = 227;
constexpr std::size_t header_1_4_size = 375;
constexpr std::size_t vlr_header_size = 54;

// The standard record size of formats 0 to 10.
constexpr std::uint16_t standard_size[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

void put_le(std::vector<std::uint8_t>& out, std::size_t at, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, v >>= 8) out[at + i] = static_cast<std::uint8_t>(v);
}
void append_le(std::vector<std::uint8_t>& out, std::uint64_t v, std::size_t size) {
  out.resize(out.size() + size);
  put_le(out, out.size() - size, v, size);
}

std::vector<std::uint8_t> laszip_vlr(const LazEncoding& encoding, std::span<const ItemSpec> items,
                                     std::uint32_t chunk_size) {
  std::vector<std::uint8_t> vlr(vlr_header_size, 0);
  std::memcpy(vlr.data() + 2, "laszip encoded", 14);  // NUL padded to 16
  put_le(vlr, 18, 22204, 2);
  put_le(vlr, 20, 34 + 6 * items.size(), 2);
  std::memcpy(vlr.data() + 22, "ptdelta", 7);
  append_le(vlr, static_cast<std::uint16_t>(encoding.compressor), 2);
  append_le(vlr, 0, 2);                         // the arithmetic coder
  append_le(vlr, 0, 4);                         // library version: informational only
  append_le(vlr, 0, 4);                         // options
  append_le(vlr, chunk_size, 4);
  append_le(vlr, ~std::uint64_t{0}, 8);         // no special EVLRs: count and offset -1
  append_le(vlr, ~std::uint64_t{0}, 8);
  append_le(vlr, items.size(), 2);
  for (const ItemSpec& item : items) {
    append_le(vlr, item.type, 2);
    append_le(vlr, item.size, 2);
    append_le(vlr, item.version, 2);
  }
  return vlr;
}

// Points per chunk; empty when variable counts do not add up to the point count.
std::vector<std::uint32_t> chunk_counts(const LazEncoding& encoding, std::uint64_t points) {
  if (encoding.chunk_size == variable_chunk_size) {
    std::uint64_t total = 0;
    for (std::uint32_t c : encoding.chunk_counts) total += c;
    if (total != points || std::find(encoding.chunk_counts.begin(), encoding.chunk_counts.end(), 0u) !=
                               encoding.chunk_counts.end())
      return {};
    return encoding.chunk_counts;
  }
  std::vector<std::uint32_t> counts;
  if (encoding.chunk_size == 0) return counts;
  for (std::uint64_t left = points; left > 0;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, encoding.chunk_size));
    counts.push_back(n);
    left -= n;
  }
  return counts;
}

void append_chunk_table(std::vector<std::uint8_t>& out, std::span<const std::uint32_t> counts,
                        std::span<const std::uint64_t> sizes, bool variable) {
  append_le(out, 0, 4);  // version
  append_le(out, counts.size(), 4);
  if (counts.empty()) return;
  ArithmeticEncoder enc;
  IntegerCompressor ic(32, 2);
  std::uint32_t last_count = 0, last_bytes = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const auto bytes = static_cast<std::uint32_t>(sizes[i]);
    if (variable) ic.compress(enc, static_cast<std::int32_t>(last_count), static_cast<std::int32_t>(counts[i]), 0);
    ic.compress(enc, static_cast<std::int32_t>(last_bytes), static_cast<std::int32_t>(bytes), 1);
    last_count = counts[i];
    last_bytes = bytes;
  }
  const std::vector<std::uint8_t> stream = enc.finish();
  out.insert(out.end(), stream.begin(), stream.end());
}

}  // namespace

std::vector<ItemSpec> items_for_format(std::uint8_t point_format, std::uint16_t record_length,
                                      std::uint16_t item_version) {
  if (point_format > 10 || record_length < standard_size[point_format]) return {};
  const auto v = item_version;
  std::vector<ItemSpec> items;
  if (point_format <= 5) {
    items.push_back({item_point10, 20, v});
    if (point_format != 0 && point_format != 2) items.push_back({item_gpstime11, 8, v});
    if (point_format == 2 || point_format == 3 || point_format == 5) items.push_back({item_rgb12, 6, v});
    if (point_format >= 4) items.push_back({item_wavepacket13, 29, v});
  } else {
    items.push_back({item_point14, 30, v});
    if (point_format == 7) items.push_back({item_rgb14, 6, v});
    if (point_format == 8 || point_format == 10) items.push_back({item_rgbnir14, 8, v});
    if (point_format == 9 || point_format == 10) items.push_back({item_wavepacket14, 29, v});
  }
  const auto extra = static_cast<std::uint16_t>(record_length - standard_size[point_format]);
  if (extra > 0) items.push_back({point_format <= 5 ? item_byte : item_byte14, extra, v});
  return items;
}

std::vector<std::uint8_t> encode_laz(std::span<const std::uint8_t> header, std::span<const std::uint8_t> vlrs,
                                     std::span<const std::uint8_t> records, std::span<const std::uint8_t> evlrs,
                                     const LazEncoding& encoding) {
  if (header.size() < header_min_size) return {};
  const auto* h = reinterpret_cast<const char*>(header.data());
  const std::size_t header_size = load_u16(h + 94);
  const std::uint8_t format = header[104] & 0x3Fu;
  const std::uint16_t record_length = load_u16(h + 105);
  if (header_size != header.size() || record_length == 0 || records.size() % record_length != 0) return {};
  const bool layered = encoding.compressor == Compressor::layered_chunked;
  if (!layered && encoding.compressor != Compressor::pointwise_chunked) return {};
  if (layered != (format >= 6)) return {};
  const std::vector<ItemSpec> items = items_for_format(format, record_length, encoding.item_version);
  if (items.empty()) return {};
  const std::uint64_t points = records.size() / record_length;
  const std::vector<std::uint32_t> counts = chunk_counts(encoding, points);
  if (points > 0 && counts.empty()) return {};

  std::vector<std::uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), vlrs.begin(), vlrs.end());
  const std::vector<std::uint8_t> vlr = laszip_vlr(encoding, items, encoding.chunk_size);
  out.insert(out.end(), vlr.begin(), vlr.end());
  out[104] = static_cast<std::uint8_t>(format | 0x80u);
  put_le(out, 100, load_u32(h + 100) + 1u, 4);
  const std::uint64_t point_data_offset = out.size();
  put_le(out, 96, point_data_offset, 4);
  append_le(out, 0, 8);  // the chunk-table pointer, known once the chunks are written

  std::vector<std::uint64_t> sizes;
  std::size_t first = 0;
  for (const std::uint32_t count : counts) {
    const std::uint8_t* chunk_records = records.data() + first * record_length;
    std::vector<std::uint8_t> chunk;
    if (layered) {
      chunk = encode_layered_chunk(items, chunk_records, count);
    } else {
      encode_pointwise_chunk(items, chunk_records, count, chunk);
    }
    if (chunk.empty()) return {};
    sizes.push_back(chunk.size());
    out.insert(out.end(), chunk.begin(), chunk.end());
    first += count;
  }
  put_le(out, point_data_offset, out.size(), 8);
  append_chunk_table(out, counts, sizes, encoding.chunk_size == variable_chunk_size);
  if (header_size >= header_1_4_size && !evlrs.empty()) put_le(out, 235, out.size(), 8);
  out.insert(out.end(), evlrs.begin(), evlrs.end());
  return out;
}

std::vector<std::uint8_t> encode_laz_from_las(std::span<const std::uint8_t> las, const LazEncoding& encoding) {
  if (las.size() < header_min_size || std::memcmp(las.data(), "LASF", 4) != 0) return {};
  const auto* h = reinterpret_cast<const char*>(las.data());
  const std::size_t header_size = load_u16(h + 94);
  const std::uint64_t point_data_offset = load_u32(h + 96);
  const std::uint32_t vlr_count = load_u32(h + 100);
  const std::uint16_t record_length = load_u16(h + 105);
  const bool v14 = las[25] == 4 && header_size >= header_1_4_size;
  const std::uint64_t points = v14 ? load_u64(h + 247) : load_u32(h + 107);
  if (header_size > las.size() || point_data_offset > las.size()) return {};
  // The VLRs end where the last one ends; bytes between them and the points are not carried over.
  std::uint64_t vlr_end = header_size;
  for (std::uint32_t i = 0; i < vlr_count; ++i) {
    if (vlr_end + vlr_header_size > point_data_offset) return {};
    vlr_end += vlr_header_size + load_u16(h + vlr_end + 20);
  }
  if (vlr_end > point_data_offset || points * record_length > las.size() - point_data_offset) return {};
  std::span<const std::uint8_t> evlrs;
  if (v14 && load_u32(h + 243) > 0) {
    const std::uint64_t evlr_start = load_u64(h + 235);
    if (evlr_start < point_data_offset + points * record_length || evlr_start > las.size()) return {};
    evlrs = las.subspan(evlr_start);
  }
  return encode_laz(las.first(header_size), las.subspan(header_size, vlr_end - header_size),
                    las.subspan(point_data_offset, points * record_length), evlrs, encoding);
}

}  // namespace ptdelta::laz
