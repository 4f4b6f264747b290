// scanner_text_fuzz.cpp - PTS and PTX readers on arbitrary bytes, after a ready-made count line or scan header or none
// The first byte picks the prefix (none: recognised by content as the tool does) and a shift; the same bytes
// read from a stream in small blocks must give the same points and facts as from memory.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"
#include "input/pts_reader.h"
#include "input/ptx_reader.h"

namespace {

using namespace ptdelta;

const char* const prefixes[] = {
    "",
    "3\n",
    "2\n2\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n",
    "1\n3\n0 0 0\n1 0 0\n0 1 0\n0.6 0.8 0 0\n-0.8 0.6 0 0\n0 0 1 0\n512000.25 -3 1e300 1\n",
};

struct Read {
  Failure failure = Failure::none;
  FileFacts facts;
  std::vector<std::uint32_t> bits;
};

Read read(const FormatRow& row, std::string& bytes, ShiftRule rule, std::size_t block) {
  Read r;
  PointColumns cloud;
  PointAppender out(cloud, no_progress(), rule);
  if (block == 0) {
    ByteSource in(bytes.data(), bytes.size());
    r.failure = read_by_row(row, in, out, r.facts, 1);
  } else {
    std::FILE* file = fmemopen(bytes.data(), bytes.size(), "r");
    if (file == nullptr) std::abort();
    {
      ByteSource in(file, block);
      r.failure = read_by_row(row, in, out, r.facts, 1);
    }
    std::fclose(file);
  }
  if (r.failure == Failure::none && !out.finish()) r.failure = Failure::out_of_memory;
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    for (const float v : {cloud.x[i], cloud.y[i], cloud.z[i]}) r.bits.push_back(std::bit_cast<std::uint32_t>(v));
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t pick = data[0] % (sizeof prefixes / sizeof prefixes[0]);
  std::string bytes = prefixes[pick];
  bytes.append(reinterpret_cast<const char*>(data + 1), size - 1);
  const ShiftRule rule{(data[0] & 0x40) != 0, (data[0] & 0x80) != 0 ? CoordinateShift{-1000.0, 0.0, 0.0} : CoordinateShift{}};
  if (bytes.empty()) return 0;  // fmemopen refuses an empty buffer

  // The row the tool would choose; the scanner rows by their prefix otherwise.
  ByteSource probe(bytes.data(), bytes.size());
  const FormatRow* row = recognise_format(probe);
  if (row != &pts_format && row != &ptx_format) row = pick == 1 ? &pts_format : &ptx_format;
  const Read memory = read(*row, bytes, rule, 0);
  PTDELTA_FUZZ_CHECK(memory.failure == Failure::none || memory.failure == Failure::out_of_memory);
  const FileFacts& f = memory.facts;
  PTDELTA_FUZZ_CHECK(f.skipped_points >= 0 && f.stopped_at_line >= 0);
  if (f.shortfall) PTDELTA_FUZZ_CHECK(f.shortfall->read < f.shortfall->declared);
  PTDELTA_FUZZ_CHECK(f.blocks.listed.size() <= BlockMismatches::most_listed);
  PTDELTA_FUZZ_CHECK(f.blocks.total >= static_cast<std::int64_t>(f.blocks.listed.size()));
  // A point takes at least one line of three tokens.
  PTDELTA_FUZZ_CHECK(memory.bits.size() / 3 <= bytes.size() / 6 + 1);

  const Read streamed = read(*row, bytes, rule, 1 + size % 13);
  PTDELTA_FUZZ_CHECK(streamed.failure == memory.failure && streamed.bits == memory.bits);
  PTDELTA_FUZZ_CHECK(streamed.facts.skipped_points == f.skipped_points);
  PTDELTA_FUZZ_CHECK(streamed.facts.stopped_at_line == f.stopped_at_line);
  PTDELTA_FUZZ_CHECK(streamed.facts.blocks.total == f.blocks.total);
  PTDELTA_FUZZ_CHECK(streamed.facts.shortfall.has_value() == f.shortfall.has_value());
  return 0;
}
