#include "driver/tile_run.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/exact.h"
#include "core/parallel.h"
#include "driver/console.h"
#include "driver/loading.h"
#include "driver/run.h"
#include "driver/run_steps.h"
#include "driver/tile_plan.h"
#include "driver/tile_task.h"
#include "report/output_file.h"
#include "report/output_set.h"

namespace ptdelta {

namespace {

// The most tiles a reference point's box may reach along one axis.
constexpr double max_reach = 1024.0;

// The process's own executable, as a task line calls it.
std::string own_executable() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("ptdelta");
}

std::string absolute_path(const std::string& name) {
  char* resolved = ::realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return name;
  std::string path = resolved;
  std::free(resolved);
  return path;
}

// A word as a POSIX shell reads it back: as it is when plain, else in single quotes.
std::string shell_word(const std::string& word) {
  bool plain = !word.empty();
  for (const char c : word)
    plain = plain && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                      c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '=');
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::vector<std::string> folder_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

// The work folder ready for a new plan: made when missing; an earlier plan of
// ours is removed whole, its plan file first, so that no half of it reads as a
// plan. A folder holding anything else is refused. keep_going, or the exit status.
int prepare_work_folder(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (::mkdir(dir.c_str(), 0777) != 0) return stop(Failure::cannot_open, dir);
    return keep_going;
  }
  if (!S_ISDIR(st.st_mode)) return stop(Failure::cannot_open, dir);
  const std::vector<std::string> names = folder_entries(dir);
  for (const std::string& name : names)
    if (!is_work_file(name)) {
      std::fprintf(stderr, "Refusing to plan in %s: it holds %s, which is not of a plan\n", dir.c_str(), name.c_str());
      return exit_failure;
    }
  std::remove(plan_path(dir).c_str());
  for (const std::string& name : names) std::remove((dir + "/" + name).c_str());
  return keep_going;
}

// A default work folder, removed with its files when the run ends, on every
// path out of it, and by an interrupt (which removes whatever is in it).
class TemporaryFolder {
 public:
  ~TemporaryFolder() {
    if (path.empty()) return;
    for (const std::string& name : folder_entries(path))
      if (is_work_file(name)) std::remove((path + "/" + name).c_str());
    ::rmdir(path.c_str());
    if (registered) output_detail::release_folder();
  }
  std::string path;
  bool registered = false;  // with the interrupt handlers
};

// The run's folder beside the export (or the working folder for an export that is no file).
bool make_temporary_folder(const std::string& export_name, TemporaryFolder& folder) {
  std::string base = ".";
  if (is_file_target(export_name))
    if (const std::size_t slash = export_name.rfind('/'); slash != std::string::npos)
      base = slash == 0 ? "/" : export_name.substr(0, slash);
  std::string pattern = base + "/.ptdelta-tiles-XXXXXX";
  // Made and registered with interrupts held, so that no signal comes between.
  output_detail::install_interrupt_handlers();
  const output_detail::HeldInterrupts held;
  if (::mkdtemp(pattern.data()) == nullptr) return false;
  folder.path = absolute_path(pattern);
  folder.registered = output_detail::claim_folder(folder.path);
  return true;
}

// Writes `bytes` to `path`, complete or not at all. keep_going, or the exit status.
int write_whole(const std::string& path, const std::string& bytes) {
  OutputFile out;
  if (const Failure f = out.open(path); f != Failure::none) return stop(f, path);
  out.write(bytes);
  if (const Failure f = out.finish(); f != Failure::none) return stop(f, path);
  return keep_going;
}

// The processing counter over all tasks, as over one pass of every test point:
// the method line once, then the points done by all tasks together. The
// counter prints each count it passes once, in order, so the console is the
// same however the tasks interleave.
class TasksProgress {
 public:
  explicit TasksProgress(ProgressSink& counter) : counter_(counter) {}

