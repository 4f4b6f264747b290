#include "report/test_points.h"

namespace ptdelta {

bool WholeTestPoints::each_block(const std::function<bool(const PointBlock&)>& take) const {
  take(PointBlock{0, cloud_});
  return true;
}

const std::string& WholeTestPoints::source_name() const {
  static const std::string none;
  return none;
}

CloudExtent measure_extent(const TestPoints& test, int threads) {
  CloudExtent extent;
  // Extents merged in input order keep the first of equal bounds, as one pass does.
  test.each_block([&](const PointBlock& block) {
    extent.merge(measure_extent(block.points, threads));
    return true;
  });
  return extent;
}

}  // namespace ptdelta
