#include "input/ply_reader.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <limits>
#include <new>
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
  PlyScalar type = PlyScalar::float32;  // the scalar, or the item of a list
  std::size_t size = 0;                 // bytes of the scalar or of one list item
  bool is_list = false;
  PlyScalar count_type = PlyScalar::uint8;
  std::size_t count_size = 0;
  int axis = no_axis;                   // 0, 1, 2 for x, y, z; otherwise only skipped
};

// How to read (or skip) one item of an element.
struct ElementPlan {
  std::int64_t count = 0;
  std::vector<PropertyPlan> properties;
  bool fixed = true;       // no list property: every item has `stride` bytes in a binary body
  std::size_t stride = 0;
  std::size_t offset[3] = {0, 0, 0};  // fixed vertices: where x, y, z start within the item
  PlyScalar axis_type[3] = {PlyScalar::float32, PlyScalar::float32, PlyScalar::float32};
};

ElementPlan make_plan(const PlyElement& element, const PlyVertexLayout* layout) {
  ElementPlan plan;
  plan.count = element.count;
  for (std::size_t i = 0; i < element.properties.size(); ++i) {
    const PlyProperty& property = element.properties[i];
    PropertyPlan p;
    p.type = property.type;
    p.size = ply_scalar_size(property.type);
    p.is_list = property.is_list;
    p.count_type = property.count_type;
    p.count_size = ply_scalar_size(property.count_type);
    if (layout != nullptr) {
      if (i == layout->x) p.axis = 0;
      if (i == layout->y) p.axis = 1;
      if (i == layout->z) p.axis = 2;
    }
    if (p.is_list) plan.fixed = false;
    if (p.axis != no_axis) {
      const auto a = static_cast<std::size_t>(p.axis);
      plan.offset[a] = plan.stride;
      plan.axis_type[a] = p.type;
    }
    plan.stride += p.size;
    plan.properties.push_back(p);
  }
  return plan;
}

Failure end_of_body(const ByteSource& in) { return in.end_state(); }

// ---- binary bodies ----

// The `size` bytes at `p` as an unsigned number in the file's byte order.
std::uint64_t load_bits(const char* p, std::size_t size, bool big_endian) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  std::uint64_t bits = 0;
  if (big_endian) {
    for (std::size_t i = 0; i < size; ++i) bits = (bits << 8) | b[i];
  } else {
    for (std::size_t i = size; i-- > 0;) bits = (bits << 8) | b[i];
  }
  return bits;
}

// A coordinate of any scalar type, widened to double (exact for every type:
// the appender rounds it once to float, after the shift if there is one).
double binary_coordinate(const char* p, PlyScalar type, bool big_endian) {
  const std::uint64_t bits = load_bits(p, ply_scalar_size(type), big_endian);
  switch (type) {
    case PlyScalar::int8:
      return static_cast<double>(static_cast<std::int8_t>(bits));
    case PlyScalar::uint8:
      return static_cast<double>(static_cast<std::uint8_t>(bits));
    case PlyScalar::int16:
      return static_cast<double>(static_cast<std::int16_t>(bits));
    case PlyScalar::uint16:
      return static_cast<double>(static_cast<std::uint16_t>(bits));
    case PlyScalar::int32:
      return static_cast<double>(static_cast<std::int32_t>(bits));
    case PlyScalar::uint32:
      return static_cast<double>(static_cast<std::uint32_t>(bits));
    case PlyScalar::float32:
      return static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    case PlyScalar::float64:
      return std::bit_cast<double>(bits);
  }
  return 0.0;
}

// A list count of an integer type (signed types sign-extended).
std::int64_t binary_count(const char* p, PlyScalar type, bool big_endian) {
  const std::uint64_t bits = load_bits(p, ply_scalar_size(type), big_endian);
  switch (type) {
    case PlyScalar::int8:
      return static_cast<std::int8_t>(bits);
    case PlyScalar::int16:
      return static_cast<std::int16_t>(bits);
    case PlyScalar::int32:
      return static_cast<std::int32_t>(bits);
    default:
      return static_cast<std::int64_t>(bits);
  }
}

