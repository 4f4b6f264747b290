// tile_files.h - the files of a run split into tiles: the plan, the tiles' points and the tasks' results
// Binary in this machine's byte order; the plan and each result carry a checksum, each tile its size in the plan.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "distance/method.h"
#include "report/run_result.h"

namespace ptdelta {

// 64-bit FNV-1a, continued from `hash`: the checksum of every file here, and the
// plan's hash that each result names.
inline constexpr std::uint64_t checksum_start = 14695981039346656037ull;
std::uint64_t checksum(const void* bytes, std::size_t size, std::uint64_t hash = checksum_start);

// An input as it was when planned, so that a plan of other inputs is told apart.
struct InputStamp {
  std::string name;
  std::int64_t size = -1;      // -1 when it could not be examined (a pipe, a missing file)
  std::int64_t modified = -1;  // nanoseconds since the epoch
};
InputStamp stamp_input(const std::string& name);

// One task: a tile of the grid with at least one test point.
struct TileTask {
  std::int64_t column = 0, row = 0;  // floor(x / size), floor(y / size)
  std::int64_t reference_points = 0;  // in its square grown by the box half-width
  std::int64_t test_points = 0;
};

struct TilePlan {
  std::vector<std::string> arguments;  // the run's options as given, without -plan and -work DIR
  std::string folder;                  // the working folder the run was planned in
  InputReport reference, test;
  std::vector<std::string> warnings;   // as the run in memory collects them while loading
  CoordinateShift shift;
  Method method = Method::nearest_point;
  float maxdist = 0.0f;
  double tile_size = 0.0;
  std::vector<InputStamp> inputs;
  std::vector<TileTask> tasks;
  // Test points with a non-finite coordinate: in no tile, compared with task 0
  // (they fail every box test, so any reference gives them their outcome).
  std::int64_t non_finite_points = 0;
};

// The plan's bytes, its checksum last.
std::string encode_plan(const TilePlan& plan);
// False when the bytes are not a whole plan of this version.
bool decode_plan(std::string_view bytes, TilePlan& plan);

// The names in a work folder.
std::string plan_path(const std::string& dir);
std::string tasks_path(const std::string& dir);
std::string test_points_path(const std::string& dir);  // every test point in input order, x y z
std::string non_finite_path(const std::string& dir);
std::string tile_path(const std::string& dir, const TileTask& tile, bool reference);
std::string result_path(const std::string& dir, std::int64_t task);
// Whether a name in a work folder is one of ours (the plan's files, tiles,
// results and the temporaries of either).
bool is_work_file(std::string_view name);

// A tile's point: its index in its input, then x y z as stored.
inline constexpr std::size_t point_record_size = 16;
void append_point_record(std::string& buffer, std::int32_t index, float x, float y, float z);

// Reads `count` point records from `path` (which must hold exactly that many)
// into `cloud` and `index`, after what they hold. False when the file is missing,
// short, longer or the records are not in increasing index order.
bool read_point_records(const std::string& path, std::int64_t count, PointColumns& cloud,
                        std::vector<std::int32_t>& index);

// A task's result: a header naming the plan (its hash) and the task, then one
// record per test point in increasing index order (index, distance bits,
// outcome), then the checksum of all that.
inline constexpr std::size_t result_record_size = 9;
std::string encode_result(std::uint64_t plan_hash, std::int64_t task, const std::vector<std::int32_t>& index,
                          const std::vector<float>& cd, const std::vector<PointOutcome>& outcome);

enum class ResultState { whole, missing, damaged };
// Reads the result of `task`, handing each record to `take(index, distance, outcome)`
// as it is read: a caller keeps them only once the whole file is known whole.
// Damaged: a short or long file, another plan or task, a bad checksum, an
// outcome out of range, indices out of order or beyond `test_points`.
template <typename Take>
ResultState read_result(const std::string& path, std::uint64_t plan_hash, std::int64_t task, std::int64_t count,
                        std::int64_t test_points, Take take);

// ---- the reading loop of read_result, kept out of the template ----
namespace tile_detail {
struct ResultReader {
  std::FILE* file = nullptr;
  std::uint64_t hash = checksum_start;
  bool open_and_check_header(const std::string& path, std::uint64_t plan_hash, std::int64_t task, std::int64_t count,
                             ResultState& state);
  // The next `n` records' bytes into `buffer`; false when the file is short.
  bool next(char* buffer, std::size_t n);
  // Whether the checksum follows and nothing after it; closes the file.
  bool finish();
};
}  // namespace tile_detail

template <typename Take>
ResultState read_result(const std::string& path, std::uint64_t plan_hash, std::int64_t task, std::int64_t count,
                        std::int64_t test_points, Take take) {
  tile_detail::ResultReader reader;
  ResultState state = ResultState::whole;
  if (!reader.open_and_check_header(path, plan_hash, task, count, state)) return state;
  constexpr std::int64_t batch = 4096;
  std::vector<char> buffer(static_cast<std::size_t>(batch) * result_record_size);
  std::int64_t previous = -1;
  for (std::int64_t done = 0; done < count;) {
    const auto n = static_cast<std::size_t>(std::min(batch, count - done));
    if (!reader.next(buffer.data(), n)) return ResultState::damaged;
    for (std::size_t k = 0; k < n; ++k) {
      const char* r = buffer.data() + k * result_record_size;
      std::int32_t index = 0;
      float distance = 0.0f;
      std::memcpy(&index, r, 4);
      std::memcpy(&distance, r + 4, 4);
      const auto outcome = static_cast<std::uint8_t>(r[8]);
      if (index <= previous || index >= test_points || outcome > static_cast<std::uint8_t>(PointOutcome::too_few)) {
        std::fclose(reader.file);
        return ResultState::damaged;
      }
      previous = index;
      take(index, distance, static_cast<PointOutcome>(outcome));
    }
    done += static_cast<std::int64_t>(n);
  }
  return reader.finish() ? ResultState::whole : ResultState::damaged;
}

}  // namespace ptdelta
