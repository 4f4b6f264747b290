#include "input/cloud_reader.h"

#include <iterator>

#include "input/ply_reader.h"
#include "input/text_reader.h"

namespace ptdelta {

namespace {

CloudReadOutcome read_text(ByteSource& in, PointAppender out) { return {read_text_cloud(in, out), {}, {}}; }

CloudReadOutcome read_ply(ByteSource& in, PointAppender out) { return {read_ply_cloud(in, out), {}, {}}; }

CloudReadOutcome read_list(ByteSource& in, PointAppender out) {
  PlyListOutcome list = read_ply_list(in, out);
  CloudReadOutcome outcome{list.failure, std::move(list.failed_name), std::move(list.files_read)};
  if (outcome.failure == Failure::none && in.failed()) outcome.failure = Failure::read_error;
  return outcome;
}

struct ReaderEntry {
  InputKind kind;
  CloudReadOutcome (*read)(ByteSource&, PointAppender);
};

constexpr ReaderEntry readers[] = {
    {InputKind::text, read_text},
    {InputKind::ply, read_ply},
    {InputKind::ply_list, read_list},
};

}  // namespace

CloudReadOutcome read_cloud(InputKind kind, ByteSource& in, PointAppender out) {
  for (const ReaderEntry& entry : readers)
    if (entry.kind == kind) return entry.read(in, out);
  return {Failure::read_error, {}, {}};  // unreachable: every kind has an entry
}

}  // namespace ptdelta