// One item of any layout, property by property. False at a truncated body or at
// a list count that is negative or beyond the signed 32-bit range.
bool read_binary_item(ByteSource& in, const ElementPlan& plan, bool big_endian, double* xyz) {
  char bytes[8];
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      if (in.read_bytes(bytes, p.count_size) != p.count_size) return false;
      const std::int64_t n = binary_count(bytes, p.count_type, big_endian);
      if (n < 0 || n > std::numeric_limits<std::int32_t>::max()) return false;
      if (!in.skip_bytes(static_cast<std::uint64_t>(n) * p.size)) return false;
    } else if (p.axis == no_axis) {
      if (!in.skip_bytes(p.size)) return false;
    } else {
      if (in.read_bytes(bytes, p.size) != p.size) return false;
      xyz[p.axis] = binary_coordinate(bytes, p.type, big_endian);
    }
  }
  return true;
}

// Skips the items of an element before the vertices. False when the body ends first.
bool skip_binary_element(ByteSource& in, const ElementPlan& plan, bool big_endian) {
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
    if (!read_binary_item(in, plan, big_endian, nullptr)) return false;
  return true;
}

// The vertices of a declared element; `read` counts those stored.
Failure read_binary_vertices(ByteSource& in, const ElementPlan& plan, bool big_endian, PointAppender& out,
                             std::int64_t& read) {
  if (!plan.fixed) {
    for (; read < plan.count; ++read) {
      double xyz[3] = {0.0, 0.0, 0.0};
      if (!read_binary_item(in, plan, big_endian, xyz)) break;
      if (!out.add_exact(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    }
    return end_of_body(in);
  }
  // Fixed records: decode in place from the buffer, copying only a record that
  // straddles two blocks.
  std::vector<char> straddling;
  for (; read < plan.count; ++read) {
    const char* record = in.next_record(plan.stride, straddling);
    if (record == nullptr) break;
    if (!out.add_exact(binary_coordinate(record + plan.offset[0], plan.axis_type[0], big_endian),
                       binary_coordinate(record + plan.offset[1], plan.axis_type[1], big_endian),
                       binary_coordinate(record + plan.offset[2], plan.axis_type[2], big_endian)))
      return Failure::out_of_memory;
  }
  return end_of_body(in);
}

// ---- ASCII bodies ----

// One field: "%d" for integer types, "%f" for floating types (read as
// `precision` asks). `out` may be null: the field is only taken.
bool read_ascii_scalar(ByteSource& in, PlyScalar type, ReadPrecision precision, CoordinateReading* out) {
  if (ply_scalar_is_integer(type)) {
    int value = 0;
    if (!scan_int(in, value)) return false;
    if (out != nullptr) *out = {single_of(static_cast<double>(value)), static_cast<double>(value)};
    return true;
  }
  if (out != nullptr) return scan_coordinate(in, precision, *out);
  float ignored = 0.0f;
  return scan_float(in, ignored);
}

// One item field by field; a list gives its count by "%d", then its items.
// False at the first field that does not convert or at a negative list count.
bool read_ascii_item(ByteSource& in, const ElementPlan& plan, ReadPrecision precision, CoordinateReading* xyz) {
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      int n = 0;
      if (!scan_int(in, n) || n < 0) return false;
      for (int k = 0; k < n; ++k)
        if (!read_ascii_scalar(in, p.type, precision, nullptr)) return false;
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
    if (!read_ascii_item(in, plan, out.precision(), xyz)) break;
    if (!out.add_reading(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
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
        for (const PropertyPlan& p : plan.properties) fields.push_back({ply_scalar_is_integer(p.type), p.axis});
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
  const bool big_endian = header.format == PlyFormat::binary_big_endian;
  PlyReadResult result;
  result.vertices_declared = header.elements[layout.element].count;
  for (std::size_t e = 0; e < layout.element; ++e) {
    const PlyElement& element = header.elements[e];
    // An item without properties takes no bytes and no fields, whatever the count.
    if (element.properties.empty() || element.count == 0) continue;
    const ElementPlan plan = make_plan(element, nullptr);
    if (binary) {
      if (!skip_binary_element(in, plan, big_endian)) return {end_of_body(in), 0, result.vertices_declared, 0};
    } else {
      for (std::int64_t i = 0; i < plan.count; ++i)
        if (!read_ascii_item(in, plan, ReadPrecision::single, nullptr))
          return {end_of_body(in), 0, result.vertices_declared, 0};
    }
  }
  const ElementPlan vertices = make_plan(header.elements[layout.element], &layout);
  result.failure = binary ? read_binary_vertices(in, vertices, big_endian, out, result.vertices_read)
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

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

enum class ListLine { name, end, too_long };

// Takes one whole list line and leaves its first token in `name` (empty for a
// blank line). A NUL byte ends the token as it would end a C string. A line
// longer than any path (PATH_MAX bytes before its '\n') cannot name a file and is
// not read to its end, which may never come (/dev/zero given as a list).
ListLine read_list_line(ByteSource& list, std::string& name) {
  name.clear();
  std::size_t length = 0;
  int c = list.get();
  if (c < 0) return ListLine::end;
  const auto next = [&] {
    ++length;
    return list.get();
  };
  while (c >= 0 && c != '\n' && is_blank(c) && length <= PATH_MAX) c = next();
  while (c > 0 && !is_blank(c) && length <= PATH_MAX) {
    name.push_back(static_cast<char>(c));
    c = next();
  }
  while (c >= 0 && c != '\n' && length <= PATH_MAX) c = next();
  return length > PATH_MAX ? ListLine::too_long : ListLine::name;
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

Failure read_named_file(std::FILE* file, PointAppender& out, ListedFileReader read_file, ReadFacts& facts,
                        int threads) {
  try {
    ByteSource source(file);
    return read_file(source, out, facts, threads);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

}  // namespace

PlyReadResult read_ply_cloud(ByteSource& in, PointAppender& out, const PlyReadOptions& options) {
  try {
    // A stream that may never end (a device, a pipe) is read only as a PLY file:
    // without a "ply" line it cannot have a header, and a header must end within
    // ply_header_unbounded_limit bytes. A finite file is read as it always was.
    if (!in.bounded() && !take_ply_line(in))
      return {in.failed() ? Failure::read_error : Failure::unsupported_ply, 0, 0, 0};
    PlyHeader header;
    if (!read_ply_header(in, header)) return {Failure::out_of_memory, 0, 0, 0};
    if (header.endless) return {Failure::unsupported_ply, 0, 0, 0};
    if (!header.end_found) return {end_of_body(in), 0, 0, 0};  // the whole file was header
    if (const auto layout = find_vertex_layout(header)) return read_declared_body(in, header, *layout, out, options);
    // Binary bytes scanned as text would give garbage points.
    if (ply_format_is_binary(header.format)) return {Failure::unsupported_ply, 0, 0, 0};
    return read_nine_field_rows(in, out, options);
  } catch (const std::bad_alloc&) {
    return {Failure::out_of_memory, 0, 0, 0};
  }
}

Failure read_ply_file(ByteSource& in, PointAppender& out, ReadFacts& facts, int threads) {
  facts.format = CloudFormat::ply;
  const PlyReadResult r = read_ply_cloud(in, out, {threads});
  if (r.failure == Failure::none) {
    facts.stopped_at_line = r.stopped_at_line;
    if (r.vertices_read < r.vertices_declared) {
      facts.vertices_short = true;
      facts.vertices_read = r.vertices_read;
      facts.vertices_declared = r.vertices_declared;
    }
  }
  return r.failure;
}

PlyListOutcome read_ply_list(ByteSource& list, PointAppender& out, ListedFileReader read_file, int threads) {
  PlyListOutcome outcome;
  try {
    std::string name;
    for (ListLine line; (line = read_list_line(list, name)) != ListLine::end;) {
      if (line == ListLine::too_long) {
        outcome.failure = Failure::read_error;  // about the list itself
        return outcome;
      }
      if (name.empty()) continue;
      outcome.files_read.push_back(name);
      std::FILE* file = std::fopen(name.c_str(), "r");
      if (file == nullptr) {
        outcome.files_read.pop_back();
        outcome.failure = Failure::cannot_open;
        outcome.failed_name = name;
        return outcome;
      }
      ReadFacts facts;
      const Failure failure = read_named_file(file, out, read_file, facts, threads);
      // Closed at once, so a long list never runs out of file handles.
      std::fclose(file);
      outcome.file_facts.push_back(facts);
      if (failure != Failure::none) {
        outcome.failure = failure;
        outcome.failed_name = name;
        return outcome;
      }
    }
  } catch (const std::bad_alloc&) {
    outcome.failure = Failure::out_of_memory;
  }
  return outcome;
}

}  // namespace ptdelta