  // What one task's pass reports, added to the others'.
  class Task final : public ProgressSink {
   public:
    explicit Task(TasksProgress& all) : all_(all) {}
    void started() override { all_.start(); }
    void reached(std::int64_t done) override {
      all_.add(done - seen_);
      seen_ = done;
    }

   private:
    TasksProgress& all_;
    std::int64_t seen_ = 0;
  };

 private:
  void start() {
    const std::lock_guard<std::mutex> hold(lock_);
    if (!started_) counter_.started();
    started_ = true;
  }
  void add(std::int64_t points) {
    const std::lock_guard<std::mutex> hold(lock_);
    done_ += points;
    counter_.reached(done_);
  }

  ProgressSink& counter_;
  std::mutex lock_;
  std::int64_t done_ = 0;
  bool started_ = false;
};

// Every task of the plan in this process, their results straight into the
// pass's columns (each task writes the entries of its own test points). With
// more tasks than threads they run side by side, one thread each; else one
// after another on all the threads. The results never depend on which.
int run_all_tasks(const std::string& dir, const TilePlan& plan, int threads, TasksProgress& progress,
                  PassResult& pass) {
  try {
    pass = PassResult{};
    pass.method = plan.method;
    pass.cd.assign(static_cast<std::size_t>(plan.test.point_count), excluded_distance);
    pass.outcome.assign(static_cast<std::size_t>(plan.test.point_count), PointOutcome::outlier);
  } catch (const std::bad_alloc&) {
    return stop(Failure::cd_out_of_memory, "");
  }
  const auto tasks = static_cast<std::int64_t>(plan.tasks.size());
  const int side_by_side = tasks >= threads ? threads : 1;
  const int each = side_by_side == 1 ? threads : 1;
  std::mutex lock;
  Failure failure = Failure::none;
  std::string failed_name;
  run_chunks(tasks, side_by_side, [&](std::int64_t n) {
    {
      const std::lock_guard<std::mutex> hold(lock);
      if (failure != Failure::none) return;
    }
    TasksProgress::Task sink(progress);
    PassResult task_pass;
    std::vector<std::int32_t> index;
    std::string failed;
    const Failure f = compare_task(dir, plan, n, each, sink, task_pass, index, failed);
    if (f != Failure::none) {
      const std::lock_guard<std::mutex> hold(lock);
      if (failure == Failure::none) {
        failure = f;
        failed_name = failed;
      }
      return;
    }
    for (std::size_t k = 0; k < index.size(); ++k) {
      const auto i = static_cast<std::size_t>(index[k]);
      pass.cd[i] = task_pass.cd[k];
      pass.outcome[i] = task_pass.outcome[k];
    }
  });
  if (failure != Failure::none) return stop(failure, failed_name);
  gather_totals(pass);
  return keep_going;
}

// What a run's reports say of it, from its plan.
RunDescription described_run(const TilePlan& plan, int threads, const ClaimedOutputs& claimed) {
  RunDescription what;
  what.reference = plan.reference;
  what.test = plan.test;
  what.warnings = plan.warnings;
  what.maxdist = plan.maxdist;
  what.box_half_width = derive_box_half_width(plan.maxdist);
  what.method = plan.method;
  what.shift = plan.shift;
  what.threads = threads;
  what.export_name = claimed.export_name;
  what.log_name = claimed.log_name;
  return what;
}

// The gathered results summarised and presented, the test points streamed back in input order for each output.
int present_tiles(const std::string& dir, const TilePlan& plan, PassResult&& pass, int threads,
                  ClaimedOutputs& claimed, std::span<const OptionalOutput> outputs, StageSeconds seconds,
                  std::chrono::steady_clock::time_point& clock) {
  const StreamedTestPoints test(test_points_path(dir), plan.test.point_count);
  RunResult result(described_run(plan, threads, claimed), test, std::move(pass), claimed.describe);
  if (test.failed()) return stop(Failure::read_error, test.source_name());
  result.seconds = seconds;
  result.seconds.statistics = lap(clock);
  const std::string description = method_description(plan.method, SurfaceSettings{}, plan.maxdist);
  return present_run(result, claimed, outputs, description, false, clock);
}

