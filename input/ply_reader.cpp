#include "input/ply_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <new>

#include "input/ply_header.h"
#include "input/scan_number.h"

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

Failure end_of_body(const ByteSource& in) { return in.failed() ? Failure::read_error : Failure::none; }

// Takes `n` bytes; false when the data ends first.
bool skip_bytes(ByteSource& in, std::uint64_t n) {
  while (n > 0) {
    if (!in.refill()) return false;
    const auto available = static_cast<std::uint64_t>(in.buffer_end() - in.cursor());
    const std::uint64_t take = std::min(n, available);
    in.skip(static_cast<std::size_t>(take));
    n -= take;
  }
  return true;
}

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

// A coordinate of any scalar type, rounded once to single precision.
float binary_coordinate(const char* p, PlyScalar type, bool big_endian) {
  const std::uint64_t bits = load_bits(p, ply_scalar_size(type), big_endian);
  switch (type) {
    case PlyScalar::int8:
      return static_cast<float>(static_cast<std::int8_t>(bits));
    case PlyScalar::uint8:
      return static_cast<float>(static_cast<std::uint8_t>(bits));
    case PlyScalar::int16:
      return static_cast<float>(static_cast<std::int16_t>(bits));
    case PlyScalar::uint16:
      return static_cast<float>(static_cast<std::uint16_t>(bits));
    case PlyScalar::int32:
      return static_cast<float>(static_cast<std::int32_t>(bits));
    case PlyScalar::uint32:
      return static_cast<float>(static_cast<std::uint32_t>(bits));
    case PlyScalar::float32:
      return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    case PlyScalar::float64:
      return static_cast<float>(std::bit_cast<double>(bits));
  }
  return 0.0f;
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
bool read_binary_item(ByteSource& in, const ElementPlan& plan, bool big_endian, float* xyz) {
  char bytes[8];
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      if (in.read_bytes(bytes, p.count_size) != p.count_size) return false;
      const std::int64_t n = binary_count(bytes, p.count_type, big_endian);
      if (n < 0 || n > std::numeric_limits<std::int32_t>::max()) return false;
      if (!skip_bytes(in, static_cast<std::uint64_t>(n) * p.size)) return false;
    } else if (p.axis == no_axis) {
      if (!skip_bytes(in, p.size)) return false;
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
    return skip_bytes(in, total);
  }
  for (std::int64_t i = 0; i < plan.count; ++i)
    if (!read_binary_item(in, plan, big_endian, nullptr)) return false;
  return true;
}

