#include "input/ply_reader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string_view>
#include <optional>

#include "core/exact.h"
#include "input/coordinate.h"
#include "input/field_groups.h"
#include "input/ply_header.h"
#include "input/scan_number.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

constexpr int no_axis = -1;

struct PropertyPlan {
  ScalarType type = ScalarType::float32;  // the scalar, or the item of a list
  std::size_t size = 0;                 // bytes of the scalar or of one list item
  bool is_list = false;
  ScalarType count_type = ScalarType::uint8;
  std::size_t count_size = 0;
  int axis = no_axis;                   // 0, 1, 2 for x, y, z
  int normal = no_axis;                 // 0, 1, 2 for nx, ny, nz when normals are kept; neither: only skipped
};

// How to read (or skip) one item of an element.
struct ElementPlan {
  std::int64_t count = 0;
  std::vector<PropertyPlan> properties;
  bool fixed = true;       // no list property: every item has `stride` bytes in a binary body
  std::size_t stride = 0;
  std::size_t offset[3] = {0, 0, 0};  // fixed vertices: where x, y, z start within the item
  ScalarType axis_type[3] = {ScalarType::float32, ScalarType::float32, ScalarType::float32};
  bool normals = false;  // nx ny nz are kept, one normal per vertex
  std::size_t normal_offset[3] = {0, 0, 0};
  ScalarType normal_type[3] = {ScalarType::float32, ScalarType::float32, ScalarType::float32};
};

// `layout` null: an element only skipped. Normals are planned only when the
// layout has them and `with_normals` asks for them.
ElementPlan make_plan(const PlyElement& element, const PlyVertexLayout* layout, bool with_normals = false) {
  ElementPlan plan;
  plan.count = element.count;
  plan.normals = layout != nullptr && layout->has_normals && with_normals;
  for (std::size_t i = 0; i < element.properties.size(); ++i) {
    const PlyProperty& property = element.properties[i];
    PropertyPlan p;
    p.type = property.type;
    p.size = scalar_size(property.type);
    p.is_list = property.is_list;
    p.count_type = property.count_type;
    p.count_size = scalar_size(property.count_type);
    if (layout != nullptr) {
      if (i == layout->x) p.axis = 0;
      if (i == layout->y) p.axis = 1;
      if (i == layout->z) p.axis = 2;
      if (plan.normals) {
        if (i == layout->nx) p.normal = 0;
        if (i == layout->ny) p.normal = 1;
        if (i == layout->nz) p.normal = 2;
      }
    }
    if (p.is_list) plan.fixed = false;
    if (p.axis != no_axis) {
      const auto a = static_cast<std::size_t>(p.axis);
      plan.offset[a] = plan.stride;
      plan.axis_type[a] = p.type;
    }
    if (p.normal != no_axis) {
      const auto a = static_cast<std::size_t>(p.normal);
      plan.normal_offset[a] = plan.stride;
      plan.normal_type[a] = p.type;
    }
    plan.stride += p.size;
    plan.properties.push_back(p);
  }
  return plan;
}

Failure end_of_body(const ByteSource& in) { return in.end_state(); }

// ---- binary bodies ----

// A normal component as stored, rounded once to float.
float normal_of(const char* bytes, ScalarType type, ByteOrder order) { return single_of(decode_scalar(bytes, type, order)); }

// One item of any layout, property by property. False at a truncated body or at
// a list count that is negative or beyond the signed 32-bit range.
bool read_binary_item(ByteSource& in, const ElementPlan& plan, ByteOrder order, double* xyz, float* normal) {
  char bytes[8];
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      if (in.read_bytes(bytes, p.count_size) != p.count_size) return false;
      const std::int64_t n = decode_count(bytes, p.count_type, order);
      if (n < 0 || n > std::numeric_limits<std::int32_t>::max()) return false;
      if (!in.skip_bytes(static_cast<std::uint64_t>(n) * p.size)) return false;
    } else if (p.axis == no_axis && p.normal == no_axis) {
      if (!in.skip_bytes(p.size)) return false;
    } else {
      if (in.read_bytes(bytes, p.size) != p.size) return false;
      if (p.axis != no_axis) xyz[p.axis] = decode_scalar(bytes, p.type, order);
      if (p.normal != no_axis) normal[p.normal] = normal_of(bytes, p.type, order);
    }
  }
  return true;
}

