#include "input/las_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>

#include "core/exact.h"
#include "input/fixed_records.h"
#include "input/little_endian.h"
#include "input/scalar_types.h"

namespace ptdelta {

namespace {

// Where the public header keeps what this reader needs.
constexpr std::size_t at_version = 24;             // major, minor: one byte each
constexpr std::size_t at_header_size = 94;         // uint16
constexpr std::size_t at_point_data_offset = 96;   // uint32
constexpr std::size_t at_point_format = 104;       // uint8; bits 0x80 and 0x40 mark compressed records
constexpr std::size_t at_record_length = 105;      // uint16
constexpr std::size_t at_legacy_count = 107;       // uint32
constexpr std::size_t at_scale = 131;              // three doubles, then the three offsets
constexpr std::size_t at_offset = 155;
constexpr std::size_t at_count_64 = 247;           // uint64, version 1.4

// The shortest record of each point format; x, y, z are its first three int32.
constexpr std::size_t min_record_length[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};

// Reads the public header and stands at its end. False when it is not a header
// this reader can use (compressed records among them).
bool read_header(ByteSource& in, LasHeader& layout) {
  char h[las_header_1_4_size] = {};
  if (in.read_bytes(h, las_header_1_0_size) != las_header_1_0_size) return false;
  const std::size_t header_size = load_u16(h + at_header_size);
  // The rest of the header, as far as this reader looks into it.
  const std::size_t wanted = std::clamp(header_size, las_header_1_0_size, las_header_1_4_size);
  if (in.read_bytes(h + las_header_1_0_size, wanted - las_header_1_0_size) != wanted - las_header_1_0_size)
    return false;
  if (!parse_las_header(h, wanted, layout) || (layout.format_byte & 0xC0U) != 0) return false;
  if (!in.skip_bytes(header_size - wanted)) return false;
  // Standing at the header's end: the variable-length records up to the points remain.
  layout.point_data_offset -= header_size;
  return true;
}

Failure read_records(ByteSource& in, const LasHeader& layout, PointAppender& out, FileFacts& facts) {
  return read_fixed_records(in, out, layout.record_length, layout.points, facts, [&](const char* record) {
    // x y z are defined as the scaled integers in double; the appender rounds them
    // once to float, after the shift if there is one.
    return out.add_exact(las_coordinate(record, layout, 0), las_coordinate(record + 4, layout, 1),
                         las_coordinate(record + 8, layout, 2));
  });
}

bool is_las_file(std::string_view bytes) { return bytes.starts_with("LASF"); }

}  // namespace

bool parse_las_header(const char* h, std::size_t size, LasHeader& layout) {
  if (size < las_header_1_0_size) return false;
  if (h[0] != 'L' || h[1] != 'A' || h[2] != 'S' || h[3] != 'F') return false;
  const int major = static_cast<unsigned char>(h[at_version]);
  const int minor = static_cast<unsigned char>(h[at_version + 1]);
  if (major != 1 || minor > 4) return false;
  layout.header_size = load_u16(h + at_header_size);
  if (layout.header_size < las_header_1_0_size || size < std::min(layout.header_size, las_header_1_4_size)) return false;
  layout.format_byte = static_cast<unsigned char>(h[at_point_format]);
  const unsigned format = layout.format_byte & 0x3FU;
  if (format > 10) return false;
  layout.record_length = load_u16(h + at_record_length);
  if (layout.record_length < min_record_length[format]) return false;
  layout.point_data_offset = load_u32(h + at_point_data_offset);
  if (layout.point_data_offset < layout.header_size) return false;
  for (std::size_t a = 0; a < 3; ++a) {
    layout.scale[a] = load_f64(h + at_scale + 8 * a);
    layout.offset[a] = load_f64(h + at_offset + 8 * a);
    if (!std::isfinite(layout.scale[a]) || !std::isfinite(layout.offset[a])) return false;
  }
  const std::uint32_t legacy = load_u32(h + at_legacy_count);
  if (legacy != 0 || minor < 4) {
    layout.points = legacy;
  } else {
    if (layout.header_size < las_header_1_4_size) return false;
    const std::uint64_t count = load_u64(h + at_count_64);
    if (count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    layout.points = static_cast<std::int64_t>(count);
  }
  return true;
}

double las_coordinate(const char* p, const LasHeader& layout, std::size_t axis) {
  return scaled_coordinate(decode_scalar(p, ScalarType::int32, ByteOrder::little), layout.scale[axis],
                           layout.offset[axis]);
}

Failure read_las_cloud(ByteSource& in, PointAppender& out, FileFacts& facts) {
  try {
    LasHeader layout;
    if (!read_header(in, layout)) return in.failed() ? Failure::read_error : Failure::unsupported;
    if (!in.skip_bytes(layout.point_data_offset)) {
      if (in.failed()) return Failure::read_error;
      if (layout.points > 0) facts.shortfall = Shortfall{0, layout.points, "points"};
      return Failure::none;
    }
    return read_records(in, layout, out, facts);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

// LAS records are read on one thread.
extern const FormatRow las_format = {
    .name = "LAS",
    .key = "las",
    .recognise = is_las_file,
    .read = [](ByteSource& in, PointAppender& out, FileFacts& facts, int) { return read_las_cloud(in, out, facts); },
    .help = ""};

}  // namespace ptdelta
