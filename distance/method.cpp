#include "distance/method.h"

namespace ptdelta {

const MethodTraits& method_traits(Method method) {
  // No default: a method added to the enum without traits does not compile (-Wswitch).
  switch (method) {
    case Method::nearest_point:
      return nearest_point_traits;
    case Method::plane:
      return plane_traits;
    case Method::local_plane:
      return local_plane_traits;
    case Method::m3c2:
      return m3c2_traits;
  }
  return nearest_point_traits;  // unreachable for a valid enum value
}

const MethodTraits& measuring_traits(Method method, const SurfaceSettings& settings) {
  if (method == Method::nearest_point && settings.signed_distances) return signed_nearest_traits;
  return method_traits(method);
}

LocalPlane estimate_normal(const NeighbourGrid& grid, float px, float py, float pz, double radius,
                           const Orientation& orientation, std::vector<SurfacePoint>& scratch) {
  points_within(grid, px, py, pz, radius, scratch);
  LocalPlane plane = fit_ordered_plane(scratch);  // the grid's order: see points_within
  if (plane.valid) plane.normal = orient_normal(plane.normal, orientation, px, py, pz);
  return plane;
}

}  // namespace ptdelta
