#include "support/oracles.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

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

namespace {

std::vector<std::string> tokens_of(const std::string& line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    const std::size_t b = i;
    while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i > b) tokens.push_back(line.substr(b, i - b));
  }
  return tokens;
}

bool token_converts(const std::string& token, float& value) {
  int n = -1;
  return std::sscanf(token.c_str(), "%f%n", &value, &n) == 1 && static_cast<std::size_t>(n) == token.size();
}

}  // namespace

Failure read_text_layouts_fscanf(const std::string& bytes, PointColumns& cloud, std::int64_t& stopped_at_line) {
  stopped_at_line = 0;
  std::vector<std::string> lines;
  std::vector<std::size_t> starts;
  for (std::size_t b = 0; b < bytes.size();) {
    const std::size_t nl = bytes.find('\n', b);
    const std::size_t e = nl == std::string::npos ? bytes.size() : nl + 1;
    lines.push_back(bytes.substr(b, e - b));
    starts.push_back(b);
    b = e;
  }
  std::vector<std::size_t> data;  // the first two data lines
  for (std::size_t i = 0; i < lines.size() && data.size() < 2; ++i) {
    const std::vector<std::string> t = tokens_of(lines[i]);
    float v = 0.0f;
    if (!t.empty() && token_converts(t[0], v)) data.push_back(i);
  }
  if (data.empty()) return Failure::none;
  const std::size_t n0 = tokens_of(lines[data[0]]).size();
  if (data.size() == 2 && n0 > 3 && tokens_of(lines[data[1]]).size() == n0) {
    for (std::size_t i = data[0]; i < lines.size(); ++i) {
      const std::vector<std::string> t = tokens_of(lines[i]);
      if (t.empty()) continue;
      float xyz[3] = {0.0f, 0.0f, 0.0f};
      if (t.size() < 3 || !token_converts(t[0], xyz[0]) || !token_converts(t[1], xyz[1]) ||
          !token_converts(t[2], xyz[2])) {
        stopped_at_line = static_cast<std::int64_t>(i) + 1;
        return Failure::none;
      }
      if (!cloud.append(xyz[0], xyz[1], xyz[2])) return Failure::out_of_memory;
    }
    return Failure::none;
  }
  std::string rest = bytes.substr(starts[data[0]]);
  std::FILE* in = fmemopen(rest.data(), rest.size(), "r");
  if (in == nullptr) return Failure::read_error;
  for (;;) {
    std::fscanf(in, " ");
    const long at = std::ftell(in);
    if (std::fgetc(in) == EOF) break;
    std::fseek(in, at, SEEK_SET);
    float x = 0.0f, y = 0.0f, z = 0.0f;
    if (std::fscanf(in, "%f %f %f", &x, &y, &z) != 3) {
      const auto end = static_cast<std::ptrdiff_t>(starts[data[0]]) + at;
      stopped_at_line = std::count(bytes.begin(), bytes.begin() + end, '\n') + 1;
      break;
    }
    if (!cloud.append(x, y, z)) {
      std::fclose(in);
      return Failure::out_of_memory;
    }
  }
  std::fclose(in);
  return Failure::none;
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