// Skips the items of an element before the vertices. False when the body ends first.
bool skip_binary_element(ByteSource& in, const ElementPlan& plan, ByteOrder order) {
  if (plan.fixed) {
    const auto count = static_cast<std::uint64_t>(plan.count);
    const std::uint64_t stride = plan.stride;
    // A product beyond 64 bits is beyond any data as well.
    const std::uint64_t total =
        count > std::numeric_limits<std::uint64_t>::max() / stride ? std::numeric_limits<std::uint64_t>::max()
                                                                    : count * stride;
    return in.skip_bytes(total);
  }
  for (std::int64_t i = 0; i < plan.count; ++i)
    if (!read_binary_item(in, plan, order, nullptr, nullptr)) return false;
  return true;
}

// Fixed records: decoded in place from the buffer, copying only a record that
// straddles two blocks. The normals' loop is its own, so the points' loop
// carries nothing for them.
template <bool with_normals>
Failure read_fixed_vertices(ByteSource& in, const ElementPlan& plan, ByteOrder order, PointAppender& out,
                            std::int64_t& read) {
  std::vector<char> straddling;
  for (; read < plan.count; ++read) {
    const char* record = in.next_record(plan.stride, straddling);
    if (record == nullptr) break;
    if (!out.add_exact(decode_scalar(record + plan.offset[0], plan.axis_type[0], order),
                       decode_scalar(record + plan.offset[1], plan.axis_type[1], order),
                       decode_scalar(record + plan.offset[2], plan.axis_type[2], order)))
      return Failure::out_of_memory;
    if constexpr (with_normals) {
      if (!out.add_normal(normal_of(record + plan.normal_offset[0], plan.normal_type[0], order),
                          normal_of(record + plan.normal_offset[1], plan.normal_type[1], order),
                          normal_of(record + plan.normal_offset[2], plan.normal_type[2], order)))
        return Failure::out_of_memory;
    }
  }
  return end_of_body(in);
}

// The vertices of a declared element; `read` counts those stored.
Failure read_binary_vertices(ByteSource& in, const ElementPlan& plan, ByteOrder order, PointAppender& out,
                             std::int64_t& read) {
  if (plan.fixed)
    return plan.normals ? read_fixed_vertices<true>(in, plan, order, out, read)
                        : read_fixed_vertices<false>(in, plan, order, out, read);
  for (; read < plan.count; ++read) {
    double xyz[3] = {0.0, 0.0, 0.0};
    float normal[3] = {0.0f, 0.0f, 0.0f};
    if (!read_binary_item(in, plan, order, xyz, normal)) break;
    if (!out.add_exact(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    if (plan.normals && !out.add_normal(normal[0], normal[1], normal[2])) return Failure::out_of_memory;
  }
  return end_of_body(in);
}

// ---- ASCII bodies ----

// One field: "%d" for integer types, "%f" for floating types (read as
// `precision` asks). `out` may be null: the field is only taken.
bool read_ascii_scalar(ByteSource& in, ScalarType type, ReadPrecision precision, CoordinateReading* out) {
  if (scalar_is_integer(type)) {
    int value = 0;
    if (!scan_int(in, value)) return false;
    if (out != nullptr) *out = {single_of(static_cast<double>(value)), static_cast<double>(value)};
    return true;
  }
  if (out != nullptr) return scan_coordinate(in, precision, *out);
  float ignored = 0.0f;
  return scan_float(in, ignored);
}

// A normal component: "%d" for integer types, then to float; "%f" for floating
// types. The same scan as a skipped field of its type, so keeping normals takes
// the same characters.
bool read_ascii_normal(ByteSource& in, ScalarType type, float& value) {
  if (scalar_is_integer(type)) {
    int n = 0;
    if (!scan_int(in, n)) return false;
    value = single_of(static_cast<double>(n));
    return true;
  }
  return scan_float(in, value);
}

// One item field by field; a list gives its count by "%d", then its items.
// False at the first field that does not convert or at a negative list count.
bool read_ascii_item(ByteSource& in, const ElementPlan& plan, ReadPrecision precision, CoordinateReading* xyz,
                     float* normal) {
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      int n = 0;
      if (!scan_int(in, n) || n < 0) return false;
      for (int k = 0; k < n; ++k)
        if (!read_ascii_scalar(in, p.type, precision, nullptr)) return false;
    } else if (p.normal != no_axis) {
      if (!read_ascii_normal(in, p.type, normal[p.normal])) return false;
    } else {
      CoordinateReading* out = p.axis == no_axis ? nullptr : &xyz[p.axis];
      if (!read_ascii_scalar(in, p.type, precision, out)) return false;
    }
  }
  return true;
}

