// run_steps.h - the steps a run in memory and a run split into tiles share
// Loading both inputs with their console frame, claiming the outputs before the work, and presenting the result.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "driver/options.h"
#include "report/optional_outputs.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

// Tells a run's step went on (keep_going) or the exit status it ended with.
inline constexpr int keep_going = -1;

// What loading both inputs came to.
struct LoadedInputs {
  RunDescription what;              // the inputs, the warnings and the shift
  StageSeconds seconds;             // the two load stages
  std::vector<std::string> listed;  // the files a list named, for the check of the outputs
  std::int64_t reference_count = 0, test_count = 0;
};

// The sink a cloud streams to, with the file it could not write when it stopped a reading.
class TileSink : public BlockSink {
 public:
  virtual const std::string& failed_name() const = 0;  // empty unless it failed
};

// Both inputs opened before either is read, the reference loaded (deciding the
// shift), the shift line, the test cloud loaded, with their console frames; a
// cloud of no points stops the run. With sinks the clouds stream to them and the
// columns hold one block at most. With `normals`, the reference's stored normals
// are kept there. keep_going, or the exit status.
int load_inputs(const RunOptions& options, const char* const* argv, int threads, PointColumns& reference,
                PointColumns& test, TileSink* reference_sink, TileSink* test_sink, LoadedInputs& loaded,
                std::chrono::steady_clock::time_point& clock, StoredNormals* normals = nullptr);

// The outputs of a run, claimed before its work.
struct ClaimedOutputs {
  OutputSet set;
  OutputFile* log = nullptr;  // null when the export is not a regular file
  OutputFile* exported = nullptr;
  std::vector<OutputFile*> optional;  // one per row of the table, null when not asked for
  bool describe = false;              // whether an output asked for reads the distribution
  std::string export_name, log_name;
};

// Refuses an output that is one of `inputs`, then opens every output the
// options name (a target that cannot be written is said now). keep_going, or the exit status.
int claim_outputs(const RunOptions& options, const char* const* argv, std::span<const OptionalOutput> outputs,
                  const std::vector<std::string>& inputs, ClaimedOutputs& claimed);

// The console's "Method: %s" of a run; `stored` when the reference's stored
// normals sign a nearest-point run.
std::string method_description(Method method, const SurfaceSettings& s, float maxdist, bool stored = false);

// The statistics on the console and in the log, the export, the optional
// outputs, all published together, then "Done.". The exit status.
int present_run(RunResult& result, ClaimedOutputs& claimed, std::span<const OptionalOutput> outputs,
                const std::string& description, bool surface_run, std::chrono::steady_clock::time_point& clock);

// Seconds on the steady clock since `start`, and `start` moved to now.
double lap(std::chrono::steady_clock::time_point& start);

}  // namespace ptdelta
