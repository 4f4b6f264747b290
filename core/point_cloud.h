// point_cloud.h - the column store of one point cloud
// Three parallel float columns filled by one reader through a PointAppender, then only read.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace ptdelta {

// Point i is (x[i], y[i], z[i]) for 0 <= i < count, in input order. The columns
// hold the stored points only: x.size() == y.size() == z.size() == count.
struct PointColumns {
  std::vector<float> x, y, z;
  std::int32_t count = 0;

  // Adds one point. False (the cloud unchanged) when memory runs out or the
  // count would leave the signed 32-bit range.
  [[nodiscard]] bool append(float px, float py, float pz) noexcept;
};

// Normals stored with the points (one per point, in point order), when a file
// had them and the caller asked for them; empty otherwise. Kept as read: never
// shifted, never made unit length or turned.
struct StoredNormals {
  std::vector<float> x, y, z;
  bool present() const { return !x.empty(); }
};

inline constexpr std::int32_t max_point_count = std::numeric_limits<std::int32_t>::max();

// Whether point i has three finite coordinates. Any other point fails every box
// test, so no search, index or extent counts it.
inline bool is_finite_point(const PointColumns& cloud, std::size_t i) {
  return std::isfinite(cloud.x[i]) && std::isfinite(cloud.y[i]) && std::isfinite(cloud.z[i]);
}

// Room for `n` more points without reallocation; false when memory runs out.
[[nodiscard]] bool reserve_points(PointColumns& cloud, std::int64_t n) noexcept;

// Told how far a long stage has come; only the driver decides what that shows.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // `done` points are complete; calls come with non-decreasing values.
  virtual void reached(std::int64_t done) = 0;
  // The stage has what it needs (its memory) and begins its work, before the first reached().
  virtual void started() {}
};

// A sink that shows nothing (tests, tools that load clouds quietly).
ProgressSink& no_progress();

// How often (in points) an appender tells its sink; any step gives the same text,
// since the sink is told the final count once more when the reader returns.
inline constexpr std::int32_t progress_report_step = 1 << 16;

// Takes a cloud's points a block at a time as they are read, so that a cloud
// need not be held whole (a run split into tiles).
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // Points first .. first + block.count - 1 of the cloud, in input order, stored
  // (shifted) as in memory. False stops the reading; the sink keeps its own reason.
  virtual bool take(const PointColumns& block, std::int64_t first) = 0;
};

// How many points an appender that streams holds before it hands them on: a
// multiple of the progress step, so the hand-over rides on the step's test.
inline constexpr std::int32_t stream_block_points = 16 * progress_report_step;

// Added to every coordinate (in double) before it is rounded to float, and taken
// off again where coordinates are written out, so that large georeferenced
// coordinates keep their small differences. Zero leaves every value as read.
struct CoordinateShift {
  double x = 0.0, y = 0.0, z = 0.0;
  bool is_zero() const { return x == 0.0 && y == 0.0 && z == 0.0; }
};

// The shift a cloud is read with: a fixed value (zero: none), or decided from
// the first point whose three coordinates are finite.
struct ShiftRule {
  bool automatic = false;
  CoordinateShift value;  // the fixed shift; unused when automatic
};

// How a reader converts a decimal coordinate for its appender:
//   single  - "%f" straight to float (no shift: every value exactly as read);
//   shifted - "%lf" to double, the shift added in double, rounded once to float;
//   both    - the automatic shift is not decided yet: both readings are kept
//             until the first point with three finite coordinates decides it.
enum class ReadPrecision { single, shifted, both };

// One coordinate as read: the float reading, the double reading, or both
// (which of them holds a value follows the appender's ReadPrecision).
struct CoordinateReading {
  float single = 0.0f;
  double wide = 0.0;
};

// What every reader writes its points through: the cloud being filled, the
// shift of the run, and the sink told of the count as it grows. Readers take it
// by reference; the caller asks it for the shift once reading is over.
class PointAppender {
 public:
  PointAppender(PointColumns& cloud, ProgressSink& progress, ShiftRule rule = {});
  PointAppender(const PointAppender&) = delete;
  PointAppender& operator=(const PointAppender&) = delete;

