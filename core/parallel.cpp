#include "core/parallel.h"

#include <sched.h>

#include <atomic>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace ptdelta {

int available_threads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

void run_chunks(std::int64_t chunks, int threads, const std::function<void(std::int64_t)>& work) {
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> out_of_memory{false};
  auto worker = [&] {
    for (;;) {
      if (out_of_memory.load(std::memory_order_relaxed)) return;
      const std::int64_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= chunks) return;
      try {
        work(k);
      } catch (const std::bad_alloc&) {
        out_of_memory.store(true);
        return;
      }
    }
  };
  std::vector<std::thread> pool;
  const std::int64_t wanted = threads < 1 ? 0 : (chunks < threads ? chunks : threads) - 1;
  try {
    pool.reserve(static_cast<std::size_t>(wanted > 0 ? wanted : 0));
    for (std::int64_t t = 0; t < wanted; ++t) pool.emplace_back(worker);
  } catch (const std::system_error&) {
    // Fewer threads than asked for: those running and this one share the work.
  } catch (const std::bad_alloc&) {
  }
  worker();
  for (std::thread& t : pool) t.join();
  if (out_of_memory.load()) throw std::bad_alloc();
}

}  // namespace ptdelta