// Gathers the results; a missing or damaged one is named. keep_going, or the exit status.
int gather(const std::string& dir, const TilePlan& plan, std::uint64_t hash, PassResult& pass) {
  std::vector<std::int64_t> missing;
  if (const Failure f = gather_results(dir, plan, hash, pass, missing); f != Failure::none) return stop(f, "");
  if (missing.empty()) return keep_going;
  std::string line = "Missing tasks:";
  for (const std::int64_t n : missing) {
    line += ' ';
    line += std::to_string(n);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  return exit_failure;
}

int task_failure(Failure f, const std::string& name) { return stop(f, name); }

}  // namespace

int run_tiled(const RunOptions& options, int argc, const char* const* argv, std::span<const OptionalOutput> outputs) {
  if (options.plan_only && (!options.tiled() || options.work_index == 0)) {
    std::fputs("-plan needs -tiles SIZE or -mem BYTES, and -work DIR\n", stderr);
    return exit_usage;
  }
  if (!std::isfinite(options.maxdist)) {
    std::fputs("-tiles and -mem need a finite maxdist (-d): an infinite one reaches every tile\n", stderr);
    return exit_usage;
  }
  const SurfaceSettings& surface = options.surface;
  if (surface.signed_distances || surface.plane_points > 0 || surface.m3c2_radius > 0.0) {
    std::fputs("-tiles and -mem cannot be used with -signed, -plane or -m3c2\n", stderr);
    return exit_usage;
  }
  const float h = derive_box_half_width(options.maxdist);
  // -tiles wins over -mem when both are given.
  TileGrid grid{options.tile_size, h};
  if (grid.size > 0.0 && 2.0 * static_cast<double>(h) / grid.size > max_reach) {
    std::fprintf(stderr, "Tile size %s too small: a search box would reach more than %g tiles across\n",
                 argv[options.tiles_index], max_reach);
    return exit_usage;
  }
  const int threads = options.threads != 0 ? options.threads : available_threads();

  TemporaryFolder temporary;
  std::string dir;
  if (options.work_index != 0) {
    dir = argv[options.work_index];
    if (const int s = prepare_work_folder(dir); s != keep_going) return s;
    dir = absolute_path(dir);
  } else {
    if (!make_temporary_folder(argv[options.output_index], temporary))
      return stop(Failure::cannot_open, argv[options.output_index]);
    dir = temporary.path;
  }

  // Plan: both clouds split into tiles as they stream in.
  auto clock = std::chrono::steady_clock::now();
  // A run in one process compares up to `threads` tiles at once, so each has its share of the budget.
  const std::int64_t budget = options.plan_only ? options.memory_budget : options.memory_budget / threads;
  TileSplitter splitter(dir, grid, budget > 0 ? budget : 1);
  PointColumns reference_block, test_block;
  LoadedInputs loaded;
  if (const int s = load_inputs(options, argv, threads, reference_block, test_block, &splitter.reference_sink(),
                                &splitter.test_sink(), loaded, clock);
      s != keep_going)
    return s;
  reference_block = PointColumns{};
  test_block = PointColumns{};
  TilePlan plan;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "-plan") continue;
    if (word == "-work" && i + 1 < argc) {
      ++i;
      continue;
    }
    plan.arguments.push_back(word);
  }
  plan.folder = absolute_path(".");
  plan.reference = loaded.what.reference;
  plan.test = loaded.what.test;
  plan.warnings = loaded.what.warnings;
  plan.shift = loaded.what.shift;
  plan.method = chosen_method(options, static_cast<std::int32_t>(loaded.reference_count),
                              static_cast<std::int32_t>(loaded.test_count));
  plan.maxdist = options.maxdist;
  std::vector<std::string> inputs = loaded.listed;
  inputs.push_back(argv[options.reference_index]);
  inputs.push_back(argv[options.test_index]);
  for (const std::string& name : inputs) plan.inputs.push_back(stamp_input(name));
  if (!splitter.finish(plan)) return stop(Failure::write_error, splitter.failed_name());
  const std::string plan_bytes = encode_plan(plan);
  std::string task_lines;
  const std::string command = shell_word(own_executable()) + " -work " + shell_word(dir) + " -task ";
  for (std::size_t n = 0; n < plan.tasks.size(); ++n) task_lines += command + std::to_string(n) + "\n";
  // The plan last: a folder without it holds no plan.
  if (const int s = write_whole(tasks_path(dir), task_lines); s != keep_going) return s;
  if (const int s = write_whole(plan_path(dir), plan_bytes); s != keep_going) return s;
  if (options.plan_only) {
    std::printf("%zu\n", plan.tasks.size());
    return std::fflush(stdout) == 0 ? exit_complete : stop(Failure::write_error, "standard output");
  }

  // Every task on the threads, then the merge.
  ClaimedOutputs claimed;
  if (const int s = claim_outputs(options, argv, outputs, inputs, claimed); s != keep_going) return s;
  const std::string description = method_description(plan.method, surface, options.maxdist);
  ProcessingCounter counter(description.c_str());
  TasksProgress progress(counter);
  PassResult pass;
  if (const int s = run_all_tasks(dir, plan, threads, progress, pass); s != keep_going) return s;
  StageSeconds seconds = loaded.seconds;
  seconds.comparison = lap(clock);
  return present_tiles(dir, plan, std::move(pass), threads, claimed, outputs, seconds, clock);
}