  ReadPrecision precision() const { return precision_; }
  // The shift points are stored with; zero while it is still undecided.
  const CoordinateShift& shift() const { return shift_; }

  // From now on the points go to `sink` in blocks of stream_block_points (the
  // last one at finish()); the cloud holds one block at most, and reserve() is a no-op.
  void stream_to(BlockSink& sink) { sink_ = &sink; }
  // Every point stored so far, those handed on included.
  std::int64_t total() const { return handed_ + cloud_->count; }

  // precision() == single: the point as read.
  // False (the point not stored) when the cloud cannot take another point.
  [[nodiscard]] bool add(float x, float y, float z) {
    if (!cloud_->append(x, y, z)) return false;
    if ((cloud_->count & (progress_report_step - 1)) == 0) return step_reached();
    return true;
  }

  // precision() == single: `n` points given as x y z after one another, the
  // same as n calls of add() (the sink hears the same counts). False when the
  // cloud cannot take them all; the points before may then be stored or not.
  [[nodiscard]] bool add_block(const float* xyz, std::size_t n);

  // precision() == shifted: shifted in double, then rounded once to float.
  [[nodiscard]] bool add_double(double x, double y, double z);

  // precision() == shifted: `n` points given as x y z after one another, as n
  // calls of add_double().
  [[nodiscard]] bool add_double_block(const double* xyz, std::size_t n);

  // Any precision: a point read as the appender asked (see ReadPrecision).
  [[nodiscard]] bool add_reading(const CoordinateReading& x, const CoordinateReading& y, const CoordinateReading& z);

  // Any precision: coordinates that are exact in double (integers, binary
  // fields), rounded once to float after the shift, if any.
  [[nodiscard]] bool add_exact(double x, double y, double z);

  // Called once the reader is done: stores the points still waiting for the
  // automatic shift, with no shift (their cloud had no point with three finite
  // coordinates), and gives back most of the room the columns grew beyond
  // their points. False when memory runs out.
  [[nodiscard]] bool finish();

  // Room for `n` more points (a reader's declared count, bounded by its data).
  [[nodiscard]] bool reserve(std::int64_t n) { return sink_ != nullptr || reserve_points(*cloud_, n); }

  // Normals are kept only when asked for (into an empty sink): then a reader
  // whose file holds them gives each point's normal right after the point
  // (add_normal), and a point it skips gives none. finish() keeps them only
  // when every point added has one, so they stay aligned with the points.
  void keep_normals(StoredNormals& sink) { normals_ = &sink; }
  bool wants_normals() const { return normals_ != nullptr; }
  // The normal of the point added last; false when memory runs out.
  [[nodiscard]] bool add_normal(float nx, float ny, float nz) noexcept;
  // The normals of the `n` points added last (a block), nx ny nz after one another.
  [[nodiscard]] bool add_normal_block(const float* n, std::size_t count) noexcept;
  // Room for `n` more normals; false when memory runs out.
  [[nodiscard]] bool reserve_normals(std::int64_t n) noexcept;

  const PointColumns& cloud() const { return *cloud_; }

 private:
  bool add_pending(const CoordinateReading (&p)[3]);
  bool settle(const CoordinateShift& shift);
  // The count reached a multiple of the progress step: the sink hears it, and a
  // full block is handed on.
  bool step_reached();
  // The held points to the block sink, then the columns emptied (their room kept).
  bool hand_over();

  PointColumns* cloud_;
  ProgressSink* progress_;
  StoredNormals* normals_ = nullptr;
  std::int32_t first_point_;  // the cloud's count when the appender began
  CoordinateShift shift_;
  ReadPrecision precision_;
  // Points read before the automatic shift was decided, both readings each.
  std::vector<std::array<CoordinateReading, 3>> pending_;
  BlockSink* sink_ = nullptr;
  std::int64_t handed_ = 0;  // points already handed to sink_
};

}  // namespace ptdelta
