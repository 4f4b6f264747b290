// parallel.h - work split into chunks, run on a chosen number of threads
// Chunk boundaries come from the size of the work alone, never from the thread count, so results do not depend on it.
#pragma once

#include <cstdint>
#include <functional>

namespace ptdelta {

// The hardware threads this process may run on (its CPU affinity), at least 1.
int available_threads();

// Calls work(k) once for every k in [0, chunks), on up to `threads` threads
// (the calling thread is one of them), chunks taken in increasing order as
// threads become free. Returns when all calls have returned. A std::bad_alloc
// thrown by any call is thrown again here once every thread has stopped (the
// remaining chunks are then skipped); `work` must throw nothing else. When no
// extra thread can be started, the calling thread does all the work.
void run_chunks(std::int64_t chunks, int threads, const std::function<void(std::int64_t)>& work);

// Ceiling of n / step, for n >= 0 and step > 0.
inline std::int64_t chunk_count(std::int64_t n, std::int64_t step) { return (n + step - 1) / step; }

}  // namespace ptdelta
