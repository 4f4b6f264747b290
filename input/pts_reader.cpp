#include "input/pts_reader.h"

#include <new>
#include <optional>

#include "input/room_for_rest.h"
#include "input/scanner_text.h"

namespace ptdelta {

bool is_pts_file(std::string_view first_bytes) {
  bool after_count = false, pts = false;
  for_each_line(first_bytes, [&](std::string_view line) {
    if (after_count) {
      // The next line that is not blank must be a row the reader takes: any
      // other line would end the cloud before its first point. This also keeps
      // random bytes (a device), whose first numeric line is often one lone
      // number, from being taken for PTS.
      const Row row = read_row(line, ReadPrecision::single);
      pts = row.kind == RowKind::point;
      return row.kind == RowKind::blank;
    }
    if (!is_data_line(line)) return true;  // a heading before the count
    after_count = whole_number_line(line).has_value();
    return after_count;
  });
  return pts;
}

namespace {

struct OpenBlock {
  std::int64_t line = 0;
  std::int64_t count = 0;
  std::int64_t rows = 0;
};

void close_block(const std::optional<OpenBlock>& block, FileFacts& facts) {
  if (!block || block->rows == block->count) return;
  if (facts.blocks.listed.size() < BlockMismatches::most_listed)
    facts.blocks.listed.push_back({block->line, block->rows, block->count});
  ++facts.blocks.total;
}

}  // namespace

Failure read_pts_cloud(ByteSource& in, PointAppender& out, FileFacts& facts) {
  try {
    NumberedLines lines(in);
    RoomForRest room(in, out);
    std::optional<OpenBlock> block;
    bool data_seen = false;
    while (lines.next()) {
      const std::string_view line = lines.line();
      if (!data_seen && !is_data_line(line)) continue;
      data_seen = true;
      if (const std::optional<std::int64_t> count = whole_number_line(line)) {
        close_block(block, facts);
        block = OpenBlock{lines.number(), *count, 0};
        continue;
      }
      const Row row = read_row(line, out.precision());
      if (row.kind == RowKind::blank) continue;
      if (row.kind == RowKind::other) {
        facts.stopped_at_line = lines.number();
        break;
      }
      if (!out.add_reading(row.xyz[0], row.xyz[1], row.xyz[2])) return Failure::out_of_memory;
      // Rows before any count line (a file recognised otherwise) belong to no block.
      if (block) ++block->rows;
      room.check(in, out);
    }
    if (lines.too_long()) facts.stopped_at_line = lines.number();
    close_block(block, facts);
    return in.end_state();
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

// PTS lines are read on one thread.
extern const FormatRow pts_format = {
    .name = "PTS",
    .key = "pts",
    .recognise = is_pts_file,
    .read = [](ByteSource& in, PointAppender& out, FileFacts& facts, int) { return read_pts_cloud(in, out, facts); },
    .help = "a first data line of one whole number, then rows: PTS blocks, x y z of each row",
    .seeks = false};

}  // namespace ptdelta
