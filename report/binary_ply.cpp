#include "report/binary_ply.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/exact.h"
#include "report/fixed_format.h"
#include "report/ply_export.h"
#include "report/png_map.h"

namespace ptdelta {

namespace {

// Copies the bytes of `value` to `out` least significant first; returns the end.
template <class T>
char* put_little_endian(char* out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = bytes[sizeof(T) - 1 - i];
  } else {
    std::memcpy(out, bytes, sizeof(T));
  }
  return out + sizeof(T);
}

}  // namespace

PlyExtras ply_extras_of(const PassResult& pass) {
  if (pass.surface.empty()) return PlyExtras::none;
  return pass.method == Method::m3c2 ? PlyExtras::m3c2 : PlyExtras::normal;
}

std::string binary_ply_header(std::int32_t vertex_count, bool shifted, PlyExtras extras) {
  char count[12];
  *format_int(count, vertex_count) = '\0';
  const std::string type = shifted ? "double" : "float";
  std::string header = std::string("ply\nformat binary_little_endian 1.0\nelement vertex ") + count + "\nproperty " +
                       type + " x\nproperty " + type + " y\nproperty " + type +
                       " z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
                       "property float scalar_distance\n";
  if (extras != PlyExtras::none) header += "property float nx\nproperty float ny\nproperty float nz\n";
  if (extras == PlyExtras::m3c2)
    header += "property float scalar_lod95\nproperty uchar scalar_significant\n"
              "property int scalar_n_reference\nproperty int scalar_n_test\n";
  return header + "end_header\n";
}

namespace {

// The colour of test point i in the binary PLY.
Rgb record_colour(const PassResult& pass, std::size_t i, float colour_scale, float largest) {
  const PointOutcome outcome = pass.outcome[i];
  if (!pass.is_signed) return map_colour(outcome, pass.cd[i], colour_scale);
  if (outcome != PointOutcome::accepted) return signed_excluded_colour;
  if (pass.method == Method::m3c2 && !pass.surface[i].significant) return not_significant_colour;
  return diverging_colour(pass.cd[i], largest);
}

}  // namespace

Failure write_binary_ply(OutputFile& file, const RunResult& result) {
  const TestPoints& test = result.test_points;
  const PassResult& pass = result.pass;
  const CoordinateShift& shift = result.run.shift;
  const bool shifted = !shift.is_zero();
  const PlyExtras extras = ply_extras_of(pass);
  file.write(binary_ply_header(static_cast<std::int32_t>(test.count()), shifted, extras));
  const float largest = result.summary.totals.distance_max;
  const float colour_scale = colour_scale_of(largest);
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr std::size_t record_max = 3 * sizeof(double) + 3 + sizeof(float) + 4 * sizeof(float) + 1 + 2 * 4;
  test.each_block([&](const PointBlock& block) {
    const PointColumns& points = block.points;
    for (std::size_t k = 0; k < static_cast<std::size_t>(points.count); ++k) {
      const auto i = static_cast<std::size_t>(block.first) + k;
      char* out = file.reserve(record_max);
      if (shifted) {
        out = put_little_endian(out, unshifted(points.x[k], shift.x));
        out = put_little_endian(out, unshifted(points.y[k], shift.y));
        out = put_little_endian(out, unshifted(points.z[k], shift.z));
      } else {
        out = put_little_endian(out, points.x[k]);
        out = put_little_endian(out, points.y[k]);
        out = put_little_endian(out, points.z[k]);
      }
      const Rgb colour = record_colour(pass, i, colour_scale, largest);
      *out++ = static_cast<char>(static_cast<unsigned char>(colour.red));
      *out++ = static_cast<char>(static_cast<unsigned char>(colour.green));
      *out++ = static_cast<char>(static_cast<unsigned char>(colour.blue));
      const bool measured = pass.outcome[i] == PointOutcome::accepted && std::isfinite(pass.cd[i]);
      out = put_little_endian(out, measured ? pass.cd[i] : nan);
      if (extras != PlyExtras::none) {
        const SurfaceMeasure& m = pass.surface[i];
        for (const float n : m.normal) out = put_little_endian(out, n);
        if (extras == PlyExtras::m3c2) {
          out = put_little_endian(out, m.lod95);
          *out++ = static_cast<char>(m.significant ? 1 : 0);
          out = put_little_endian(out, m.reference_count);
          out = put_little_endian(out, m.test_count);
        }
      }
      file.commit(out);
    }
    return true;
  });
  return Failure::none;
}

}  // namespace ptdelta
