#include "report/ply_export.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <string>
#include <vector>

#include "core/exact.h"
#include "core/parallel.h"
#include "report/fixed_format.h"
#include "report/output_file.h"

namespace ptdelta {

Rgb ramp_colour(float entry, float colour_scale) {
  if (entry == excluded_distance) return {255, 0, 0};
  return ramp_rgb(ramp_position(entry, colour_scale));
}

std::string ply_export_header(std::int32_t vertex_count) {
  char count[12];
  *format_int(count, vertex_count) = '\0';
  return std::string("ply\nformat ascii 1.0\nelement vertex ") + count +
         "\nproperty float x\nproperty float y\nproperty float z\n"
         "property uchar diffuse_red\nproperty uchar diffuse_green\nproperty uchar diffuse_blue\n"
         "property float distance\nend_header\n";
}

namespace {

// " %3d %3d %3d %.5f\n": the colour and the distance after the coordinates.
char* format_colour_and_distance(char* out, Rgb colour, float distance) {
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

}  // namespace

char* format_vertex_line(char* out, float x, float y, float z, Rgb colour, float distance) {
  out = format_fixed5(out, x);
  *out++ = ' ';
  out = format_fixed5(out, y);
  *out++ = ' ';
  out = format_fixed5(out, z);
  return format_colour_and_distance(out, colour, distance);
}

char* format_shifted_vertex_line(char* out, double x, double y, double z, Rgb colour, float distance) {
  out = format_fixed5_double(out, x);
  *out++ = ' ';
  out = format_fixed5_double(out, y);
  *out++ = ' ';
  out = format_fixed5_double(out, z);
  return format_colour_and_distance(out, colour, distance);
}

Rgb diverging_colour(float d, float largest) {
  return diverging_rgb(diverging_position(d, largest), d < 0.0f);
}

void write_coloured_ply(OutputFile& file, const RunResult& result) {
  const TestPoints& test = result.test_points;
  const CoordinateShift& shift = result.run.shift;
  const std::vector<float>& cd = result.pass.cd;
  const std::vector<bool>& kept = result.summary.kept;
  const std::int32_t threads = result.run.threads;
  file.write(ply_export_header(static_cast<std::int32_t>(test.count())));
  const float colour_scale = colour_scale_of(result.summary.totals.distance_max);
  const bool is_signed = result.pass.is_signed;
  const float largest = result.summary.totals.distance_max;
  const std::vector<SurfaceMeasure>& surface = result.pass.surface;
  const bool judged = result.pass.method == Method::m3c2;
  const bool shifted = !shift.is_zero();
  const std::size_t line_max = shifted ? shifted_vertex_line_max_chars : vertex_line_max_chars;
  // Lines are formatted a window of chunks (about 1 MiB each, so a chunk is
  // still in the cache when it is written) at a time on the threads, while one
  // of them writes the window before, in order: the writing, which one thread
  // must do, overlaps the formatting. Two sets of buffers (at most 16 chunks
  // each) bound the memory whatever the size of the cloud or the thread count;
  // they are had once and never cleared: each chunk writes only what it formats.
  // The text does not depend on where the blocks of points begin, and the
  // window waiting to be written carries over from one block to the next.
  const auto chunk = static_cast<std::int64_t>((std::size_t{1} << 20) / line_max);
  const std::int64_t window = std::min<std::int64_t>(16, 2 * static_cast<std::int64_t>(threads < 1 ? 1 : threads));
  struct Text {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
  };
  const auto buffers = static_cast<std::size_t>(std::min(window, chunk_count(test.count(), chunk)));
  std::vector<Text> text[2] = {std::vector<Text>(buffers), std::vector<Text>(buffers)};
  for (auto& set : text)
    for (Text& t : set) t.bytes.reset(new char[static_cast<std::size_t>(chunk) * line_max]);
  const auto format = [&](Text& out, const PointBlock& block, std::int64_t c) {
    const PointColumns& points = block.points;
    const std::int64_t first = c * chunk;
    const std::int64_t last = std::min<std::int64_t>(first + chunk, points.count);
    char* p = out.bytes.get();
    for (std::int64_t i = first; i < last; ++i) {
      const auto k = static_cast<std::size_t>(i);
      const auto j = static_cast<std::size_t>(block.first + i);
      // What the filter took out is written like an outlier.
      float entry = kept[j] ? cd[j] : excluded_distance;
      Rgb colour;
      if (!is_signed) {
        colour = ramp_colour(entry, colour_scale);
      } else if (!kept[j]) {
        entry = no_signed_distance;
        colour = signed_excluded_colour;
      } else {
        colour = judged && !surface[j].significant ? not_significant_colour : diverging_colour(entry, largest);
      }
      p = shifted ? format_shifted_vertex_line(p, unshifted(points.x[k], shift.x), unshifted(points.y[k], shift.y),
                                               unshifted(points.z[k], shift.z), colour, entry)
                  : format_vertex_line(p, points.x[k], points.y[k], points.z[k], colour, entry);
    }
    out.size = static_cast<std::size_t>(p - out.bytes.get());
  };
  // Window w is formatted into text[w % 2] while text[(w - 1) % 2] is written.
  std::int64_t w = 0;
  std::int64_t written = 0;  // chunks in the set waiting to be written
  // One window: the chunks base .. base + now - 1 of `block` (none when null).
  const auto step = [&](const PointBlock* block, std::int64_t base, std::int64_t now) {
    std::vector<Text>& formatting = text[w % 2];
    const std::vector<Text>& writing = text[(w + 1) % 2];
    run_chunks(1 + now, threads, [&](std::int64_t k) {
      if (k == 0) {
        for (std::int64_t c = 0; c < written; ++c) {
          const Text& t = writing[static_cast<std::size_t>(c)];
          file.write(std::string_view(t.bytes.get(), t.size));
        }
      } else {
        format(formatting[static_cast<std::size_t>(k - 1)], *block, base + k - 1);
      }
    });
    written = now;
    ++w;
  };
  test.each_block([&](const PointBlock& block) {
    const std::int64_t chunks = chunk_count(block.points.count, chunk);
    for (std::int64_t base = 0; base < chunks; base += window) step(&block, base, std::min(window, chunks - base));
    return true;
  });
  if (written > 0) step(nullptr, 0, 0);
}

}  // namespace ptdelta