int run_tile_step(const RunOptions& options, const char* const* argv, std::span<const OptionalOutput> outputs) {
  if (options.work_index == 0) {
    std::fputs("-task and -merge need -work DIR\n", stderr);
    return exit_usage;
  }
  const std::string dir = absolute_path(argv[options.work_index]);
  TilePlan plan;
  std::uint64_t hash = 0;
  if (!read_plan(dir, plan, hash)) {
    std::fprintf(stderr, "No whole plan of this version in %s\n", dir.c_str());
    return exit_failure;
  }
  auto clock = std::chrono::steady_clock::now();
  if (!options.merge) {
    const int threads = options.threads != 0 ? options.threads : available_threads();
    if (options.task < 0 || options.task >= static_cast<std::int64_t>(plan.tasks.size())) {
      std::fprintf(stderr, "Invalid task %s: the plan in %s has %zu tasks\n", argv[options.task_index], dir.c_str(),
                   plan.tasks.size());
      return exit_usage;
    }
    std::string failed;
    if (const Failure f = run_task(dir, plan, hash, options.task, threads, no_progress(), failed); f != Failure::none)
      return task_failure(f, failed);
    return exit_complete;
  }

  PassResult pass;
  if (const int s = gather(dir, plan, hash, pass); s != keep_going) return s;
  // The outputs are named as the planned run named them, from where it ran.
  if (::chdir(plan.folder.c_str()) != 0) return stop(Failure::cannot_open, plan.folder);
  std::vector<const char*> planned{"ptdelta"};
  for (const std::string& word : plan.arguments) planned.push_back(word.c_str());
  const RunOptions run_options = parse_command_line(static_cast<int>(planned.size()), planned.data(), outputs);
  if (run_options.output_index == 0) return stop(Failure::read_error, plan_path(dir));
  // The reports name the thread count: without -t of its own the merge takes
  // the planned run's, so that its bytes are those of that run in memory.
  const int threads = options.threads != 0       ? options.threads
                      : run_options.threads != 0 ? run_options.threads
                                                 : available_threads();
  std::vector<std::string> inputs;
  for (const InputStamp& s : plan.inputs) inputs.push_back(s.name);
  ClaimedOutputs claimed;
  if (const int s = claim_outputs(run_options, planned.data(), outputs, inputs, claimed); s != keep_going) return s;
  return present_tiles(dir, plan, std::move(pass), threads, claimed, outputs, StageSeconds{}, clock);
}

}  // namespace ptdelta
