// fixed_records.h - a body of records of one size, each decoded in place, and the note of a short one
// Shared by every binary body whose header gives a record size and a count (LAS, binary PCD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_format.h"

namespace ptdelta {

// Reserves room for the `count` records the header declares (never more than
// the bytes left could hold), then hands each record of `size` bytes to
// `decode(const char* record)`, which stores its point or counts it skipped and
// returns false only when memory ran out. A body that ends first keeps its
// complete records and is noted in facts.shortfall ("points").
// Failure::out_of_memory, Failure::read_error, or Failure::none.
template <class Decode>
Failure read_fixed_records(ByteSource& in, PointAppender& out, std::size_t size, std::int64_t count, FileFacts& facts,
                           Decode&& decode) {
  if (!out.reserve(in.records_that_fit(count, static_cast<std::int64_t>(size)))) return Failure::out_of_memory;
  // In place from the buffer; only a record that straddles two blocks is copied first.
  std::vector<char> straddling;
  for (std::int64_t i = 0; i < count; ++i) {
    const char* record = in.next_record(size, straddling);
    if (record == nullptr) {
      facts.shortfall = Shortfall{i, count, "points"};
      break;
    }
    if (!decode(record)) return Failure::out_of_memory;
  }
  return in.end_state();
}

}  // namespace ptdelta
