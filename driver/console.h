// console.h - what a run shows on standard error while it works
// The progress counters, printed from the counts the readers and the pass report.
#pragma once

#include <cstdint>

#include "core/point_cloud.h"

namespace ptdelta {

// Prints "\b\b\b\b\b\b\b\b%8d" on standard error.
void print_progress(std::int64_t value);

// While a cloud loads: every multiple of 500 points stored, each once, in order.
class LoadingCounter final : public ProgressSink {
 public:
  void reached(std::int64_t done) override;

 private:
  std::int64_t shown_ = 0;
};

// While the pass runs: 501, 1001, 1501, ... each printed as the point of that
// index is begun, so a count is shown only while points remain after it. With
// a method description, started() prints the method line and the processing
// banner first.
class ProcessingCounter final : public ProgressSink {
 public:
  ProcessingCounter() = default;
  explicit ProcessingCounter(const char* method_description) : method_(method_description) {}
  void started() override;
  void reached(std::int64_t done) override;

 private:
  const char* method_ = nullptr;
  std::int64_t next_ = 501;
};

}  // namespace ptdelta
