#include "report/run_report.h"

namespace ptdelta {

const char* method_key(Method method) { return method == Method::nearest_point ? "nearest_point" : "plane"; }

const char* method_description(Method method) {
  return method == Method::nearest_point ? "nearest reference point" : "plane through three reference points";
}

}  // namespace ptdelta
