#include "report/binary_ply.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/exact.h"
#include "report/fixed_format.h"
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

std::string binary_ply_header(std::int32_t vertex_count, bool shifted) {
  char count[12];
  *format_int(count, vertex_count) = '\0';
  const std::string type = shifted ? "double" : "float";
  return std::string("ply\nformat binary_little_endian 1.0\nelement vertex ") + count + "\nproperty " + type +
         " x\nproperty " + type + " y\nproperty " + type +
         " z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
         "property float scalar_distance\nend_header\n";
}

Failure write_binary_ply(OutputFile& file, const RunResult& result) {
  const PointColumns& test = result.test_cloud;
  const PassResult& pass = result.pass;
  const CoordinateShift& shift = result.run.shift;
  const bool shifted = !shift.is_zero();
  file.write(binary_ply_header(test.count, shifted));
  const float colour_scale = colour_scale_of(result.summary.totals.distance_max);
  constexpr std::size_t record_max = 3 * sizeof(double) + 3 + sizeof(float);
  for (std::size_t i = 0; i < static_cast<std::size_t>(test.count); ++i) {
    char* out = file.reserve(record_max);
    if (shifted) {
      out = put_little_endian(out, unshifted(test.x[i], shift.x));
      out = put_little_endian(out, unshifted(test.y[i], shift.y));
      out = put_little_endian(out, unshifted(test.z[i], shift.z));
    } else {
      out = put_little_endian(out, test.x[i]);
      out = put_little_endian(out, test.y[i]);
      out = put_little_endian(out, test.z[i]);
    }
    const PointOutcome outcome = pass.outcome[i];
    const Rgb colour = map_colour(outcome, pass.cd[i], colour_scale);
    *out++ = static_cast<char>(static_cast<unsigned char>(colour.red));
    *out++ = static_cast<char>(static_cast<unsigned char>(colour.green));
    *out++ = static_cast<char>(static_cast<unsigned char>(colour.blue));
    const bool measured = outcome == PointOutcome::accepted && std::isfinite(pass.cd[i]);
    out = put_little_endian(out, measured ? pass.cd[i] : std::numeric_limits<float>::quiet_NaN());
    file.commit(out);
  }
  return Failure::none;
}

}  // namespace ptdelta
