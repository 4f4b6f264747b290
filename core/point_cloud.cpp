#include "core/point_cloud.h"

#include <new>

namespace ptdelta {

bool PointColumns::append(float px, float py, float pz) noexcept {
  if (count == max_point_count) return false;
  const auto n = static_cast<std::size_t>(count);
  try {
    // Grow all three before storing, so a failure leaves the columns consistent.
    if (x.size() == x.capacity() || y.size() == y.capacity() || z.size() == z.capacity()) {
      const std::size_t wanted = n < 1024 ? 1024 : n + n / 2;
      x.reserve(wanted);
      y.reserve(wanted);
      z.reserve(wanted);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  x.push_back(px);
  y.push_back(py);
  z.push_back(pz);
  ++count;
  return true;
}

bool reserve_points(PointColumns& cloud, std::int64_t n) noexcept {
  if (n <= 0) return true;
  const std::int64_t wanted = static_cast<std::int64_t>(cloud.count) + n;
  if (wanted > max_point_count) return true;  // append() will refuse at the limit
  try {
    cloud.x.reserve(static_cast<std::size_t>(wanted));
    cloud.y.reserve(static_cast<std::size_t>(wanted));
    cloud.z.reserve(static_cast<std::size_t>(wanted));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

ProgressSink& no_progress() {
  struct Silent final : ProgressSink {
    void reached(std::int64_t) override {}
  };
  static Silent silent;  // stateless, so shared by every thread
  return silent;
}

}  // namespace ptdelta
