#include "input/cloud_reader.h"

#include <iterator>

#include "input/ply_reader.h"
#include "input/text_reader.h"

namespace ptdelta {

namespace {

void add_ply_warnings(const PlyReadResult& r, const std::string& file, std::vector<ReadWarning>& warnings) {
  if (r.failure != Failure::none) return;
  if (r.stopped_at_line > 0) warnings.push_back({ReadWarning::Kind::stopped_at_line, file, r.stopped_at_line, 0, 0});
  if (r.vertices_read < r.vertices_declared)
    warnings.push_back({ReadWarning::Kind::short_vertices, file, 0, r.vertices_read, r.vertices_declared});
}

CloudReadOutcome read_text(ByteSource& in, PointAppender& out) {
  const TextReadResult r = read_text_cloud(in, out);
  CloudReadOutcome outcome{r.failure, {}, {}, {}};
  if (r.failure == Failure::none && r.stopped_at_line > 0)
    outcome.warnings.push_back({ReadWarning::Kind::stopped_at_line, {}, r.stopped_at_line, 0, 0});
  return outcome;
}

CloudReadOutcome read_ply(ByteSource& in, PointAppender& out) {
  const PlyReadResult r = read_ply_cloud(in, out);
  CloudReadOutcome outcome{r.failure, {}, {}, {}};
  add_ply_warnings(r, {}, outcome.warnings);
  return outcome;
}

CloudReadOutcome read_list(ByteSource& in, PointAppender& out) {
  PlyListOutcome list = read_ply_list(in, out);
  CloudReadOutcome outcome{list.failure, std::move(list.failed_name), std::move(list.files_read), {}};
  for (std::size_t i = 0; i < list.results.size(); ++i)
    add_ply_warnings(list.results[i], list.single_file ? std::string() : outcome.files_read[i], outcome.warnings);
  if (outcome.failure == Failure::none && in.failed()) outcome.failure = Failure::read_error;
  return outcome;
}

struct ReaderEntry {
  InputKind kind;
  CloudReadOutcome (*read)(ByteSource&, PointAppender&);
};

constexpr ReaderEntry readers[] = {
    {InputKind::text, read_text},
    {InputKind::ply, read_ply},
    {InputKind::ply_list, read_list},
};

}  // namespace

CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out) {
  for (const ReaderEntry& entry : readers) {
    if (entry.kind != kind) continue;
    CloudReadOutcome outcome = entry.read(in, out);
    if (outcome.failure == Failure::none && !out.finish()) outcome.failure = Failure::out_of_memory;
    return outcome;
  }
  return {Failure::read_error, {}, {}, {}};  // unreachable: every kind has an entry
}

}  // namespace ptdelta
