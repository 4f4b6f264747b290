// ply_header.h - the header of a PLY file into a declaration of its elements
// The header ends at the first line that begins with "end_header" in any case; the lines before it declare the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/byte_source.h"
#include "input/scalar_types.h"

namespace ptdelta {

enum class PlyFormat { unknown, ascii, binary_little_endian, binary_big_endian };

struct PlyProperty {
  std::string name;
  ScalarType type = ScalarType::float32;      // the scalar type, or the item type of a list
  bool is_list = false;
  ScalarType count_type = ScalarType::uint8;  // lists only: always an integer type
};

struct PlyElement {
  std::string name;
  std::int64_t count = 0;  // 0 or more; meaningful only when `understood`
  std::vector<PlyProperty> properties;
  bool understood = true;  // its count and every property line of it were parsed
};

struct PlyHeader {
  bool end_found = false;  // an end_header line was met; the source stands just after it
  // A source that may never end (ByteSource::bounded() false) gave more than
  // ply_header_unbounded_limit bytes without an end_header line.
  bool endless = false;
  PlyFormat format = PlyFormat::unknown;
  // False after a format line other than "format <known kind> 1.0", a second
  // format line, a property line before any element, or a declaration line too
  // long to keep. `format` still names a binary kind when one was seen, so that
  // binary bytes are never scanned as text.
  bool understood = true;
  std::vector<PlyElement> elements;
};

// Where x, y and z are in a vertex element that can be read by its declaration.
struct PlyVertexLayout {
  std::size_t element = 0;       // index into PlyHeader::elements
  std::size_t x = 0, y = 0, z = 0;  // property indices within that element
  // Scalar properties nx, ny and nz (the first of each name), all three or none.
  bool has_normals = false;
  std::size_t nx = 0, ny = 0, nz = 0;
};

// Declaration lines longer than this are not kept whole (and are not understood);
// lines of any length are still consumed whole.
inline constexpr std::size_t ply_header_line_limit = std::size_t{1} << 16;
// From a source that may never end (a device, a pipe), a header must end within this many bytes.
inline constexpr std::size_t ply_header_unbounded_limit = std::size_t{1} << 20;

// True when the first ten characters of `line` are "end_header", letters in any case.
bool is_end_header_line(std::string_view line);

bool ply_format_is_binary(PlyFormat format);

// Adds one header line (without its end-of-line bytes or with them: '\r' and
// '\n' are white space) to `header`. Lines that are neither format, element nor
// property lines ("ply", "comment", "obj_info", anything else) are ignored.
void parse_ply_header_line(std::string_view line, PlyHeader& header);

// Reads whole lines up to and including the end_header line and parses those
// before it. Without such a line the whole source is consumed and end_found is
// false; a source that may never end is read no further than
// ply_header_unbounded_limit bytes (endless is then true). False only when memory
// ran out while keeping the declaration.
[[nodiscard]] bool read_ply_header(ByteSource& in, PlyHeader& header);

// The vertex layout when the header is understood, its format is known, and its
// first element named "vertex" has scalar properties x, y and z (the first of
// each name) and follows only elements that were understood; with its normal
// properties when nx, ny and nz are all there and none of them is a list.
std::optional<PlyVertexLayout> find_vertex_layout(const PlyHeader& header);

}  // namespace ptdelta
