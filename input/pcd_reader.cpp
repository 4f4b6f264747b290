#include "input/pcd_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/exact.h"
#include "input/fixed_records.h"
#include "input/header_line.h"
#include "input/little_endian.h"
#include "input/lzf.h"
#include "input/scalar_types.h"
#include "input/scan_number.h"
#include "input/text_tokens.h"

namespace ptdelta {

namespace {

enum class DataKind { ascii, binary, binary_compressed };

struct Field {
  std::string name;
  ScalarType scalar = ScalarType::float32;
  std::size_t size = 4;    // bytes of one value
  std::size_t count = 1;   // values of the field in one point
  std::size_t offset = 0;  // bytes before the field in a binary record
  std::size_t token = 0;   // values before the field on an ascii line
};

struct Axis {
  ScalarType scalar = ScalarType::float32;
  std::size_t field = 0;
};

struct Layout {
  std::vector<Field> fields;
  std::int64_t points = 0;
  DataKind data = DataKind::ascii;
  std::size_t point_size = 0;  // bytes of one binary record
  std::size_t tokens = 0;      // values on one ascii line
  Axis axis[3];
  // Fields normal_x, normal_y and normal_z, all three (each of at least one
  // value: its first is the component) or none.
  bool has_normals = false;
  Axis normal[3];
};

// Header lines are short; a longer one is not a PCD header.
constexpr std::size_t header_line_limit = std::size_t{1} << 20;
// A point of more bytes or values than this is not a cloud this tool can use.
constexpr std::size_t point_size_limit = std::size_t{1} << 24;

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> tokens;
  for_each_token(line, [&tokens](std::string_view token) {
    tokens.push_back(token);
    return true;
  });
  return tokens;
}

template <class T>
bool parse_whole(std::string_view token, T& value) {
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  return ec == std::errc() && end == token.data() + token.size();
}

// The header lines as given, before they are checked against each other.
struct RawHeader {
  std::vector<std::string> names, sizes, types, counts;
  std::optional<std::int64_t> width, height, points;
  std::optional<DataKind> data;
};

bool parse_count(std::string_view token, std::optional<std::int64_t>& value) {
  std::int64_t v = 0;
  if (!parse_whole(token, v) || v < 0) return false;
  value = v;
  return true;
}

// Reads the header up to and including its DATA line. False when it is not a
// header this reader understands (an unknown keyword, a keyword given twice).
bool read_header(ByteSource& in, RawHeader& h) {
  std::string line;
  for (;;) {
    // Each line on its own limit, kept whole; its '\n' is not part of it.
    HeaderLineLimits limits;
    limits.max_length = header_line_limit;
    if (read_header_line(in, line, limits).end != HeaderLineEnd::line) return false;
    if (!line.empty() && line.back() == '\n') line.pop_back();
    const std::vector<std::string_view> t = split(line);
    if (t.empty() || t[0].front() == '#') continue;
    const std::string_view key = t[0];
    if (key == "VERSION" || key == "VIEWPOINT") continue;
    if (key == "DATA") {
      if (t.size() != 2) return false;
      if (t[1] == "ascii") h.data = DataKind::ascii;
      else if (t[1] == "binary") h.data = DataKind::binary;
      else if (t[1] == "binary_compressed") h.data = DataKind::binary_compressed;
      else return false;
      return true;
    }
    if (key == "WIDTH" || key == "HEIGHT" || key == "POINTS") {
      auto& target = key == "WIDTH" ? h.width : key == "HEIGHT" ? h.height : h.points;
      if (t.size() != 2 || target || !parse_count(t[1], target)) return false;
      continue;
    }
    std::vector<std::string>* list = key == "FIELDS" ? &h.names
                                     : key == "SIZE" ? &h.sizes
                                     : key == "TYPE" ? &h.types
                                     : key == "COUNT" ? &h.counts
                                                      : nullptr;
    if (list == nullptr || !list->empty() || t.size() < 2) return false;
    list->assign(t.begin() + 1, t.end());
  }
}

// Checks the header's lines against each other and plans the reading.
bool make_layout(const RawHeader& h, Layout& layout) {
  const std::size_t n = h.names.size();
  if (n == 0 || h.sizes.size() != n || h.types.size() != n || !(h.counts.empty() || h.counts.size() == n))
    return false;
  std::size_t offset = 0, token = 0;
  for (std::size_t i = 0; i < n; ++i) {
    Field f;
    f.name = std::string(h.names[i]);
    std::size_t size = 0;
    if (!parse_whole(h.sizes[i], size)) return false;
    const auto scalar = pcd_scalar_of(h.types[i], size);
    if (!scalar) return false;
    f.scalar = *scalar;
    f.size = size;
    if (!h.counts.empty() && (!parse_whole(h.counts[i], f.count) || f.count > point_size_limit)) return false;
    f.offset = offset;
    f.token = token;
    offset += f.size * f.count;
    token += f.count;
    if (offset > point_size_limit) return false;
    layout.fields.push_back(std::move(f));
  }
  layout.point_size = offset;
  layout.tokens = token;
  const auto find_field = [&](std::string_view name, Axis& axis) {
    const auto it = std::find_if(layout.fields.begin(), layout.fields.end(),
                                 [&](const Field& f) { return f.name == name; });
    if (it == layout.fields.end() || it->count == 0) return false;
    axis = {it->scalar, static_cast<std::size_t>(it - layout.fields.begin())};
    return true;
  };
  static constexpr std::string_view axis_names[3] = {"x", "y", "z"};
  for (std::size_t a = 0; a < 3; ++a)
    if (!find_field(axis_names[a], layout.axis[a])) return false;
  static constexpr std::string_view normal_names[3] = {"normal_x", "normal_y", "normal_z"};
  layout.has_normals = true;
  for (std::size_t a = 0; a < 3; ++a) layout.has_normals = find_field(normal_names[a], layout.normal[a]) && layout.has_normals;
  if (h.points) {
    layout.points = *h.points;
  } else if (h.width) {
    const std::int64_t height = h.height.value_or(1);
    if (height != 0 && *h.width > std::numeric_limits<std::int64_t>::max() / height) return false;
    layout.points = *h.width * height;
  } else {
    return false;
  }
  layout.data = *h.data;
  return true;
}

// ---- values ----

// A stored binary value is exact in double (but for 64-bit integers beyond
// 2^53): the appender rounds it once to float, after the shift if there is one.
bool emit(PointAppender& out, double x, double y, double z) { return out.add_exact(x, y, z); }

template <class T>
bool has_coordinates(T x, T y, T z) {
  return !std::isnan(x) && !std::isnan(y) && !std::isnan(z);
}

Failure end_of_body(const ByteSource& in) { return in.end_state(); }

void note_short_body(FileFacts& facts, std::int64_t complete, std::int64_t declared) {
  facts.shortfall = Shortfall{complete, declared, "points"};
}

// Room for the declared points, never more than the bytes left could hold.
bool reserve_declared(const ByteSource& in, PointAppender& out, std::int64_t declared, std::int64_t bytes_per_point) {
  return out.reserve(in.records_that_fit(declared, bytes_per_point));
}

// ---- bodies ----

// A normal component as stored, rounded once to float.
float normal_of(const char* bytes, ScalarType scalar) { return single_of(decode_scalar(bytes, scalar, ByteOrder::little)); }

// Whether the normals are read: the file has them and the caller asked.
bool reads_normals(const Layout& layout, const PointAppender& out) { return layout.has_normals && out.wants_normals(); }

// The records in place; with normals, each stored point's as well. A template,
// so that the loop of a run without normals carries nothing for them.
template <bool with_normals>
Failure read_binary_records(ByteSource& in, const Layout& layout, PointAppender& out, FileFacts& facts) {
  std::size_t offset[3], normal_offset[3] = {0, 0, 0};
  for (std::size_t a = 0; a < 3; ++a) {
    offset[a] = layout.fields[layout.axis[a].field].offset;
    if (with_normals) normal_offset[a] = layout.fields[layout.normal[a].field].offset;
  }
  if (with_normals &&
      !out.reserve_normals(in.records_that_fit(layout.points, static_cast<std::int64_t>(layout.point_size))))
    return Failure::out_of_memory;
  return read_fixed_records(in, out, layout.point_size, layout.points, facts, [&](const char* record) {
    const double x = decode_scalar(record + offset[0], layout.axis[0].scalar, ByteOrder::little);
    const double y = decode_scalar(record + offset[1], layout.axis[1].scalar, ByteOrder::little);
    const double z = decode_scalar(record + offset[2], layout.axis[2].scalar, ByteOrder::little);
    if (!has_coordinates(x, y, z)) {
      ++facts.skipped_points;
      return true;
    }
    if (!emit(out, x, y, z)) return false;
    if constexpr (with_normals)
      return out.add_normal(normal_of(record + normal_offset[0], layout.normal[0].scalar),
                            normal_of(record + normal_offset[1], layout.normal[1].scalar),
                            normal_of(record + normal_offset[2], layout.normal[2].scalar));
    return true;
  });
}

Failure read_binary(ByteSource& in, const Layout& layout, PointAppender& out, FileFacts& facts) {
  return reads_normals(layout, out) ? read_binary_records<true>(in, layout, out, facts)
                                    : read_binary_records<false>(in, layout, out, facts);
}

// The compressed body: two 32-bit sizes, then one LZF block that holds the
// fields one after another, each for all points (all x, then all y, ...).
Failure read_compressed(ByteSource& in, const Layout& layout, PointAppender& out, FileFacts& facts) {
  char sizes[8];
  if (in.read_bytes(sizes, sizeof sizes) != sizeof sizes) {
    if (layout.points > 0) note_short_body(facts, 0, layout.points);
    return end_of_body(in);
  }
  const std::uint32_t compressed_size = load_u32(sizes);
  const std::uint32_t uncompressed_size = load_u32(sizes + 4);
  const auto points = static_cast<std::uint64_t>(layout.points);
  if (points == 0) return end_of_body(in);
  // The block's layout depends on the point count: a size that does not match
  // it cannot be split into fields.
  if (points > std::numeric_limits<std::uint32_t>::max() / layout.point_size ||
      points * layout.point_size != uncompressed_size)
    return Failure::unsupported;

  // The compressed bytes, as many of them as the file holds, read in steps so a
  // hostile size allocates no more than the data that is there.
  std::vector<unsigned char> packed;
  constexpr std::size_t step = std::size_t{1} << 22;
  while (packed.size() < compressed_size) {
    const std::size_t want = std::min<std::size_t>(step, compressed_size - packed.size());
    const std::size_t had = packed.size();
    packed.resize(had + want);
    const std::size_t got = in.read_bytes(packed.data() + had, want);
    packed.resize(had + got);
    if (got < want) break;
  }
  if (in.failed()) return Failure::read_error;
  const bool truncated = packed.size() < compressed_size;
  if (!truncated && uncompressed_size > packed.size() * lzf_max_expansion) return Failure::unsupported;
  const std::size_t capacity =
      std::min<std::size_t>(uncompressed_size, packed.size() * lzf_max_expansion);
  std::vector<unsigned char> block(capacity);
  const LzfResult r = lzf_decompress(packed.data(), packed.size(), block.data(), block.size());
  if (!truncated && (r.status != LzfStatus::complete || r.produced != uncompressed_size))
    return Failure::unsupported;

  // Points whose every field lies within the decoded bytes.
  std::uint64_t complete = points;
  for (const Field& f : layout.fields) {
    const std::uint64_t start = points * f.offset;
    const std::uint64_t bytes = f.size * f.count;
    if (bytes == 0) continue;
    complete = std::min(complete, r.produced > start ? (r.produced - start) / bytes : 0);
  }
  const char* base = reinterpret_cast<const char*>(block.data());
  const bool normals = reads_normals(layout, out);
  // Offsets, not pointers: a column past the decoded bytes is never formed as an
  // address, since only points below `complete` are read.
  std::size_t column[3], step_of[3], normal_column[3] = {0, 0, 0}, normal_step[3] = {0, 0, 0};
  for (std::size_t a = 0; a < 3; ++a) {
    const Field& f = layout.fields[layout.axis[a].field];
    column[a] = points * f.offset;
    step_of[a] = f.size * f.count;
    const Field& n = layout.fields[layout.normal[a].field];  // field 0 when there are no normals: unused
    normal_column[a] = normals ? points * n.offset : 0;
    normal_step[a] = normals ? n.size * n.count : 0;
  }
  if (!out.reserve(static_cast<std::int64_t>(complete))) return Failure::out_of_memory;
  if (normals && !out.reserve_normals(static_cast<std::int64_t>(complete))) return Failure::out_of_memory;
  for (std::uint64_t i = 0; i < complete; ++i) {
    const double x = decode_scalar(base + column[0] + i * step_of[0], layout.axis[0].scalar, ByteOrder::little);
    const double y = decode_scalar(base + column[1] + i * step_of[1], layout.axis[1].scalar, ByteOrder::little);
    const double z = decode_scalar(base + column[2] + i * step_of[2], layout.axis[2].scalar, ByteOrder::little);
    if (!has_coordinates(x, y, z)) {
      ++facts.skipped_points;
      continue;
    }
    if (!emit(out, x, y, z)) return Failure::out_of_memory;
    if (normals && !out.add_normal(normal_of(base + normal_column[0] + i * normal_step[0], layout.normal[0].scalar),
                                   normal_of(base + normal_column[1] + i * normal_step[1], layout.normal[1].scalar),
                                   normal_of(base + normal_column[2] + i * normal_step[2], layout.normal[2].scalar)))
      return Failure::out_of_memory;
  }
  if (complete < points) note_short_body(facts, static_cast<std::int64_t>(complete), layout.points);
  return Failure::none;
}

// One ascii value, all of the token or nothing, in both readings, with the
// "%f" rules of text clouds: the double as "%lf" converts it (exact for integers
// up to 2^53), and the float as a float field reads without a shift ("%f", one
// rounding from the decimal) or as any other field's value rounds (from its
// double). A value beyond the type's range becomes zero or infinite.
bool convert(std::string_view token, ScalarType scalar, CoordinateReading& value) {
  const char* const first = token.data();
  const char* const last = first + token.size();
  const ScanResult wide = scan_double(first, last, value.wide);
  if (!wide.converted || wide.end != last) return false;
  // "%f" takes exactly the characters "%lf" takes.
  if (scalar == ScalarType::float32) return scan_float(first, last, value.single).converted;
  value.single = single_of(value.wide);
  return true;
}

// A normal component of an ascii line: its float as convert() gives it; a token
// that does not convert is no number (the point is kept: only its coordinates
// decide whether it is read).
float ascii_normal(std::string_view token, ScalarType scalar) {
  CoordinateReading value;
  return convert(token, scalar, value) ? value.single : std::numeric_limits<float>::quiet_NaN();
}

Failure read_ascii(ByteSource& in, const Layout& layout, PointAppender& out, FileFacts& facts) {
  std::size_t token_of[3], normal_token[3];
  for (std::size_t a = 0; a < 3; ++a) token_of[a] = layout.fields[layout.axis[a].field].token;
  const bool normals = reads_normals(layout, out);
  for (std::size_t a = 0; a < 3; ++a)
    normal_token[a] = normals ? layout.fields[layout.normal[a].field].token : 0;
  std::string line;
  std::vector<std::string_view> tokens;
  std::int64_t i = 0;
  while (i < layout.points) {
    line.clear();
    if (!in.read_line(line)) break;
    // Only as many values as one point has are looked at; a longer line keeps
    // its first ones.
    tokens.clear();
    for_each_token(line, [&](std::string_view token) {
      tokens.push_back(token);
      return tokens.size() < layout.tokens;
    });
    if (tokens.empty()) continue;  // a blank line
    if (tokens.size() < layout.tokens) break;
    CoordinateReading xyz[3];
    bool converted = true;
    for (std::size_t a = 0; a < 3 && converted; ++a)
      converted = convert(tokens[token_of[a]], layout.axis[a].scalar, xyz[a]);
    if (!converted) break;
    ++i;
    if (!has_coordinates(xyz[0].wide, xyz[1].wide, xyz[2].wide)) {
      ++facts.skipped_points;
      continue;
    }
    if (!out.add_reading(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    if (normals && !out.add_normal(ascii_normal(tokens[normal_token[0]], layout.normal[0].scalar),
                                   ascii_normal(tokens[normal_token[1]], layout.normal[1].scalar),
                                   ascii_normal(tokens[normal_token[2]], layout.normal[2].scalar)))
      return Failure::out_of_memory;
  }
  if (i < layout.points) note_short_body(facts, i, layout.points);
  return end_of_body(in);
}

Failure read_body(ByteSource& in, const Layout& layout, PointAppender& out, FileFacts& facts) {
  switch (layout.data) {
    case DataKind::ascii:
      // The shortest ascii point is one character and a blank per value.
      if (!reserve_declared(in, out, layout.points, static_cast<std::int64_t>(2 * layout.tokens)))
        return Failure::out_of_memory;
      if (reads_normals(layout, out) &&
          !out.reserve_normals(in.records_that_fit(layout.points, static_cast<std::int64_t>(2 * layout.tokens))))
        return Failure::out_of_memory;
      return read_ascii(in, layout, out, facts);
    case DataKind::binary:
      return read_binary(in, layout, out, facts);
    case DataKind::binary_compressed:
      return read_compressed(in, layout, out, facts);
  }
  return Failure::unsupported;
}

}  // namespace

Failure read_pcd_cloud(ByteSource& in, PointAppender& out, FileFacts& facts) {
  try {
    RawHeader raw;
    Layout layout;
    if (!read_header(in, raw) || !make_layout(raw, layout))
      return in.failed() ? Failure::read_error : Failure::unsupported;
    return read_body(in, layout, out, facts);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

namespace {

constexpr std::string_view line_blanks = " \t\r\v\f";

// `line` starts with `word` as a whole word (followed by white space or nothing).
bool starts_with_word(std::string_view line, std::string_view word) {
  return line.starts_with(word) &&
         (line.size() == word.size() || line_blanks.find(line[word.size()]) != std::string_view::npos);
}

// A first line "# .PCD..."; otherwise the first line that is neither blank nor a
// '#' comment starts with the word VERSION or FIELDS.
bool is_pcd_file(std::string_view bytes) {
  for (bool first = true; !bytes.empty(); first = false) {
    const std::size_t nl = bytes.find('\n');
    const std::string_view line = bytes.substr(0, nl);
    bytes = nl == std::string_view::npos ? std::string_view{} : bytes.substr(nl + 1);
    if (first && line.starts_with("# .PCD")) return true;
    const std::size_t start = std::min(line.size(), line.find_first_not_of(line_blanks));
    const std::string_view content = line.substr(start);
    if (content.empty() || content.front() == '#') continue;
    return starts_with_word(content, "VERSION") || starts_with_word(content, "FIELDS");
  }
  return false;
}

}  // namespace

// PCD bodies are read on one thread.
extern const FormatRow pcd_format = {
    .name = "PCD",
    .key = "pcd",
    .recognise = is_pcd_file,
    .read = [](ByteSource& in, PointAppender& out, FileFacts& facts, int) { return read_pcd_cloud(in, out, facts); },
    .help = ""};

}  // namespace ptdelta
