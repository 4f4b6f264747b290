#include "input/cloud_reader.h"

#include "input/cloud_list.h"
#include "input/text_reader.h"

namespace ptdelta {

namespace {

Failure read_text(ByteSource& in, PointAppender& out, FileFacts& facts, int threads) {
  const TextReadResult r = read_text_cloud(in, out, threads);
  if (r.failure == Failure::none) facts.stopped_at_line = r.stopped_at_line;
  return r.failure;
}

// One file read by `row`, or as text when there is none.
ReadOutcome read_single(const FormatRow* row, ByteSource& in, PointAppender& out, int threads) {
  ReadOutcome outcome;
  FileFacts& facts = outcome.files.emplace_back();
  outcome.failure = row != nullptr ? read_by_row(*row, in, out, facts, threads) : read_text(in, out, facts, threads);
  if (outcome.failure != Failure::none) outcome.failed_format = facts.format;
  return outcome;
}

ReadOutcome read_by_kind(InputKind kind, ByteSource& in, PointAppender& out, int threads, FormatTable formats) {
  // A cloud file is read by what it is, whichever option named it; a -cp file
  // that is itself a cloud is read as that one cloud.
  if (const FormatRow* row = recognise_format(in, formats)) return read_single(row, in, out, threads);
  switch (kind) {
    case InputKind::text:
      return read_single(nullptr, in, out, threads);
    case InputKind::ply:
      return read_single(&ply_format, in, out, threads);
    case InputKind::ply_list:
      break;
  }
  ReadOutcome outcome = read_cloud_list(in, out, formats, threads);
  if (outcome.failure == Failure::none && in.failed()) outcome.failure = Failure::read_error;
  return outcome;
}

}  // namespace

ReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out, int threads, FormatTable formats) {
  ReadOutcome outcome = read_by_kind(kind, in, out, threads, formats);
  if (outcome.failure == Failure::none && !out.finish()) outcome.failure = Failure::out_of_memory;
  return outcome;
}

const char* input_format_name(const ReadOutcome& outcome) {
  if (outcome.list) return "list";
  return outcome.files.empty() ? "text" : format_name(outcome.files.front());
}

std::vector<std::string> listed_files(const ReadOutcome& outcome) {
  std::vector<std::string> names;
  if (outcome.list)
    for (const FileFacts& facts : outcome.files) names.push_back(facts.name);
  return names;
}

}  // namespace ptdelta
