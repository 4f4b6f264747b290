// optional_outputs.h - the outputs a run writes only when asked: one table row each
// Its option word, its help line, what it needs of the run, and its writer; the driver loops over the rows.
#pragma once

#include <span>

#include "core/failure.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

struct OptionalOutput {
  const char* option;  // the option word that names its file, as "-json"
  const char* help;    // its help line, printed after the help text's own
  // Whether it reads the distribution and the extent of the test cloud, which
  // are worked out only when an output asks for them.
  bool needs_distribution;
  // Whether it reports how long the others took: written after every other output.
  bool reports_timings;
  // Writes the output's contents into `file`; write errors are reported by
  // file.complete(). Failure::out_of_memory when it cannot be made.
  Failure (*write)(OutputFile& file, const RunResult& result);
};

// In the order of the help text; a run claims them and checks their names in this order too.
std::span<const OptionalOutput> optional_outputs();

}  // namespace ptdelta
