// tile_task.h - one tile compared on its own, and the results of every tile put back in test order
// A task runs the pass of a run in memory over its tile's points, kept in input order.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "driver/tile_files.h"
#include "report/test_points.h"

namespace ptdelta {

// The plan in `dir` and its hash; false when there is none, or it is damaged
// or of another version.
bool read_plan(const std::string& dir, TilePlan& plan, std::uint64_t& hash);

// Compares task `task` of the plan: its reference and test points loaded in
// input order (task 0 also takes the test points with a non-finite coordinate),
// then the pass of `plan.method` on up to `threads` threads. `index` is each
// result entry's test point. On a failure `failed` names the file it is about
// (empty for memory).
Failure compare_task(const std::string& dir, const TilePlan& plan, std::int64_t task, int threads,
                     ProgressSink& progress, PassResult& pass, std::vector<std::int32_t>& index, std::string& failed);

// compare_task, then its result written to result_path(dir, task), complete or not at all.
Failure run_task(const std::string& dir, const TilePlan& plan, std::uint64_t hash, std::int64_t task, int threads,
                 ProgressSink& progress, std::string& failed);

// The results of every task put back into the pass's columns, one entry per
// test point in test order, and the totals taken over them in that order.
// `missing` lists the tasks whose result is missing or damaged (then the
// columns are not to be used). Failure::cd_out_of_memory when they cannot be had.
Failure gather_results(const std::string& dir, const TilePlan& plan, std::uint64_t hash, PassResult& pass,
                       std::vector<std::int64_t>& missing);

// Every test point, in input order, from the plan's test-points file, read
// again for each output in blocks of `block_points` (the last one shorter).
// Failed when the file is missing, short or longer than `count` points, or a
// block's memory cannot be had.
class StreamedTestPoints final : public TestPoints {
 public:
  static constexpr std::int64_t default_block_points = std::int64_t{1} << 20;
  StreamedTestPoints(std::string path, std::int64_t count, std::int64_t block_points = default_block_points)
      : path_(std::move(path)), count_(count), block_points_(block_points < 1 ? 1 : block_points) {}
  std::int64_t count() const override { return count_; }
  bool each_block(const std::function<bool(const PointBlock&)>& take) const override;
  bool failed() const override { return failed_; }
  const std::string& source_name() const override { return path_; }

 private:
  std::string path_;
  std::int64_t count_ = 0;
  std::int64_t block_points_ = 1;
  mutable bool failed_ = false;  // sticky: one reading that failed spoils every output made from it
};

}  // namespace ptdelta
