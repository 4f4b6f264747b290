#include "input/cloud_reader.h"

#include "input/las_reader.h"
#include "input/pcd_reader.h"
#include "input/ply_reader.h"
#include "input/text_reader.h"

namespace ptdelta {

namespace {

Failure read_text(ByteSource& in, PointAppender& out, ReadFacts& facts, int threads) {
  facts.format = CloudFormat::text;
  const TextReadResult r = read_text_cloud(in, out, threads);
  if (r.failure == Failure::none) facts.stopped_at_line = r.stopped_at_line;
  return r.failure;
}

// One reader per format a file can be recognised as.
struct FormatEntry {
  CloudFormat format;
  ListedFileReader read;
};

// PCD and LAS bodies are read on one thread.
constexpr FormatEntry format_readers[] = {
    {CloudFormat::ply, read_ply_file},
    {CloudFormat::pcd, [](ByteSource& in, PointAppender& out, ReadFacts& facts, int) {
       return read_pcd_cloud(in, out, facts);
     }},
    {CloudFormat::las, [](ByteSource& in, PointAppender& out, ReadFacts& facts, int) {
       return read_las_cloud(in, out, facts);
     }},
};

Failure read_as(CloudFormat format, ByteSource& in, PointAppender& out, ReadFacts& facts, int threads) {
  for (const FormatEntry& entry : format_readers)
    if (entry.format == format) return entry.read(in, out, facts, threads);
  return Failure::read_error;  // unreachable: recognition only names formats of the table
}

// A file named in a list: by its content, PLY when nothing is recognised.
Failure read_listed_file(ByteSource& in, PointAppender& out, ReadFacts& facts, int threads) {
  return read_as(recognise_format(in).value_or(CloudFormat::ply), in, out, facts, threads);
}

CloudReadOutcome read_list(ByteSource& in, PointAppender& out, int threads) {
  PlyListOutcome list = read_ply_list(in, out, read_listed_file, threads);
  CloudReadOutcome outcome;
  outcome.failure = list.failure;
  outcome.failed_name = std::move(list.failed_name);
  outcome.files_read = std::move(list.files_read);
  outcome.file_facts = std::move(list.file_facts);
  outcome.facts.format = CloudFormat::list;
  if (outcome.failure == Failure::none && in.failed()) outcome.failure = Failure::read_error;
  return outcome;
}

CloudReadOutcome read_text_kind(ByteSource& in, PointAppender& out, int threads) {
  CloudReadOutcome outcome;
  outcome.failure = read_text(in, out, outcome.facts, threads);
  return outcome;
}
CloudReadOutcome read_ply_kind(ByteSource& in, PointAppender& out, int threads) {
  CloudReadOutcome outcome;
  outcome.failure = read_ply_file(in, out, outcome.facts, threads);
  return outcome;
}

struct ReaderEntry {
  InputKind kind;
  CloudReadOutcome (*read)(ByteSource&, PointAppender&, int threads);
};

constexpr ReaderEntry readers[] = {
    {InputKind::text, read_text_kind},
    {InputKind::ply, read_ply_kind},
    {InputKind::ply_list, read_list},
};

CloudReadOutcome read_by_kind(InputKind kind, ByteSource& in, PointAppender& out, int threads) {
  // A cloud file is read by what it is, whichever option named it; a -cp file
  // that is itself a cloud is read as that one cloud.
  if (const auto format = recognise_format(in)) {
    CloudReadOutcome outcome;
    outcome.failure = read_as(*format, in, out, outcome.facts, threads);
    return outcome;
  }
  for (const ReaderEntry& entry : readers)
    if (entry.kind == kind) return entry.read(in, out, threads);
  return {Failure::read_error, {}, {}, {}, {}};  // unreachable: every kind has an entry
}

}  // namespace

CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender& out, int threads) {
  CloudReadOutcome outcome = read_by_kind(kind, in, out, threads);
  if (outcome.failure == Failure::none && !out.finish()) outcome.failure = Failure::out_of_memory;
  return outcome;
}

}  // namespace ptdelta
