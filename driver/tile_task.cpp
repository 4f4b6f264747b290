#include "driver/tile_task.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <new>
#include <utility>

#include "report/output_file.h"

namespace ptdelta {

bool read_plan(const std::string& dir, TilePlan& plan, std::uint64_t& hash) {
  std::FILE* f = std::fopen(plan_path(dir).c_str(), "rb");
  if (f == nullptr) return false;
  std::string bytes;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  const bool read = !std::ferror(f);
  std::fclose(f);
  if (!read || !decode_plan(bytes, plan)) return false;
  hash = checksum(bytes.data(), bytes.size());
  return true;
}

namespace {

// The test points of task `task` in input order: its tile's, and for task 0
// those with a non-finite coordinate merged in by index.
bool load_task_test(const std::string& dir, const TilePlan& plan, std::int64_t task, PointColumns& test,
                    std::vector<std::int32_t>& index, std::string& failed) {
  failed = tile_path(dir, plan.tasks[static_cast<std::size_t>(task)], false);
  if (!read_point_records(failed, plan.tasks[static_cast<std::size_t>(task)].test_points, test, index)) return false;
  if (task != 0 || plan.non_finite_points == 0) return true;
  PointColumns aside;
  std::vector<std::int32_t> aside_index;
  failed = non_finite_path(dir);
  if (!read_point_records(failed, plan.non_finite_points, aside, aside_index)) return false;
  PointColumns merged;
  std::vector<std::int32_t> merged_index;
  std::size_t a = 0, b = 0;
  while (a < index.size() || b < aside_index.size()) {
    const bool from_tile = b == aside_index.size() || (a < index.size() && index[a] < aside_index[b]);
    const PointColumns& from = from_tile ? test : aside;
    const std::size_t k = from_tile ? a++ : b++;
    if (!merged.append(from.x[k], from.y[k], from.z[k])) return false;
    merged_index.push_back(from_tile ? index[k] : aside_index[k]);
  }
  test = std::move(merged);
  index = std::move(merged_index);
  return true;
}

}  // namespace

Failure compare_task(const std::string& dir, const TilePlan& plan, std::int64_t task, int threads,
                     ProgressSink& progress, PassResult& pass, std::vector<std::int32_t>& index, std::string& failed) {
  const TileTask& tile = plan.tasks[static_cast<std::size_t>(task)];
  PointColumns reference, test;
  index.clear();
  try {
    std::vector<std::int32_t> reference_index;
    failed = tile_path(dir, tile, true);
    // Only their order matters to the pass (ties go to the smaller index), and it is input order.
    if (!read_point_records(failed, tile.reference_points, reference, reference_index)) return Failure::read_error;
    if (!load_task_test(dir, plan, task, test, index, failed)) return Failure::read_error;
  } catch (const std::bad_alloc&) {
    failed.clear();
    return Failure::out_of_memory;
  }
  failed.clear();
  return comparison_pass(std::move(reference), test, plan.method, plan.maxdist, threads, progress, pass);
}

Failure run_task(const std::string& dir, const TilePlan& plan, std::uint64_t hash, std::int64_t task, int threads,
                 ProgressSink& progress, std::string& failed) {
  PassResult pass;
  std::vector<std::int32_t> index;
  if (const Failure f = compare_task(dir, plan, task, threads, progress, pass, index, failed); f != Failure::none)
    return f;
  std::string bytes;
  try {
    bytes = encode_result(hash, task, index, pass.cd, pass.outcome);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  failed = result_path(dir, task);
  OutputFile out;
  if (const Failure f = out.open(failed); f != Failure::none) return f;
  out.write(bytes);
  return out.finish();
}

Failure gather_results(const std::string& dir, const TilePlan& plan, std::uint64_t hash, PassResult& pass,
                       std::vector<std::int64_t>& missing) {
  const auto n = static_cast<std::size_t>(plan.test.point_count);
  pass = PassResult{};
  pass.method = plan.method;
  try {
    pass.cd.assign(n, excluded_distance);
    pass.outcome.assign(n, PointOutcome::outlier);
  } catch (const std::bad_alloc&) {
    return Failure::cd_out_of_memory;
  }
  for (std::size_t t = 0; t < plan.tasks.size(); ++t) {
    const auto task = static_cast<std::int64_t>(t);
    const std::int64_t count = plan.tasks[t].test_points + (t == 0 ? plan.non_finite_points : 0);
    const ResultState state =
        read_result(result_path(dir, task), hash, task, count, plan.test.point_count,
                    [&pass](std::int32_t i, float d, PointOutcome o) {
                      pass.cd[static_cast<std::size_t>(i)] = d;
                      pass.outcome[static_cast<std::size_t>(i)] = o;
                    });
    if (state != ResultState::whole) missing.push_back(task);
  }
  if (missing.empty()) gather_totals(pass);
  return Failure::none;
}

bool StreamedTestPoints::each_block(const std::function<bool(const PointBlock&)>& take) const {
  if (failed_) return false;
  std::FILE* f = std::fopen(path_.c_str(), "rb");
  if (f == nullptr) {
    failed_ = true;
    return false;
  }
  bool ok = true;
  try {
    PointColumns block;
    const auto most = static_cast<std::size_t>(std::min(block_points_, count_));
    block.x.resize(most);
    block.y.resize(most);
    block.z.resize(most);
    constexpr std::size_t batch = 8192;
    std::vector<float> xyz(3 * batch);
    bool wanted = true;
    for (std::int64_t first = 0; ok && wanted && first < count_; first += block_points_) {
      const auto n = static_cast<std::size_t>(std::min(block_points_, count_ - first));
      for (std::size_t done = 0; done < n;) {
        const std::size_t m = std::min(batch, n - done);
        if (std::fread(xyz.data(), 3 * sizeof(float), m, f) != m) {
          ok = false;
          break;
        }
        for (std::size_t k = 0; k < m; ++k) {
          block.x[done + k] = xyz[3 * k];
          block.y[done + k] = xyz[3 * k + 1];
          block.z[done + k] = xyz[3 * k + 2];
        }
        done += m;
      }
      if (!ok) break;
      // The columns keep their room; only the count tells the last block's end.
      block.x.resize(n);
      block.y.resize(n);
      block.z.resize(n);
      block.count = static_cast<std::int32_t>(n);
      wanted = take(PointBlock{first, block});
      // A reader that stops early leaves the rest unread, and unchecked.
      if (!wanted) {
        std::fclose(f);
        return true;
      }
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ok = ok && std::fgetc(f) == EOF;
  std::fclose(f);
  failed_ = !ok;
  return ok;
}

}  // namespace ptdelta
