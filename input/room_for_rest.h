// room_for_rest.h - room for the rest of a cloud, estimated from the bytes its first points took
// Text gives no count: the columns would grow by half again and again, each time copying the points into fresh pages.
#pragma once

#include <cstdint>

#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

// Watches a reader's first points; once `sample` of them are stored, reserves
// room for as many more as the bytes left would hold at the rate seen so far
// (2 % more, as the rest may write its numbers a little longer). Only a hint:
// a source of unknown size is left alone, and a cloud that turns out larger
// grows as before, one that ends early gives the room back when finished, and
// room that cannot be had is not asked for.
class RoomForRest {
 public:
  RoomForRest(const ByteSource& in, const PointAppender& out, std::int32_t sample = progress_report_step)
      : start_bytes_(in.remaining_size()),
        start_count_(out.cloud().count),
        at_count_(std::int64_t{start_count_} + sample) {
    if (start_bytes_ <= 0) at_count_ = -1;
  }

  // Call as points are stored; acts once.
  void check(const ByteSource& in, PointAppender& out) {
    if (at_count_ < 0 || out.cloud().count < at_count_) return;
    at_count_ = -1;
    const std::int64_t left = in.remaining_size();
    const std::int64_t used = start_bytes_ - left;
    const std::int64_t points = out.cloud().count - start_count_;
    if (left <= 0 || used <= 0 || points <= 0) return;
    const double rate = static_cast<double>(points) / static_cast<double>(used);
    const double more = static_cast<double>(left) * rate * 1.02 + 1024.0;
    // Beyond any count the columns can hold: growth refuses at the limit anyway.
    if (!(more < static_cast<double>(max_point_count))) return;
    // Room that cannot be had is not needed yet: growth does what can be done.
    static_cast<void>(out.reserve(static_cast<std::int64_t>(more)));
  }

 private:
  std::int64_t start_bytes_;
  std::int32_t start_count_;
  std::int64_t at_count_;  // the count to act at; -1 once done, or when there is nothing to go by
};

}  // namespace ptdelta
