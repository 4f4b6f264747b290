#include "input/text_reader.h"

#include "input/scan_number.h"

namespace ptdelta {

Failure read_text_cloud(ByteSource& in, PointAppender out) {
  for (float x = 0.0f, y = 0.0f, z = 0.0f; scan_float(in, x) && scan_float(in, y) && scan_float(in, z);) {
    if (!out.add(x, y, z)) return Failure::out_of_memory;
  }
  if (in.out_of_memory()) return Failure::out_of_memory;
  return in.failed() ? Failure::read_error : Failure::none;
}

}  // namespace ptdelta
