// tile_run.h - a run split into tiles: the plan, one task, the merge, or all three in one process
// Every output the same bytes as the run in memory with the same options.
#pragma once

#include <span>

#include "driver/options.h"
#include "report/optional_outputs.h"

namespace ptdelta {

// A run with -tiles or -mem (or -plan): the plan, then with -plan its task
// count on standard output, else every task on the threads and the merge.
int run_tiled(const RunOptions& options, int argc, const char* const* argv, std::span<const OptionalOutput> outputs);

// -work DIR -task N, or -work DIR -merge.
int run_tile_step(const RunOptions& options, const char* const* argv, std::span<const OptionalOutput> outputs);

}  // namespace ptdelta
