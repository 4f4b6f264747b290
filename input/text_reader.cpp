#include "input/text_reader.h"

#include "input/scan_number.h"

namespace ptdelta {

Failure read_text_cloud(ByteSource& in, PointColumns& cloud) {
  // The slot at `count` always exists: convert straight into it, then commit.
  for (;;) {
    const auto slot = static_cast<std::size_t>(cloud.count);
    if (!(scan_float(in, cloud.x[slot]) && scan_float(in, cloud.y[slot]) && scan_float(in, cloud.z[slot]))) break;
    if (!commit_point(cloud)) return Failure::out_of_memory;
  }
  return in.failed() ? Failure::read_error : Failure::none;
}

Failure read_text_cloud_fscanf(std::FILE* in, PointColumns& cloud) {
  for (;;) {
    const auto slot = static_cast<std::size_t>(cloud.count);
    if (std::fscanf(in, "%f %f %f", &cloud.x[slot], &cloud.y[slot], &cloud.z[slot]) != 3) break;
    if (!commit_point(cloud)) return Failure::out_of_memory;
  }
  return std::ferror(in) ? Failure::read_error : Failure::none;
}

}  // namespace ptdelta
