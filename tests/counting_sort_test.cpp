#include "core/counting_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/random_clouds.h"

namespace ptdelta {
namespace {

// Sorts n seeded keys (one in seven left out) on `threads` threads; gives the
// items in sorted order and the bucket starts.
struct Sorted {
  std::vector<std::int32_t> order;
  std::vector<std::uint32_t> start;
};
Sorted sort_keys(const std::vector<std::size_t>& keys, std::size_t buckets, std::size_t max_chunks, int threads) {
  Sorted s;
  s.order.assign(keys.size(), -1);
  s.start = chunked_counting_sort(keys.size(), buckets, max_chunks, threads, [&](std::size_t i) { return keys[i]; },
                                  [&](std::size_t i, std::uint32_t at) { s.order[at] = static_cast<std::int32_t>(i); });
  return s;
}

TEST(ChunkedCountingSort, IsAStableSortWhateverTheChunksAndThreads) {
  struct Case {
    std::int32_t n;
    std::size_t buckets, max_chunks;
  };
  // Empty input, one chunk, several chunks (2^16 items at least each), more
  // chunks allowed than there are items for.
  for (const Case c : {Case{0, 3, 16}, Case{1000, 1, 16}, Case{200000, 7, 64}, Case{140000, 300, 16},
                       Case{70000, 5, 1}}) {
    testing::Rng rng(static_cast<std::uint64_t>(c.n) + c.buckets);
    std::vector<std::size_t> keys(static_cast<std::size_t>(c.n));
    for (std::size_t& k : keys)
      k = rng.chance(1.0 / 7) ? no_bucket : static_cast<std::size_t>(rng.below(static_cast<std::int32_t>(c.buckets)));
    std::vector<std::int32_t> expected;
    for (std::int32_t i = 0; i < c.n; ++i)
      if (keys[static_cast<std::size_t>(i)] != no_bucket) expected.push_back(i);
    std::stable_sort(expected.begin(), expected.end(), [&](std::int32_t a, std::int32_t b) {
      return keys[static_cast<std::size_t>(a)] < keys[static_cast<std::size_t>(b)];
    });
    for (const int threads : {1, 2, 3, 8}) {
      const Sorted s = sort_keys(keys, c.buckets, c.max_chunks, threads);
      ASSERT_EQ(s.start.size(), c.buckets + 1) << c.n;
      ASSERT_EQ(s.start[c.buckets], expected.size()) << c.n;
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.order.begin())) << c.n << " items, " << threads;
      EXPECT_TRUE(std::all_of(s.order.begin() + static_cast<std::ptrdiff_t>(expected.size()), s.order.end(),
                              [](std::int32_t i) { return i == -1; }));
      for (std::size_t b = 0; b < c.buckets; ++b)
        for (std::uint32_t p = s.start[b]; p < s.start[b + 1]; ++p)
          ASSERT_EQ(keys[static_cast<std::size_t>(s.order[p])], b) << c.n << " items, bucket " << b;
    }
  }
}

}  // namespace
}  // namespace ptdelta
