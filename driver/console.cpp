#include "driver/console.h"

#include <cstdio>

namespace ptdelta {

void print_progress(std::int64_t value) { std::fprintf(stderr, "\b\b\b\b\b\b\b\b%8lld", static_cast<long long>(value)); }

void LoadingCounter::reached(std::int64_t done) {
  for (; shown_ + 500 <= done; shown_ += 500) print_progress(shown_ + 500);
}

void ProcessingCounter::started() {
  if (method_ == nullptr) return;
  std::fprintf(stderr, "Method: %s\n", method_);
  std::fputs("Processing ................................", stderr);
}

void ProcessingCounter::reached(std::int64_t done) {
  // Point i is begun once points 0 .. i-1 are done, i.e. when done >= i; the
  // last point (index done - 1 at the end) is begun too.
  for (; next_ < done; next_ += 500) print_progress(next_);
}

}  // namespace ptdelta
