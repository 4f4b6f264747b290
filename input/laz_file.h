// laz_file.h - a compressed LAS file held in memory: its layout, its chunks, decoding and encoding
// The LASzip VLR and the chunk table say where each chunk lies; every chunk decodes on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "input/laz_layered.h"

namespace ptdelta::laz {

enum class Compressor : std::uint16_t { none = 0, pointwise = 1, pointwise_chunked = 2, layered_chunked = 3 };

inline constexpr std::uint32_t variable_chunk_size = 0xFFFFFFFFu;

// What the LAS header and the LASzip VLR say about the compressed points.
struct LazLayout {
  Compressor compressor = Compressor::none;
  std::uint32_t chunk_size = 0;        // variable_chunk_size for variable chunks (also when stored as 0)
  std::vector<ItemSpec> items;          // in record order
  std::uint64_t point_count = 0;       // the 64-bit count for version 1.4, else the legacy one
  std::uint16_t record_length = 0;
  std::uint8_t point_format = 0;       // the format byte & 0x3F
  std::uint64_t point_data_offset = 0;
  std::uint64_t area_end = 0;          // end of the compressed area: first EVLR, else the file's end
  std::uint64_t vlr_start = 0;         // the LASzip VLR's place (header included) and length,
  std::uint64_t vlr_length = 0;        // for writing the records back as a plain LAS file
};

enum class LazRefusal : std::uint8_t {
  none,
  not_las,               // no LAS signature, or a header too short or of another version
  not_compressed,        // no LASzip VLR and format bit 7 clear: a plain LAS file
  missing_vlr,           // format bit 7 set without the LASzip VLR
  bad_format_bits,       // format bit 6 set
  bad_vlr,               // a payload length that is not 34 + 6 N, or N = 0, or VLRs past the end
  bad_coder,             // a coder other than 0
  bad_compressor,        // a compressor above 3
  bad_items,             // unknown or obsolete item types, mixed families, sizes off the record length
};

// Parses the header and VLRs of `file`. On none, `layout` is filled.
LazRefusal parse_laz_layout(std::span<const std::uint8_t> file, LazLayout& layout);
const char* describe(LazRefusal refusal);

// True when the first bytes of a file are a LAS header whose format byte has bit 7 set, or whose
// VLRs, as far as those bytes hold them, include the LASzip VLR: the file is to be decoded, not
// read as plain records.
bool marks_compression(std::span<const std::uint8_t> first);

// One chunk: where its bytes start in the file, how many there are, and how many points they hold.
struct LazChunk {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
  std::uint64_t points = 0;
};

enum class TableFailure : std::uint8_t {
  none,
  unsupported,        // compressor 0 (nothing compressed), or variable pointwise chunks without a table
  bad_pointer,        // the chunk-table pointer (or its copy at the file's end) cannot be read
  bad_version,        // a table version other than 0
  bad_entries,        // a damaged entry stream, or entries that disagree with the file
};

// Lists the chunks of the file in order. With a table, from its entries; without one (pointer at
// the first chunk or beyond the file), or when the table is damaged, by stepping from chunk to chunk
// as each one ends. Postcondition on none: chunks lie back to back inside the compressed area and
// their points add up to point_count. On another failure `chunks` holds the whole chunks that
// stepping found before the damage (none for bad_version and unsupported).
TableFailure list_laz_chunks(std::span<const std::uint8_t> file, const LazLayout& layout,
                             std::vector<LazChunk>& chunks);

// Decodes chunk `chunk` of `file` into `records`, which must hold chunk.points * record_length bytes.
// `wanted` applies to layered chunks (pointwise chunks always decode every field). A damaged chunk
// gives its failure and leaves the records undefined; the chunks before it stay valid.
ChunkFailure decode_laz_chunk(std::span<const std::uint8_t> file, const LazLayout& layout, const LazChunk& chunk,
                              LayerSet wanted, std::uint8_t* records);

// How encode_laz cuts the points into chunks.
struct LazEncoding {
  Compressor compressor = Compressor::layered_chunked;  // pointwise_chunked or layered_chunked
  std::uint16_t item_version = 3;                       // 2 for pointwise items; 3 or 4 for layered
  std::uint32_t chunk_size = 50000;                     // or variable_chunk_size, then chunk_counts
  std::vector<std::uint32_t> chunk_counts;              // points per chunk, summing to the count
};

// The item list written for a point format and record length (extra bytes as BYTE / BYTE14);
// empty when the record is shorter than the format's standard size or the format is unknown.
std::vector<ItemSpec> items_for_format(std::uint8_t point_format, std::uint16_t record_length,
                                      std::uint16_t item_version);

// A whole compressed file from a plain LAS file's parts: `header` (its header bytes, header size
// long), `vlrs` (its VLR bytes, header's VLR count of them), `records` (point count x record
// length) and `evlrs` (LAS 1.4; may be empty). The LASzip VLR is appended to the VLRs, the format
// byte gets bit 7, the VLR count, offset to point data and EVLR start are fixed up, and the chunk
// table follows the chunks. Empty when the header cannot be used.
std::vector<std::uint8_t> encode_laz(std::span<const std::uint8_t> header, std::span<const std::uint8_t> vlrs,
                                     std::span<const std::uint8_t> records, std::span<const std::uint8_t> evlrs,
                                     const LazEncoding& encoding);

// The same from a whole plain LAS file, split by its own header.
std::vector<std::uint8_t> encode_laz_from_las(std::span<const std::uint8_t> las, const LazEncoding& encoding);

}  // namespace ptdelta::laz
