#include "core/point_cloud.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/exact.h"

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

PointAppender::PointAppender(PointColumns& cloud, ProgressSink& progress, ShiftRule rule)
    : cloud_(&cloud),
      progress_(&progress),
      first_point_(cloud.count),
      shift_(rule.automatic ? CoordinateShift{} : rule.value),
      precision_(rule.automatic        ? ReadPrecision::both
                 : shift_.is_zero()    ? ReadPrecision::single
                                       : ReadPrecision::shifted) {}

bool PointAppender::step_reached() {
  progress_->reached(total());
  if (sink_ != nullptr && cloud_->count >= stream_block_points) return hand_over();
  return true;
}

bool PointAppender::hand_over() {
  // Indices stay within the signed 32-bit range, as a cloud held whole does.
  if (total() > max_point_count) return false;
  if (!sink_->take(*cloud_, handed_)) return false;
  handed_ += cloud_->count;
  cloud_->x.clear();
  cloud_->y.clear();
  cloud_->z.clear();
  cloud_->count = 0;
  return true;
}

bool PointAppender::add_block(const float* xyz, std::size_t n) {
  PointColumns& c = *cloud_;
  const std::int32_t before = c.count;
  const std::int64_t total_before = total();
  if (n > static_cast<std::size_t>(max_point_count - before)) return false;
  const auto have = static_cast<std::size_t>(before);
  if (have + n > c.x.capacity() || have + n > c.y.capacity() || have + n > c.z.capacity()) {
    // The same geometric growth as one point at a time, or just enough for the block.
    if (!reserve_points(c, static_cast<std::int64_t>(std::max(n, have < 1024 ? 1024 - have : have / 2))))
      return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    c.x.push_back(xyz[3 * i]);
    c.y.push_back(xyz[3 * i + 1]);
    c.z.push_back(xyz[3 * i + 2]);
  }
  c.count = static_cast<std::int32_t>(have + n);
  for (std::int64_t k = (total_before / progress_report_step + 1) * std::int64_t{progress_report_step};
       k <= total(); k += progress_report_step)
    progress_->reached(k);
  if (sink_ != nullptr && c.count >= stream_block_points) return hand_over();
  return true;
}

bool PointAppender::add_double(double x, double y, double z) {
  return add(shifted_single(x, shift_.x), shifted_single(y, shift_.y), shifted_single(z, shift_.z));
}

bool PointAppender::add_double_block(const double* xyz, std::size_t n) {
  for (std::size_t i = 0; i < 3 * n; i += 3)
    if (!add_double(xyz[i], xyz[i + 1], xyz[i + 2])) return false;
  return true;
}

bool PointAppender::add_reading(const CoordinateReading& x, const CoordinateReading& y, const CoordinateReading& z) {
  switch (precision_) {
    case ReadPrecision::single:
      return add(x.single, y.single, z.single);
    case ReadPrecision::shifted:
      return add_double(x.wide, y.wide, z.wide);
    case ReadPrecision::both:
      break;
  }
  const CoordinateReading point[3] = {x, y, z};
  return add_pending(point);
}

bool PointAppender::add_exact(double x, double y, double z) {
  if (precision_ == ReadPrecision::shifted) return add_double(x, y, z);
  return add_reading({single_of(x), x}, {single_of(y), y}, {single_of(z), z});
}

bool PointAppender::add_normal(float nx, float ny, float nz) noexcept {
  const float n[3] = {nx, ny, nz};
  return add_normal_block(n, 1);
}

bool PointAppender::add_normal_block(const float* n, std::size_t count) noexcept {
  try {
    for (std::size_t i = 0; i < count; ++i) {
      normals_->x.push_back(n[3 * i]);
      normals_->y.push_back(n[3 * i + 1]);
      normals_->z.push_back(n[3 * i + 2]);
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool PointAppender::reserve_normals(std::int64_t n) noexcept {
  if (n <= 0 || normals_ == nullptr) return true;
  const auto wanted = normals_->x.size() + static_cast<std::size_t>(std::min<std::int64_t>(n, max_point_count));
  try {
    normals_->x.reserve(wanted);
    normals_->y.reserve(wanted);
    normals_->z.reserve(wanted);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool PointAppender::add_pending(const CoordinateReading (&p)[3]) {
  const double x = p[0].wide, y = p[1].wide, z = p[2].wide;
  if (std::isfinite(x) && std::isfinite(y) && std::isfinite(z)) {
    // The first point with three finite coordinates decides the shift for the
    // whole cloud, the points before it included.
    if (!settle({automatic_axis_shift(x), automatic_axis_shift(y), automatic_axis_shift(z)})) return false;
    return add_reading(p[0], p[1], p[2]);
  }
  if (static_cast<std::int64_t>(pending_.size()) + total() >= max_point_count) return false;
  try {
    pending_.push_back({p[0], p[1], p[2]});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool PointAppender::settle(const CoordinateShift& shift) {
  shift_ = shift;
  precision_ = shift_.is_zero() ? ReadPrecision::single : ReadPrecision::shifted;
  for (const auto& p : pending_)
    if (!add_reading(p[0], p[1], p[2])) return false;
  pending_.clear();
  pending_.shrink_to_fit();
  return true;
}

namespace {

// Gives back the room that growth or an estimate left beyond the points (up to
// half as much again): a cloud is kept for the whole run, and at a hundred
// million points that room is hundreds of megabytes. Each column is copied on its own, so the
// copy never needs more than one column's worth besides; a copy that cannot
// be had leaves the room in place.
void release_spare_room(std::vector<float>& column) noexcept {
  if (column.capacity() - column.size() > column.size() / 32) column.shrink_to_fit();
}

}  // namespace

bool PointAppender::finish() {
  if (precision_ == ReadPrecision::both && !settle({})) return false;
  if (sink_ != nullptr && cloud_->count > 0 && !hand_over()) return false;
  release_spare_room(cloud_->x);
  release_spare_room(cloud_->y);
  release_spare_room(cloud_->z);
  if (normals_ != nullptr) {
    // A file without normals gave none; one of a list that had them for only
    // some of its files cannot say which point a normal belongs to: none kept.
    const auto points = static_cast<std::size_t>(cloud_->count - first_point_);
    if (normals_->x.size() != points || normals_->y.size() != points || normals_->z.size() != points) {
      *normals_ = StoredNormals{};
    } else {
      release_spare_room(normals_->x);
      release_spare_room(normals_->y);
      release_spare_room(normals_->z);
    }
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
