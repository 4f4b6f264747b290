// tile_task.h - one tile compared on its own, and the results of every tile put back in test order
// A task runs the pass of a run in memory over its tile's points, kept in input order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "driver/tile_files.h"

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

// Every test point, in input order, from the plan's test-points file; false
// when it cannot be read whole.
bool read_test_points(const std::string& dir, std::int64_t count, PointColumns& test);

}  // namespace ptdelta
