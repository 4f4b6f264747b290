// run.h - the run sequence of one comparison
// Parse, banner or help, load both clouds, compare, report, export; returns the exit status.
#pragma once

#include <span>

#include "report/optional_outputs.h"

namespace ptdelta {

inline constexpr int exit_complete = 0;  // the export is written and "Done." printed
inline constexpr int exit_failure = 1;   // a run stopped by a failure, after its one message
inline constexpr int exit_usage = 2;     // the help text (a file argument is missing), or an invalid option value

// `outputs` are the optional outputs the command line may ask for.
int run(int argc, const char* const* argv, std::span<const OptionalOutput> outputs = optional_outputs());

}  // namespace ptdelta
