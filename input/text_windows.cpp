#include "input/text_windows.h"

#include <algorithm>

namespace ptdelta {

TextWindows::TextWindows(ByteSource& in, std::size_t window_bytes, WindowCut at)
    : in_(&in), window_bytes_(std::max<std::size_t>(1, window_bytes)), at_(at) {
  in.mark();
  first_line_ = std::max<std::int64_t>(1, in.marked_line());
}

Failure TextWindows::fill(std::size_t most_without_cut) {
  has_cut_ = false;
  cut_ = 0;
  const std::size_t kept = bytes_.size();
  for (std::size_t want = window_bytes_;; want *= 2) {
    const std::size_t had = bytes_.size();
    bytes_.resize(had + want);
    const std::size_t got = in_->read_bytes(bytes_.data() + had, want);
    bytes_.resize(had + got);
    if (got < want) at_end_ = true;
    if (at_end_) {
      cut_ = bytes_.size();
      has_cut_ = true;
      break;
    }
    const auto new_bytes = bytes_.rbegin() + static_cast<std::ptrdiff_t>(bytes_.size() - kept);
    const auto last = std::find_if(bytes_.rbegin(), new_bytes, [this](char c) { return is_boundary(c); });
    if (last != new_bytes) {
      cut_ = static_cast<std::size_t>(bytes_.rend() - last);  // just after it
      has_cut_ = true;
      break;
    }
    if (bytes_.size() > most_without_cut) break;
  }
  if (const Failure f = in_->end_state(); f != Failure::none) return f;
  split();
  return Failure::none;
}

void TextWindows::split() {
  // Chunks of about a 32nd of a window: enough for the threads of a machine
  // to share out evenly, few enough that each holds a good run of work.
  const std::size_t chunk_bytes = std::max<std::size_t>(1, window_bytes_ / 32);
  const std::size_t count = std::max<std::size_t>(1, cut_ / chunk_bytes);
  chunk_ends_.clear();
  std::size_t begin = 0;
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t end = k + 1 == count ? cut_ : std::max(begin, cut_ / count * (k + 1));
    while (end < cut_ && (end == 0 || !is_boundary(bytes_[end - 1]))) ++end;
    chunk_ends_.push_back(end);
    begin = end;
  }
}

std::int64_t TextWindows::line_of(std::size_t at) const {
  return first_line_ + count_line_ends(bytes_.data(), bytes_.data() + at);
}

void TextWindows::drop_before(std::size_t from) {
  first_line_ += count_line_ends(bytes_.data(), bytes_.data() + from);
  bytes_.erase(0, from);
  cut_ = 0;
  has_cut_ = false;
  chunk_ends_.clear();
}

void TextWindows::put_back(std::size_t from) {
  in_->unread(bytes_.substr(from));
  first_line_ = line_of(from);
  bytes_.clear();
  cut_ = 0;
  has_cut_ = false;
  at_end_ = false;
  chunk_ends_.clear();
}

}  // namespace ptdelta
