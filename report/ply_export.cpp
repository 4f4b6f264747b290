#include "report/ply_export.h"

#include <algorithm>

#include "distance/comparison_pass.h"
#include "report/fixed_format.h"
#include "report/output_file.h"

namespace ptdelta {

float colour_scale_for(float distance_max) {
  return static_cast<float>(512.0 / static_cast<double>(distance_max));
}

Rgb ramp_colour(float entry, float colour_scale) {
  if (entry == excluded_distance) return {255, 0, 0};
  const std::int32_t v = ramp_position(entry, colour_scale);
  if (v < 256) return {v, 255, 0};
  return {255, std::min(512 - v, 255), 0};
}

std::string ply_export_header(std::int32_t vertex_count) {
  char count[12];
  *format_int(count, vertex_count) = '\0';
  return std::string("ply\nformat ascii 1.0\nelement vertex ") + count +
         "\nproperty float x\nproperty float y\nproperty float z\n"
         "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n"
         "property float distance\nend_header\n";
}

char* format_vertex_line(char* out, float x, float y, float z, Rgb colour, float distance) {
  out = format_fixed5(out, x);
  *out++ = ' ';
  out = format_fixed5(out, y);
  *out++ = ' ';
  out = format_fixed5(out, z);
  *out++ = ' ';
  out = format_int3(out, colour.red);
  *out++ = ' ';
  out = format_int3(out, colour.green);
  *out++ = ' ';
  out = format_int3(out, colour.blue);
  *out++ = ' ';
  out = format_fixed5(out, distance);
  *out++ = '\n';
  return out;
}

void write_coloured_ply(OutputFile& file, const PointColumns& test, const std::vector<float>& cd,
                        const std::vector<bool>& kept, float distance_max) {
  file.write(ply_export_header(test.count));
  const float colour_scale = colour_scale_for(distance_max);
  for (std::int32_t i = 0; i < test.count; ++i) {
    const auto k = static_cast<std::size_t>(i);
    // What the filter took out is written like an outlier.
    const float entry = kept[k] ? cd[k] : excluded_distance;
    char* out = file.reserve(vertex_line_max_chars);
    file.commit(format_vertex_line(out, test.x[k], test.y[k], test.z[k], ramp_colour(entry, colour_scale), entry));
  }
}

}  // namespace ptdelta
