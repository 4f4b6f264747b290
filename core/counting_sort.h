// counting_sort.h - a stable counting sort over chunks of the input, on threads
// Chunks come from the input's size alone, each owning a range of every bucket: the order never depends on the threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/parallel.h"

namespace ptdelta {

// What bucket_of returns for an item that is left out of the sort.
inline constexpr std::size_t no_bucket = std::numeric_limits<std::size_t>::max();

// Sorts items 0 .. n - 1 (n below 2^32) by bucket, stably. bucket_of(i) is
// below `buckets`, or no_bucket for an item left out; place(i, p) is called
// once for every item kept, p its position in the sorted order. Returns the
// bucket starts (buckets + 1 offsets): bucket b holds positions start[b] ..
// start[b + 1] - 1, its items in increasing order, and start[buckets] is the
// number of items kept.
// The items go in at most max_chunks chunks of at least 2^16 items, from n
// alone. Each chunk counts its own buckets; the counts are summed bucket by
// bucket, chunk by chunk, so every chunk owns one range of each bucket, placed
// after the ranges of the chunks before it; then each chunk places its items.
// bucket_of is called twice for every item (keeping the buckets would take
// memory at the peak) and, like place, from up to `threads` threads at once,
// each item in one call. Throws std::bad_alloc.
template <class BucketOf, class Place>
std::vector<std::uint32_t> chunked_counting_sort(std::size_t n, std::size_t buckets, std::size_t max_chunks,
                                                 int threads, const BucketOf& bucket_of, const Place& place) {
  const std::size_t step = std::max<std::size_t>(std::size_t{1} << 16, (n + max_chunks - 1) / max_chunks);
  const std::int64_t chunks = chunk_count(static_cast<std::int64_t>(n), static_cast<std::int64_t>(step));
  const auto chunk_items = [&](std::int64_t k, auto visit) {
    const std::size_t first = static_cast<std::size_t>(k) * step, last = std::min(n, first + step);
    for (std::size_t i = first; i < last; ++i) {
      const std::size_t b = bucket_of(i);
      if (b != no_bucket) visit(i, b);
    }
  };
  // [chunk * buckets + bucket]: first the chunk's count, then its next position.
  std::vector<std::uint32_t> next(static_cast<std::size_t>(chunks) * buckets, 0);
  run_chunks(chunks, threads, [&](std::int64_t k) {
    std::uint32_t* const count = next.data() + static_cast<std::size_t>(k) * buckets;
    chunk_items(k, [count](std::size_t, std::size_t b) { ++count[b]; });
  });
  std::vector<std::uint32_t> start(buckets + 1);
  std::uint32_t running = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    start[b] = running;
    for (std::size_t k = 0; k < static_cast<std::size_t>(chunks); ++k) {
      const std::uint32_t here = next[k * buckets + b];
      next[k * buckets + b] = running;
      running += here;
    }
  }
  start[buckets] = running;
  run_chunks(chunks, threads, [&](std::int64_t k) {
    std::uint32_t* const at = next.data() + static_cast<std::size_t>(k) * buckets;
    chunk_items(k, [at, &place](std::size_t i, std::size_t b) { place(i, at[b]++); });
  });
  return start;
}

}  // namespace ptdelta
