#include "report/run_report.h"

#include <cmath>

namespace ptdelta {

std::int32_t count_non_finite(const PointColumns& cloud) {
  std::int32_t n = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i) {
    if (!std::isfinite(cloud.x[i]) || !std::isfinite(cloud.y[i]) || !std::isfinite(cloud.z[i])) ++n;
  }
  return n;
}

const char* method_key(Method method) { return method == Method::nearest_point ? "nearest_point" : "plane"; }

const char* method_description(Method method) {
  return method == Method::nearest_point ? "nearest reference point" : "plane through three reference points";
}

}  // namespace ptdelta
