#include "input/ptx_reader.h"

#include <cstdint>
#include <new>

#include "core/exact.h"
#include "input/coordinate.h"
#include "input/room_for_rest.h"
#include "input/scanner_text.h"

namespace ptdelta {

namespace {

constexpr int header_lines = 9;

struct ScanHeader {
  std::int64_t columns = 0;
  std::int64_t rows = 0;
  double matrix[16] = {};  // row by row, the translation in the fourth row
};

// Whether line `i` (0 to 8) of a header has its shape; fills what it gives.
bool take_header_line(std::string_view line, int i, ScanHeader& h) {
  if (i < 2) {
    const std::optional<std::int64_t> n = whole_number_line(line);
    if (n) (i == 0 ? h.columns : h.rows) = *n;
    return n.has_value();
  }
  if (i < 5) return is_number_line(line, 3);  // position and axes: not used
  return is_number_line(line, 4, h.matrix + 4 * (i - 5));
}

bool is_identity(const double (&m)[16]) {
  for (std::size_t i = 0; i < 16; ++i)
    if (m[i] != (i % 5 == 0 ? 1.0 : 0.0)) return false;
  return true;
}

std::int64_t points_of(const ScanHeader& h) {
  if (h.columns != 0 && h.rows > INT64_MAX / h.columns) return INT64_MAX;
  return h.columns * h.rows;
}

// x = y = z = 0 in double. A float reading of 0 may come from a tiny non-zero
// number, so its token is read again in double.
bool is_missing_return(const Row& row, ReadPrecision p) {
  for (std::size_t k = 0; k < 3; ++k) {
    double v = row.xyz[k].wide;
    if (p == ReadPrecision::single) {
      if (row.xyz[k].single != 0.0f) return false;
      CoordinateReading wide;
      if (!convert_whole_token(row.token[k], ReadPrecision::shifted, wide)) return false;
      v = wide.wide;
    }
    if (v != 0.0) return false;
  }
  return true;
}

struct ScanEnd {
  Failure failure = Failure::none;
  std::int64_t read = 0;  // rows read, missing returns included
};

ScanEnd read_scan(NumberedLines& lines, const ScanHeader& h, std::int64_t declared, ByteSource& in,
                  PointAppender& out, FileFacts& facts) {
  const bool identity = is_identity(h.matrix);
  RoomForRest room(in, out);
  ScanEnd end;
  while (end.read < declared && lines.next()) {
    const ReadPrecision p = identity ? out.precision() : ReadPrecision::shifted;
    const Row row = read_row(lines.line(), p);
    if (row.kind == RowKind::blank) continue;
    if (row.kind == RowKind::other) break;
    ++end.read;
    if (is_missing_return(row, p)) {
      ++facts.skipped_points;
      continue;
    }
    bool stored = false;
    if (identity) {
      stored = out.add_reading(row.xyz[0], row.xyz[1], row.xyz[2]);
    } else {
      const double x = row.xyz[0].wide, y = row.xyz[1].wide, z = row.xyz[2].wide;
      stored = out.add_exact(registered_coordinate(x, y, z, h.matrix, 0), registered_coordinate(x, y, z, h.matrix, 1),
                             registered_coordinate(x, y, z, h.matrix, 2));
    }
    if (!stored) return {Failure::out_of_memory, end.read};
    room.check(in, out);
  }
  return end;
}

}  // namespace

bool is_ptx_file(std::string_view first_bytes) {
  ScanHeader h;
  int i = 0;
  for_each_line(first_bytes, [&](std::string_view line) { return take_header_line(line, i, h) && ++i < header_lines; });
  return i == header_lines;
}

Failure read_ptx_cloud(ByteSource& in, PointAppender& out, FileFacts& facts) {
  try {
    NumberedLines lines(in);
    for (;;) {
      ScanHeader h;
      std::int64_t first_line = 0;
      int i = 0;
      while (i < header_lines && lines.next()) {
        const std::string_view line = lines.line();
        if (i == 0 && token_count(line, 1) == 0) continue;  // blank lines between scans
        if (i == 0) first_line = lines.number();
        if (!take_header_line(line, i, h)) break;
        ++i;
      }
      if (i == 0 && first_line == 0 && !lines.too_long()) return in.end_state();  // after the last scan
      if (i < header_lines) {
        facts.stopped_at_line = first_line != 0 ? first_line : lines.number();
        return in.end_state();
      }
      const std::int64_t declared = points_of(h);
      const ScanEnd end = read_scan(lines, h, declared, in, out, facts);
      if (end.failure != Failure::none) return end.failure;
      if (end.read < declared) {
        facts.shortfall = Shortfall{end.read, declared, "points"};
        return in.end_state();
      }
    }
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

// PTX lines are read on one thread.
extern const FormatRow ptx_format = {
    .name = "PTX",
    .key = "ptx",
    .recognise = is_ptx_file,
    .read = [](ByteSource& in, PointAppender& out, FileFacts& facts, int) { return read_ptx_cloud(in, out, facts); },
    .help = "two lines of one whole number, 3 of 3 numbers, 4 of 4: PTX scans, x y z moved by their matrix",
    .seeks = false};

}  // namespace ptdelta
