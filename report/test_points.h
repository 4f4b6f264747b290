// test_points.h - the test cloud's coordinates as the outputs read them: in blocks, in input order
// A run in memory hands its columns as one block; a run split into tiles streams them back from its work folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/cloud_extent.h"
#include "core/point_cloud.h"

namespace ptdelta {

// Points first .. first + points.count - 1 of the test cloud.
struct PointBlock {
  std::int64_t first = 0;
  const PointColumns& points;
};

class TestPoints {
 public:
  virtual ~TestPoints() = default;
  virtual std::int64_t count() const = 0;
  // Hands every block to `take`, in input order and without gaps, until it
  // returns false. False when a block could not be had: the reader stops there
  // and failed() stays true, so what was made from the blocks is to be dropped.
  virtual bool each_block(const std::function<bool(const PointBlock&)>& take) const = 0;
  virtual bool failed() const = 0;
  // The file the points are read from; empty when they are in memory.
  virtual const std::string& source_name() const = 0;
};

// The columns of a run in memory, as one block.
class WholeTestPoints final : public TestPoints {
 public:
  explicit WholeTestPoints(const PointColumns& cloud) : cloud_(cloud) {}
  std::int64_t count() const override { return cloud_.count; }
  bool each_block(const std::function<bool(const PointBlock&)>& take) const override;
  bool failed() const override { return false; }
  const std::string& source_name() const override;

 private:
  const PointColumns& cloud_;
};

// The extent of the finite points over every block, each block measured on up
// to `threads` threads: the same bits as measuring the whole cloud at once.
// Throws std::bad_alloc only when threads > 1.
CloudExtent measure_extent(const TestPoints& test, int threads);

}  // namespace ptdelta
