#include "support/oracles.h"

#include <string_view>

#include "input/ply_header.h"

namespace ptdelta::testing {

bool scan_float_fscanf(std::FILE* in, float& value) { return std::fscanf(in, "%f", &value) == 1; }
bool scan_int_fscanf(std::FILE* in, int& value) { return std::fscanf(in, "%d", &value) == 1; }

Failure read_text_cloud_fscanf(std::FILE* in, PointColumns& cloud) {
  for (;;) {
    float x = 0.0f, y = 0.0f, z = 0.0f;
    if (std::fscanf(in, "%f %f %f", &x, &y, &z) != 3) break;
    if (!cloud.append(x, y, z)) return Failure::out_of_memory;
  }
  return std::ferror(in) ? Failure::read_error : Failure::none;
}

Failure read_ply_rows_fscanf(std::FILE* in, PointColumns& cloud) {
  // Header: whole lines, compared on their first ten characters.
  for (;;) {
    char first[10];
    std::size_t n = 0;
    int c = std::getc(in);
    if (c == EOF) break;
    for (; c != EOF && c != '\n'; c = std::getc(in))
      if (n < sizeof first) first[n++] = static_cast<char>(c);
    if (is_end_header_line(std::string_view(first, n))) break;
    if (c == EOF) break;
  }
  float f = 0.0f;
  int d = 0;
  for (;;) {
    float x = 0.0f, y = 0.0f, z = 0.0f;
    if (std::fscanf(in, "%f %f %f %f %f %f %d %d %d", &x, &y, &z, &f, &f, &f, &d, &d, &d) != 9) break;
    if (!cloud.append(x, y, z)) return Failure::out_of_memory;
  }
  return std::ferror(in) ? Failure::read_error : Failure::none;
}

}  // namespace ptdelta::testing
