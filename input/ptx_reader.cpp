#include "input/ptx_reader.h"

#include <cstdint>
#include <new>

#include "core/exact.h"
#include "input/coordinate.h"
#include "input/room_for_rest.h"
#include "input/scanner_text.h"

namespace ptdelta {

namespace {

// A scan's header taken line by line: two lines of one whole number (columns,
// rows), three or four lines of three numbers (the scanner's position and axes,
// not used; writers differ on whether the position has a line of its own, and
// the matrix lines tell the two apart by their four numbers), then the four
// lines of the matrix.
class ScanHeader {
 public:
  // Takes the header's next line; false when it does not have the shape wanted there.
  bool take(std::string_view line) {
    if (lines_ < 2) {
      const std::optional<std::int64_t> n = whole_number_line(line);
      if (!n) return false;
      (lines_ == 0 ? columns_ : rows_) = *n;
    } else if (matrix_rows_ == 0 && pose_lines_ < 4 && is_number_line(line, 3)) {
      ++pose_lines_;
    } else if (pose_lines_ >= 3 && is_number_line(line, 4, matrix + 4 * matrix_rows_)) {
      ++matrix_rows_;
    } else {
      return false;
    }
    ++lines_;
    return true;
  }
  bool complete() const { return matrix_rows_ == 4; }

  // columns x rows, saturating at INT64_MAX.
  std::int64_t points() const {
    if (columns_ != 0 && rows_ > INT64_MAX / columns_) return INT64_MAX;
    return columns_ * rows_;
  }

  double matrix[16] = {};  // row by row, the translation in the fourth row

 private:
  int lines_ = 0;
  std::int64_t columns_ = 0, rows_ = 0;
  int pose_lines_ = 0;
  std::size_t matrix_rows_ = 0;
};

bool is_identity(const double (&m)[16]) {
  for (std::size_t i = 0; i < 16; ++i)
    if (m[i] != (i % 5 == 0 ? 1.0 : 0.0)) return false;
  return true;
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
  for_each_line(first_bytes, [&h](std::string_view line) { return h.take(line) && !h.complete(); });
  return h.complete();
}

Failure read_ptx_cloud(ByteSource& in, PointAppender& out, FileFacts& facts) {
  try {
    NumberedLines lines(in);
    for (;;) {
      ScanHeader h;
      std::int64_t first_line = 0;  // of the header; 0 while only blank lines came
      while (!h.complete() && lines.next()) {
        const std::string_view line = lines.line();
        if (first_line == 0 && token_count(line, 1) == 0) continue;  // blank lines between scans
        if (first_line == 0) first_line = lines.number();
        if (!h.take(line)) break;
      }
      if (first_line == 0 && !lines.too_long()) return in.end_state();  // after the last scan
      if (!h.complete()) {
        facts.stopped_at_line = first_line != 0 ? first_line : lines.number();
        return in.end_state();
      }
      const std::int64_t declared = h.points();
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
    .help = "two lines of one whole number, 3 or 4 of 3 numbers, 4 of 4: PTX scans, x y z moved by their matrix",
    .seeks = false};

}  // namespace ptdelta
