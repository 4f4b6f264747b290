#include "input/ply_header.h"

#include <limits>
#include <new>

#include "input/header_line.h"
#include "input/text_tokens.h"

namespace ptdelta {

namespace {

// Up to `max_tokens` white-space-delimited tokens of `line`; one more than that
// means "too many" to the callers.
std::size_t split(std::string_view line, std::string_view* tokens, std::size_t max_tokens) {
  std::size_t n = 0;
  for_each_token(line, [&](std::string_view token) {
    if (n == max_tokens) {
      ++n;
      return false;
    }
    tokens[n++] = token;
    return true;
  });
  return n;
}

// A count of decimal digits only, within the signed 64-bit range.
std::optional<std::int64_t> parse_count(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

PlyFormat format_named(std::string_view name) {
  if (name == "ascii") return PlyFormat::ascii;
  if (name == "binary_little_endian") return PlyFormat::binary_little_endian;
  if (name == "binary_big_endian") return PlyFormat::binary_big_endian;
  return PlyFormat::unknown;
}

void parse_format(const std::string_view* t, std::size_t n, PlyHeader& header) {
  const PlyFormat kind = n >= 2 ? format_named(t[1]) : PlyFormat::unknown;
  if (header.format != PlyFormat::unknown) header.understood = false;  // a second format line
  // A binary kind, once seen, is kept: its bytes must never be scanned as text.
  if (header.format == PlyFormat::unknown || ply_format_is_binary(kind)) header.format = kind;
  if (n != 3 || kind == PlyFormat::unknown || t[2] != "1.0") header.understood = false;
}

void parse_element(const std::string_view* t, std::size_t n, PlyHeader& header) {
  PlyElement element;
  if (n >= 2) element.name = std::string(t[1]);
  const auto count = n == 3 ? parse_count(t[2]) : std::nullopt;
  if (count) {
    element.count = *count;
  } else {
    element.understood = false;
  }
  header.elements.push_back(std::move(element));
}

void parse_property(const std::string_view* t, std::size_t n, PlyHeader& header) {
  if (header.elements.empty()) {
    header.understood = false;
    return;
  }
  PlyElement& element = header.elements.back();
  PlyProperty property;
  bool ok = false;
  if (n >= 2 && t[1] == "list") {
    const auto count_type = n == 5 ? ply_scalar_named(t[2]) : std::nullopt;
    const auto item_type = n == 5 ? ply_scalar_named(t[3]) : std::nullopt;
    if (count_type && item_type && scalar_is_integer(*count_type)) {
      property.is_list = true;
      property.count_type = *count_type;
      property.type = *item_type;
      property.name = std::string(t[4]);
      ok = true;
    }
  } else if (n == 3) {
    if (const auto type = ply_scalar_named(t[1])) {
      property.type = *type;
      property.name = std::string(t[2]);
      ok = true;
    }
  }
  if (ok) {
    element.properties.push_back(std::move(property));
  } else {
    element.understood = false;
  }
}

bool is_declaration(std::string_view keyword) {
  return keyword == "format" || keyword == "element" || keyword == "property";
}

}  // namespace

bool is_end_header_line(std::string_view line) {
  static constexpr char word[] = "end_header";
  if (line.size() < 10) return false;
  for (std::size_t i = 0; i < 10; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

bool ply_format_is_binary(PlyFormat format) {
  return format == PlyFormat::binary_little_endian || format == PlyFormat::binary_big_endian;
}

void parse_ply_header_line(std::string_view line, PlyHeader& header) {
  std::string_view t[5];
  const std::size_t n = split(line, t, 5);
  if (n == 0) return;
  if (t[0] == "format") {
    parse_format(t, n, header);
  } else if (t[0] == "element") {
    parse_element(t, n, header);
  } else if (t[0] == "property") {
    parse_property(t, n, header);
  }
}

bool read_ply_header(ByteSource& in, PlyHeader& header) {
  header = PlyHeader{};
  std::string line;
  // Whole lines, however long; only the first ply_header_line_limit bytes of each are kept.
  HeaderLineLimits limits;
  limits.keep = ply_header_line_limit;
  if (!in.bounded()) limits.allowance = ply_header_unbounded_limit;
  try {
    for (;;) {
      const HeaderLine read = read_header_line(in, line, limits);
      if (read.end == HeaderLineEnd::over_limit) {
        header.endless = true;
        return true;
      }
      if (read.end == HeaderLineEnd::no_data) return true;
      if (is_end_header_line(line)) {
        header.end_found = true;
        return true;
      }
      parse_ply_header_line(line, header);
      if (read.cut) {
        std::string_view t[1];
        if (split(line, t, 1) >= 1 && is_declaration(t[0])) header.understood = false;
      }
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::optional<PlyVertexLayout> find_vertex_layout(const PlyHeader& header) {
  if (!header.understood || header.format == PlyFormat::unknown) return std::nullopt;
  for (std::size_t e = 0; e < header.elements.size(); ++e) {
    const PlyElement& element = header.elements[e];
    if (!element.understood) return std::nullopt;
    if (element.name != "vertex") continue;
    // x y z, then nx ny nz: the first property of each name.
    std::optional<std::size_t> axis[6];
    static constexpr std::string_view axis_names[6] = {"x", "y", "z", "nx", "ny", "nz"};
    for (std::size_t p = 0; p < element.properties.size(); ++p)
      for (std::size_t a = 0; a < 6; ++a)
        if (!axis[a] && element.properties[p].name == axis_names[a]) axis[a] = p;
    const auto scalar = [&](const std::optional<std::size_t>& a) { return a && !element.properties[*a].is_list; };
    for (std::size_t a = 0; a < 3; ++a)
      if (!scalar(axis[a])) return std::nullopt;
    PlyVertexLayout layout{e, *axis[0], *axis[1], *axis[2]};
    if (scalar(axis[3]) && scalar(axis[4]) && scalar(axis[5])) {
      layout.has_normals = true;
      layout.nx = *axis[3];
      layout.ny = *axis[4];
      layout.nz = *axis[5];
    }
    return layout;
  }
  return std::nullopt;
}

}  // namespace ptdelta
