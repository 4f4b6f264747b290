#include "input/cloud_format.h"

#include <string>

#include "input/text_tokens.h"

namespace ptdelta {

namespace {

// One row per format. A new format is its own file (reader, recogniser and
// `extern const FormatRow name_format`), its declaration beside the others in
// cloud_format.h, and one entry here; no other code changes. Compressed LAS
// comes first, so that its records are decoded rather than read as plain ones;
// then LAS: its signature is four bytes that no text line starts with, and it
// must win over any line rule. The scanner texts come last: they start with
// numbers, which none of the others does. PTX goes before PTS, as its header
// starts with two lines of one whole number.
constexpr const FormatRow* built_in_formats[] = {&laz_format, &las_format, &ply_format,
                                                 &pcd_format, &ptx_format, &pts_format};

}  // namespace

FormatTable cloud_formats() { return built_in_formats; }

const FormatRow* recognise_format(ByteSource& in, FormatTable formats) {
  if (!in.refill()) return nullptr;
  const std::string_view bytes(in.cursor(), static_cast<std::size_t>(in.buffer_end() - in.cursor()));
  for (const FormatRow* row : formats)
    if (row->recognise(bytes)) return row;
  return nullptr;
}

const char* format_name(const FileFacts& facts) { return facts.format != nullptr ? facts.format->key : "text"; }

Failure read_by_row(const FormatRow& row, ByteSource& in, PointAppender& out, FileFacts& facts, int threads) {
  facts.format = &row;
  if (!row.seeks || in.seekable()) return row.read(in, out, facts, threads);
  // Positions in the copy count from the byte that was next in `in`: byte 0
  // when nothing was taken yet, as for every recognised file.
  std::string copy;
  if (const Failure f = read_rest(in, copy); f != Failure::none) return f;
  ByteSource memory(copy.data(), copy.size());
  return row.read(memory, out, facts, threads);
}

}  // namespace ptdelta