Failure read_binary_vertices(ByteSource& in, const ElementPlan& plan, bool big_endian, PointAppender& out) {
  if (!plan.fixed) {
    for (std::int64_t i = 0; i < plan.count; ++i) {
      float xyz[3] = {0.0f, 0.0f, 0.0f};
      if (!read_binary_item(in, plan, big_endian, xyz)) break;
      if (!out.add(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    }
    return end_of_body(in);
  }
  // Fixed records: decode in place from the buffer, copying only a record that
  // straddles two blocks.
  const std::size_t stride = plan.stride;
  std::vector<char> straddling(stride);
  for (std::int64_t i = 0; i < plan.count; ++i) {
    const char* record;
    if (static_cast<std::size_t>(in.buffer_end() - in.cursor()) >= stride) {
      record = in.cursor();
      in.skip(stride);
    } else {
      if (in.read_bytes(straddling.data(), stride) != stride) break;
      record = straddling.data();
    }
    if (!out.add(binary_coordinate(record + plan.offset[0], plan.axis_type[0], big_endian),
                 binary_coordinate(record + plan.offset[1], plan.axis_type[1], big_endian),
                 binary_coordinate(record + plan.offset[2], plan.axis_type[2], big_endian)))
      return Failure::out_of_memory;
  }
  return end_of_body(in);
}

// ---- ASCII bodies ----

// One field: "%d" for integer types, "%f" for floating types. `out` may be null.
bool read_ascii_scalar(ByteSource& in, PlyScalar type, float* out) {
  if (ply_scalar_is_integer(type)) {
    int value = 0;
    if (!scan_int(in, value)) return false;
    if (out != nullptr) *out = static_cast<float>(value);
  } else {
    float value = 0.0f;
    if (!scan_float(in, value)) return false;
    if (out != nullptr) *out = value;
  }
  return true;
}

// One item field by field; a list gives its count by "%d", then its items.
// False at the first field that does not convert or at a negative list count.
bool read_ascii_item(ByteSource& in, const ElementPlan& plan, float* xyz) {
  for (const PropertyPlan& p : plan.properties) {
    if (p.is_list) {
      int n = 0;
      if (!scan_int(in, n) || n < 0) return false;
      for (int k = 0; k < n; ++k)
        if (!read_ascii_scalar(in, p.type, nullptr)) return false;
    } else {
      float* out = p.axis == no_axis ? nullptr : &xyz[p.axis];
      if (!read_ascii_scalar(in, p.type, out)) return false;
    }
  }
  return true;
}

Failure read_ascii_vertices(ByteSource& in, const ElementPlan& plan, PointAppender& out) {
  for (std::int64_t i = 0; i < plan.count; ++i) {
    float xyz[3] = {0.0f, 0.0f, 0.0f};
    if (!read_ascii_item(in, plan, xyz)) break;
    if (!out.add(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
  }
  return end_of_body(in);
}

// A body read by its declaration: the elements before the vertices are skipped
// item by item, then exactly `count` vertices at most; nothing after them is read.
Failure read_declared_body(ByteSource& in, const PlyHeader& header, const PlyVertexLayout& layout,
                           PointAppender& out) {
  const bool binary = ply_format_is_binary(header.format);
  const bool big_endian = header.format == PlyFormat::binary_big_endian;
  for (std::size_t e = 0; e < layout.element; ++e) {
    const PlyElement& element = header.elements[e];
    // An item without properties takes no bytes and no fields, whatever the count.
    if (element.properties.empty() || element.count == 0) continue;
    const ElementPlan plan = make_plan(element, nullptr);
    if (binary) {
      if (!skip_binary_element(in, plan, big_endian)) return end_of_body(in);
    } else {
      for (std::int64_t i = 0; i < plan.count; ++i)
        if (!read_ascii_item(in, plan, nullptr)) return end_of_body(in);
    }
  }
  const ElementPlan vertices = make_plan(header.elements[layout.element], &layout);
  return binary ? read_binary_vertices(in, vertices, big_endian, out) : read_ascii_vertices(in, vertices, out);
}

// Groups of nine fields regardless of line breaks: six "%f" then three "%d";
// x y z are kept, the other six are dropped.
Failure read_nine_field_rows(ByteSource& in, PointAppender& out) {
  float x = 0.0f, y = 0.0f, z = 0.0f, f = 0.0f;
  int d = 0;
  for (;;) {
    if (!(scan_float(in, x) && scan_float(in, y) && scan_float(in, z) && scan_float(in, f) && scan_float(in, f) &&
          scan_float(in, f) && scan_int(in, d) && scan_int(in, d) && scan_int(in, d)))
      break;
    if (!out.add(x, y, z)) return Failure::out_of_memory;
  }
  return end_of_body(in);
}

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Takes one whole list line and leaves its first token in `name` (empty for a
// blank line). A NUL byte ends the token as it would end a C string. False when
// the list has no line left.
bool read_list_line(ByteSource& list, std::string& name) {
  name.clear();
  int c = list.get();
  if (c < 0) return false;
  while (c >= 0 && c != '\n' && is_blank(c)) c = list.get();
  while (c > 0 && !is_blank(c)) {
    name.push_back(static_cast<char>(c));
    c = list.get();
  }
  while (c >= 0 && c != '\n') c = list.get();
  return true;
}

Failure read_listed_ply(ByteSource& in, PointAppender out, ReadFacts& facts) {
  facts.format = CloudFormat::ply;
  return read_ply_cloud(in, out);
}

Failure read_named_file(std::FILE* file, PointAppender& out, ListedFileReader read_file, ReadFacts& facts) {
  try {
    ByteSource source(file);
    return read_file(source, out, facts);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

}  // namespace

Failure read_ply_cloud(ByteSource& in, PointAppender out) {
  try {
    PlyHeader header;
    if (!read_ply_header(in, header)) return Failure::out_of_memory;
    if (!header.end_found) return end_of_body(in);  // the whole file was header
    if (const auto layout = find_vertex_layout(header)) return read_declared_body(in, header, *layout, out);
    // Binary bytes scanned as text would give garbage points.
    if (ply_format_is_binary(header.format)) return Failure::unsupported_ply;
    return read_nine_field_rows(in, out);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

PlyListOutcome read_ply_list(ByteSource& list, PointAppender out, ListedFileReader read_file) {
  PlyListOutcome outcome;
  if (read_file == nullptr) read_file = read_listed_ply;
  try {
    std::string name;
    while (read_list_line(list, name)) {
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
      const Failure failure = read_named_file(file, out, read_file, facts);
      outcome.file_facts.push_back(facts);
      // Closed at once, so a long list never runs out of file handles.
      std::fclose(file);
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