// The vertices one at a time, from `read` on; with `only_undecided`, only while
// the automatic shift is undecided (the threads take over once it is known).
Failure read_ascii_vertices_serially(ByteSource& in, const ElementPlan& plan, PointAppender& out, std::int64_t& read,
                                     bool only_undecided) {
  for (; read < plan.count; ++read) {
    if (only_undecided && out.precision() != ReadPrecision::both) break;
    CoordinateReading xyz[3];
    float normal[3] = {0.0f, 0.0f, 0.0f};
    if (!read_ascii_item(in, plan, out.precision(), xyz, normal)) break;
    if (!out.add_reading(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    if (plan.normals && !out.add_normal(normal[0], normal[1], normal[2])) return Failure::out_of_memory;
  }
  return end_of_body(in);
}

Failure read_ascii_vertices(ByteSource& in, const ElementPlan& plan, PointAppender& out, std::int64_t& read,
                            const PlyReadOptions& options) {
  // Items with a list have no fixed place for a field: one thread reads them.
  const int threads = plan.fixed ? options.threads : 1;
  return read_threaded_once_shift_known(
      out, threads,
      [&](bool only_undecided) { return read_ascii_vertices_serially(in, plan, out, read, only_undecided); },
      [&]() -> std::optional<Failure> {
        std::vector<GroupField> fields;
        for (const PropertyPlan& p : plan.properties) fields.push_back({scalar_is_integer(p.type), p.axis, p.normal});
        const FieldGroupsEnd end = read_field_groups(in, out, fields, plan.count - read, threads, options.window);
        read += end.groups;
        // What the threads left (a vertex that does not read token by token, the end) is read by one thread.
        if (end.failure == Failure::none) return std::nullopt;
        return end.failure;
      });
}

// A body read by its declaration: the elements before the vertices are skipped
// item by item, then exactly `count` vertices at most; nothing after them is read.
PlyReadResult read_declared_body(ByteSource& in, const PlyHeader& header, const PlyVertexLayout& layout,
                                 PointAppender& out, const PlyReadOptions& options) {
  const bool binary = ply_format_is_binary(header.format);
  const ByteOrder order = header.format == PlyFormat::binary_big_endian ? ByteOrder::big : ByteOrder::little;
  PlyReadResult result;
  result.vertices_declared = header.elements[layout.element].count;
  for (std::size_t e = 0; e < layout.element; ++e) {
    const PlyElement& element = header.elements[e];
    // An item without properties takes no bytes and no fields, whatever the count.
    if (element.properties.empty() || element.count == 0) continue;
    const ElementPlan plan = make_plan(element, nullptr);
    if (binary) {
      if (!skip_binary_element(in, plan, order)) return {end_of_body(in), 0, result.vertices_declared, 0};
    } else {
      for (std::int64_t i = 0; i < plan.count; ++i)
        if (!read_ascii_item(in, plan, ReadPrecision::single, nullptr, nullptr))
          return {end_of_body(in), 0, result.vertices_declared, 0};
    }
  }
  const ElementPlan vertices = make_plan(header.elements[layout.element], &layout, out.wants_normals());
  result.failure = binary ? read_binary_vertices(in, vertices, order, out, result.vertices_read)
                          : read_ascii_vertices(in, vertices, out, result.vertices_read, options);
  return result;
}

// Groups of nine fields regardless of line breaks: six "%f" then three "%d";
// x y z are kept, the other six are dropped.
// Before each group the white space is taken and the position marked: where a
// group does not convert, that mark is the line reading stopped at.
PlyReadResult read_nine_field_rows_serially(ByteSource& in, PointAppender& out, bool only_undecided) {
  CoordinateReading x, y, z;
  float f = 0.0f;
  int d = 0;
  for (;;) {
    if (only_undecided && out.precision() != ReadPrecision::both) return {};
    if (!in.skip_space()) return {end_of_body(in), 0, 0, 0};
    in.mark();
    const ReadPrecision p = out.precision();
    if (!(scan_coordinate(in, p, x) && scan_coordinate(in, p, y) && scan_coordinate(in, p, z) && scan_float(in, f) &&
          scan_float(in, f) && scan_float(in, f) && scan_int(in, d) && scan_int(in, d) && scan_int(in, d)))
      break;
    if (!out.add_reading(x, y, z)) return {Failure::out_of_memory, 0, 0, 0};
  }
  if (const Failure failure = in.end_state(); failure != Failure::none) return {failure, 0, 0, 0};
  return {Failure::none, in.marked_line(), 0, 0};
}

PlyReadResult read_nine_field_rows(ByteSource& in, PointAppender& out, const PlyReadOptions& options) {
  return read_threaded_once_shift_known(
      out, options.threads,
      [&](bool only_undecided) { return read_nine_field_rows_serially(in, out, only_undecided); },
      [&]() -> std::optional<PlyReadResult> {
        const std::vector<GroupField> fields = {{false, 0},  {false, 1},  {false, 2}, {false, -1}, {false, -1},
                                                {false, -1}, {true, -1}, {true, -1}, {true, -1}};
        const FieldGroupsEnd end = read_field_groups(in, out, fields, INT64_MAX, options.threads, options.window);
        // What the threads left (a row that does not read token by token, the end) is read by one thread.
        if (end.failure == Failure::none) return std::nullopt;
        return PlyReadResult{end.failure, 0, 0, 0};
      });
}

// Takes the first line when it is "ply" (blanks before its end allowed, as in
// "ply\r\n"); false as soon as a byte shows it is not, so an endless stream of
// other bytes is left at once.
bool take_ply_line(ByteSource& in) {
  for (const char c : {'p', 'l', 'y'})
    if (in.get() != c) return false;
  for (;;) {
    const int c = in.get();
    if (c < 0 || c == '\n') return true;
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
}

}  // namespace

PlyReadResult read_ply_cloud(ByteSource& in, PointAppender& out, const PlyReadOptions& options) {
  try {
    // A stream that may never end (a device, a pipe) is read only as a PLY file:
    // without a "ply" line it cannot have a header, and a header must end within
    // ply_header_unbounded_limit bytes. A finite file is read as it always was.
    if (!in.bounded() && !take_ply_line(in))
      return {in.failed() ? Failure::read_error : Failure::unsupported, 0, 0, 0};
    PlyHeader header;
    if (!read_ply_header(in, header)) return {Failure::out_of_memory, 0, 0, 0};
    if (header.endless) return {Failure::unsupported, 0, 0, 0};
    if (!header.end_found) return {end_of_body(in), 0, 0, 0};  // the whole file was header
    if (const auto layout = find_vertex_layout(header)) return read_declared_body(in, header, *layout, out, options);
    // Binary bytes scanned as text would give garbage points.
    if (ply_format_is_binary(header.format)) return {Failure::unsupported, 0, 0, 0};
    return read_nine_field_rows(in, out, options);
  } catch (const std::bad_alloc&) {
    return {Failure::out_of_memory, 0, 0, 0};
  }
}

Failure read_ply_file(ByteSource& in, PointAppender& out, FileFacts& facts, int threads) {
  const PlyReadResult r = read_ply_cloud(in, out, {threads});
  if (r.failure == Failure::none) {
    facts.stopped_at_line = r.stopped_at_line;
    if (r.vertices_read < r.vertices_declared)
      facts.shortfall = Shortfall{r.vertices_read, r.vertices_declared, "vertices"};
  }
  return r.failure;
}

namespace {

// A first line "ply", blanks (and the '\r' of "ply\r\n") allowed before its end.
bool is_ply_file(std::string_view bytes) {
  const std::string_view line = bytes.substr(0, bytes.find('\n'));
  if (!line.starts_with("ply")) return false;
  for (const char c : line.substr(3))
    if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') return false;
  return true;
}

}  // namespace

extern const FormatRow ply_format = {
    .name = "PLY", .key = "ply", .recognise = is_ply_file, .read = read_ply_file, .help = ""};

}  // namespace ptdelta
