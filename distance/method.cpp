#include "distance/method.h"

namespace ptdelta {

const MethodTraits& method_traits(Method method) {
  // No default: a method added to the enum without traits does not compile (-Wswitch).
  switch (method) {
    case Method::nearest_point:
      return nearest_point_traits;
    case Method::plane:
      return plane_traits;
  }
  return nearest_point_traits;  // unreachable for a valid enum value
}

}  // namespace ptdelta
