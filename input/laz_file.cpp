#include "input/laz_file.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "input/laz_coder.h"
#include "input/laz_pointwise.h"
#include "input/little_endian.h"

namespace ptdelta::laz {

namespace {

constexpr std::size_t header_min_size = 227;
constexpr std::size_t header_1_4_size = 375;
constexpr std::size_t vlr_header_size = 54;
constexpr std::uint16_t laszip_record_id = 22204;
constexpr char laszip_user_id[16] = "laszip encoded";

const char* at(std::span<const std::uint8_t> file, std::uint64_t offset) {
  return reinterpret_cast<const char*>(file.data() + offset);
}

bool pointwise_item_valid(const ItemSpec& item) {
  if (item.version != 1 && item.version != 2) return false;
  switch (item.type) {
    case item_byte: return item.size >= 1;
    case item_point10: return item.size == 20;
    case item_gpstime11: return item.size == 8;
    case item_rgb12: return item.size == 6;
    case item_wavepacket13: return item.size == 29;
    default: return false;
  }
}

// The item list against the compressor: one family only, sizes adding up to the record length.
bool items_valid(Compressor compressor, std::span<const ItemSpec> items, std::uint16_t record_length) {
  if (compressor == Compressor::layered_chunked) return layered_items_valid(items, record_length);
  std::size_t total = 0;
  for (const ItemSpec& item : items) {
    total += item.size;
    if (compressor == Compressor::none) {
      if (item.type >= 1 && item.type <= 5) return false;
    } else if (!pointwise_item_valid(item)) {
      return false;
    }
  }
  if (compressor != Compressor::none && items[0].type != item_point10) return false;
  return total == record_length;
}

LazRefusal parse_laszip_payload(std::span<const std::uint8_t> payload, LazLayout& layout) {
  if (payload.size() < 34) return LazRefusal::bad_vlr;
  const auto* p = reinterpret_cast<const char*>(payload.data());
  const std::uint16_t compressor = load_u16(p), coder = load_u16(p + 2);
  const std::uint16_t n = load_u16(p + 32);
  if (n == 0 || payload.size() != 34 + 6 * std::size_t{n}) return LazRefusal::bad_vlr;
  if (coder != 0) return LazRefusal::bad_coder;
  if (compressor > 3) return LazRefusal::bad_compressor;
  layout.compressor = static_cast<Compressor>(compressor);
  layout.chunk_size = load_u32(p + 12);
  const bool chunked = compressor >= 2;
  if (chunked && layout.chunk_size == 0) layout.chunk_size = variable_chunk_size;
  layout.items.resize(n);
  for (std::size_t i = 0; i < n; ++i)
    layout.items[i] = {load_u16(p + 34 + 6 * i), load_u16(p + 36 + 6 * i), load_u16(p + 38 + 6 * i)};
  return items_valid(layout.compressor, layout.items, layout.record_length) ? LazRefusal::none : LazRefusal::bad_items;
}

}  // namespace

LazRefusal parse_laz_layout(std::span<const std::uint8_t> file, LazLayout& layout) {
  if (file.size() < header_min_size || std::memcmp(file.data(), "LASF", 4) != 0) return LazRefusal::not_las;
  const std::uint8_t major = file[24], minor = file[25];
  const std::size_t header_size = load_u16(at(file, 94));
  if (major != 1 || minor > 4 || header_size < header_min_size || header_size > file.size()) return LazRefusal::not_las;
  layout = LazLayout{};
  layout.point_data_offset = load_u32(at(file, 96));
  const std::uint32_t vlr_count = load_u32(at(file, 100));
  const std::uint8_t format = file[104];
  layout.point_format = format & 0x3Fu;
  layout.record_length = load_u16(at(file, 105));
  layout.point_count = load_u32(at(file, 107));
  layout.area_end = file.size();
  if (minor == 4 && header_size >= header_1_4_size) {
    layout.point_count = load_u64(at(file, 247));
    const std::uint64_t evlr_start = load_u64(at(file, 235));
    const std::uint32_t evlr_count = load_u32(at(file, 243));
    if (evlr_count > 0 && evlr_start > layout.point_data_offset && evlr_start <= file.size())
      layout.area_end = evlr_start;
  }
  if (format & 0x40u) return LazRefusal::bad_format_bits;

  bool found = false;
  std::uint64_t offset = header_size;
  for (std::uint32_t i = 0; i < vlr_count && !found; ++i) {
    if (offset + vlr_header_size > file.size()) return LazRefusal::bad_vlr;
    const std::uint16_t record_id = load_u16(at(file, offset + 18));
    const std::uint64_t length = load_u16(at(file, offset + 20));
    if (offset + vlr_header_size + length > file.size()) return LazRefusal::bad_vlr;
    if (record_id == laszip_record_id && std::memcmp(file.data() + offset + 2, laszip_user_id, 16) == 0) {
      found = true;
      layout.vlr_start = offset;
      layout.vlr_length = vlr_header_size + length;
      const LazRefusal r = parse_laszip_payload(file.subspan(offset + vlr_header_size, length), layout);
      if (r != LazRefusal::none) return r;
    }
    offset += vlr_header_size + length;
  }
  if (!found) return (format & 0x80u) ? LazRefusal::missing_vlr : LazRefusal::not_compressed;
  if (layout.point_data_offset > file.size()) return LazRefusal::bad_vlr;
  return LazRefusal::none;
}

bool marks_compression(std::span<const std::uint8_t> first) {
  if (first.size() < header_min_size || std::memcmp(first.data(), "LASF", 4) != 0) return false;
  if (first[104] & 0x80u) return true;
  const std::uint32_t vlr_count = load_u32(at(first, 100));
  std::uint64_t offset = load_u16(at(first, 94));
  for (std::uint32_t i = 0; i < vlr_count && offset + vlr_header_size <= first.size(); ++i) {
    if (load_u16(at(first, offset + 18)) == laszip_record_id &&
        std::memcmp(first.data() + offset + 2, laszip_user_id, 16) == 0)
      return true;
    offset += vlr_header_size + load_u16(at(first, offset + 20));
  }
  return false;
}

const char* describe(LazRefusal refusal) {
  switch (refusal) {
    case LazRefusal::none: return "compressed LAS";
    case LazRefusal::not_las: return "not a LAS header";
    case LazRefusal::not_compressed: return "no compressed points";
    case LazRefusal::missing_vlr: return "compressed point format without its LASzip VLR";
    case LazRefusal::bad_format_bits: return "point format byte with bit 6 set";
    case LazRefusal::bad_vlr: return "damaged VLR";
    case LazRefusal::bad_coder: return "unknown coder";
    case LazRefusal::bad_compressor: return "unknown compressor";
    case LazRefusal::bad_items: return "item list not usable";
  }
  return "unknown";
}

namespace {

// The table's entries: counts (variable chunks) and byte sizes, each predicted from the one before.
TableFailure read_chunk_table(std::span<const std::uint8_t> file, const LazLayout& layout, std::uint64_t table,
                              std::vector<LazChunk>& chunks) {
  if (load_u32(at(file, table)) != 0) return TableFailure::bad_version;
  const std::uint32_t count = load_u32(at(file, table + 4));
  const std::uint64_t first = layout.point_data_offset + 8;
  const bool variable = layout.chunk_size == variable_chunk_size;
  const std::uint64_t expected =
      variable ? 0 : (layout.point_count + layout.chunk_size - 1) / layout.chunk_size;
  if (!variable && count != expected) return TableFailure::bad_entries;
  if (count > layout.point_count || count > table - first) return TableFailure::bad_entries;
  if (count == 0) return layout.point_count == 0 ? TableFailure::none : TableFailure::bad_entries;
  const std::uint64_t end = layout.area_end >= table + 8 ? layout.area_end : file.size();
  ArithmeticDecoder dec(file.data() + table + 8, static_cast<std::size_t>(end - (table + 8)));
  IntegerDecompressor ic(32, 2);
  chunks.resize(count);
  std::uint32_t last_points = 0, last_bytes = 0;
  std::uint64_t offset = first, points_left = layout.point_count;
  for (LazChunk& chunk : chunks) {
    if (variable) last_points = static_cast<std::uint32_t>(ic.decompress(dec, static_cast<std::int32_t>(last_points), 0));
    last_bytes = static_cast<std::uint32_t>(ic.decompress(dec, static_cast<std::int32_t>(last_bytes), 1));
    chunk.points = variable ? last_points : std::min<std::uint64_t>(layout.chunk_size, points_left);
    chunk.bytes = last_bytes;
    chunk.offset = offset;
    if (chunk.points > points_left) return TableFailure::bad_entries;
    points_left -= chunk.points;
    offset += last_bytes;
  }
  if (dec.overrun() || points_left != 0 || offset != table) return TableFailure::bad_entries;
  return TableFailure::none;
}

// Without a table: each chunk starts where the one before ended.
TableFailure step_through_chunks(std::span<const std::uint8_t> file, const LazLayout& layout,
                                 std::vector<LazChunk>& chunks) {
  const bool variable = layout.chunk_size == variable_chunk_size;
  std::uint64_t offset = layout.point_data_offset + 8, points_left = layout.point_count;
  while (points_left > 0) {
    if (offset >= layout.area_end) return TableFailure::bad_entries;
    LazChunk chunk{offset, 0, variable ? 0 : std::min<std::uint64_t>(layout.chunk_size, points_left)};
    const std::span<const std::uint8_t> rest = file.subspan(offset, layout.area_end - offset);
    if (layout.compressor == Compressor::layered_chunked) {
      LayeredChunkHead head;
      if (read_layered_chunk_head(rest, layout.items, head) != ChunkFailure::none) return TableFailure::bad_entries;
      if (variable) chunk.points = head.count;
      chunk.bytes = head.bytes;
    } else {
      if (variable) return TableFailure::unsupported;
      // A pointwise chunk's end is known only once its stream is decoded.
      std::vector<std::uint8_t> scratch;
      if (chunk.points > rest.size()) return TableFailure::bad_entries;  // every point takes a byte at least
      scratch.resize(chunk.points * layout.record_length);
      const ChunkDecodeResult r = decode_pointwise_chunk(layout.items, rest.data(), rest.size(), chunk.points, scratch.data());
      if (r.status != ChunkStatus::ok) return TableFailure::bad_entries;
      chunk.bytes = r.consumed;
    }
    if (chunk.points == 0 || chunk.points > points_left) return TableFailure::bad_entries;
    points_left -= chunk.points;
    offset += chunk.bytes;
    chunks.push_back(chunk);
  }
  return TableFailure::none;
}

}  // namespace

TableFailure list_laz_chunks(std::span<const std::uint8_t> file, const LazLayout& layout,
                             std::vector<LazChunk>& chunks) {
  chunks.clear();
  if (layout.point_count == 0) return TableFailure::none;
  const std::uint64_t start = layout.point_data_offset;
  if (layout.compressor == Compressor::none || layout.compressor == Compressor::pointwise) {
    // One run of records, or one pointwise chunk, to the end of the compressed area.
    if (start > layout.area_end) return TableFailure::bad_pointer;
    chunks.push_back({start, layout.area_end - start, layout.point_count});
    return TableFailure::none;
  }
  if (start + 8 > file.size()) return TableFailure::bad_pointer;
  std::uint64_t table = load_u64(at(file, start));
  if (table == ~std::uint64_t{0}) {  // written without seeking back: the pointer closes the file
    if (file.size() < 8) return TableFailure::bad_pointer;
    table = load_u64(at(file, file.size() - 8));
  }
  if (table == start || table > file.size() || file.size() - table < 8) return step_through_chunks(file, layout, chunks);
  const TableFailure read = table < start + 8 ? TableFailure::bad_pointer : read_chunk_table(file, layout, table, chunks);
  if (read == TableFailure::none || read == TableFailure::bad_version) return read;
  // A damaged table: the chunks can still be found one after another, as far as they are whole.
  chunks.clear();
  return step_through_chunks(file, layout, chunks) == TableFailure::none ? TableFailure::none : read;
}

ChunkFailure decode_laz_chunk(std::span<const std::uint8_t> file, const LazLayout& layout, const LazChunk& chunk,
                              LayerSet wanted, std::uint8_t* records) {
  if (chunk.offset > file.size() || chunk.bytes > file.size() - chunk.offset) return ChunkFailure::truncated;
  if (chunk.points == 0) return ChunkFailure::none;
  if (chunk.points > 0xFFFFFFFFu) return ChunkFailure::count_mismatch;
  const std::span<const std::uint8_t> bytes = file.subspan(chunk.offset, chunk.bytes);
  const auto points = static_cast<std::uint32_t>(chunk.points);
  switch (layout.compressor) {
    case Compressor::none:
      if (chunk.bytes / layout.record_length < chunk.points) return ChunkFailure::truncated;
      std::memcpy(records, bytes.data(), chunk.points * layout.record_length);
      return ChunkFailure::none;
    case Compressor::layered_chunked: return decode_layered_chunk(bytes, layout.items, points, wanted, records);
    default: {
      const ChunkDecodeResult r = decode_pointwise_chunk(layout.items, bytes.data(), bytes.size(), points, records);
      switch (r.status) {
        case ChunkStatus::ok: return r.consumed == bytes.size() ? ChunkFailure::none : ChunkFailure::stream_mismatch;
        case ChunkStatus::unsupported_items: return ChunkFailure::unsupported_items;
        case ChunkStatus::truncated: return ChunkFailure::truncated;
        case ChunkStatus::overrun: return ChunkFailure::stream_overrun;
      }
      return ChunkFailure::stream_overrun;
    }
  }
}

}  // namespace ptdelta::laz
