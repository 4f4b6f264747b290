#include "report/png_map.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>

namespace ptdelta {

const MapPalette& map_palette() {
  static const MapPalette palette = [] {
    MapPalette p;
    p[map_background_index] = {255, 255, 255};
    p[map_excluded_index] = {excluded_grey, excluded_grey, excluded_grey};
    for (std::int32_t step = 0; step < map_ramp_steps; ++step) p[static_cast<std::size_t>(2 + step)] = ramp_rgb(4 * step);
    return p;
  }();
  return palette;
}

std::uint8_t map_index(PointOutcome outcome, float distance, float colour_scale) {
  if (outcome != PointOutcome::accepted) return map_excluded_index;
  return static_cast<std::uint8_t>(2 + ramp_position(distance, colour_scale) / 4);
}

Rgb map_colour(PointOutcome outcome, float distance, float colour_scale) {
  return map_palette()[map_index(outcome, distance, colour_scale)];
}

const SignedMapPalette& signed_map_palette() {
  static const SignedMapPalette palette = [] {
    SignedMapPalette p;
    p[signed_background_index] = signed_background;
    p[signed_excluded_index] = signed_excluded_colour;
    p[signed_not_significant_index] = not_significant_colour;
    for (std::int32_t level = 0; level < diverging_levels; ++level) {
      const std::int32_t v = std::min(4 * level, 255);
      const auto at = static_cast<std::size_t>(3 + 2 * level);
      p[at] = diverging_rgb(v, true);
      p[at + 1] = diverging_rgb(v, false);
    }
    return p;
  }();
  return palette;
}

std::uint8_t signed_map_index(PointOutcome outcome, float distance, bool not_significant, float largest) {
  if (outcome != PointOutcome::accepted) return signed_excluded_index;
  if (not_significant) return signed_not_significant_index;
  const std::int32_t level = (diverging_position(distance, largest) + 3) / 4;  // ceil(v / 4)
  return static_cast<std::uint8_t>(3 + 2 * level + (distance < 0.0f ? 0 : 1));
}

namespace {

const std::vector<float>& axis(const PointColumns& cloud, std::int32_t a) {
  return a == 0 ? cloud.x : a == 1 ? cloud.y : cloud.z;
}

// The pixel a coordinate falls in along one side of `size` pixels.
std::int32_t pixel_of(double coordinate, double min, double pixels_per_unit, std::int32_t size) {
  // Never negative (min is the smallest coordinate), so truncation is the floor.
  const double p = (coordinate - min) * pixels_per_unit;
  if (!(p > 0.0)) return 0;
  return p >= static_cast<double>(size - 1) ? size - 1 : static_cast<std::int32_t>(p);
}

}  // namespace

TopView render_top_view(const PointColumns& test, const CloudExtent& extent, const PassResult& pass,
                        float distance_max, std::int32_t target_width) {
  TopView view = begin_top_view(extent, pass, target_width);
  draw_top_view(view, test, 0, pass, distance_max);
  return view;
}

TopView begin_top_view(const CloudExtent& extent, const PassResult& pass, std::int32_t target_width) {
  TopView view;
  const std::int64_t finite = extent.finite_points;
  if (finite == 0) return view;
  const auto& lo = extent.min;
  const auto& hi = extent.max;

  // The narrowest axis is left out (on a tie the later one), the other two keep their order.
  const auto length_along = [&](std::int32_t a) {
    return hi[static_cast<std::size_t>(a)] - lo[static_cast<std::size_t>(a)];
  };
  std::int32_t dropped = 2;
  for (std::int32_t a = 1; a >= 0; --a) {
    if (length_along(a) < length_along(dropped)) dropped = a;
  }
  view.across_axis = dropped == 0 ? 1 : 0;
  view.up_axis = dropped == 2 ? 1 : 2;
  const double across = length_along(view.across_axis), up = length_along(view.up_axis);
  view.across_min = lo[static_cast<std::size_t>(view.across_axis)];
  view.up_min = lo[static_cast<std::size_t>(view.up_axis)];
  view.pixel_size = std::max(across, up) / static_cast<double>(target_width);
  if (!(view.pixel_size > 0.0)) view.pixel_size = 1.0;  // every point in one place
  const auto side = [&](double length) {
    const double pixels = std::ceil(length / view.pixel_size);
    return pixels < 1.0 ? 1 : pixels > static_cast<double>(target_width) ? target_width
                                                                          : static_cast<std::int32_t>(pixels);
  };
  view.width = side(across);
  view.height = side(up);

  const double spacing =
      std::sqrt(static_cast<double>(view.width) * static_cast<double>(view.height) / static_cast<double>(finite));
  view.dot_radius = static_cast<std::int32_t>(std::min(16.0, std::floor(0.75 * spacing)));

  view.diverging = pass.is_signed;
  const auto w = static_cast<std::size_t>(view.width);
  view.pixels.assign(w * static_cast<std::size_t>(view.height),
                     view.diverging ? signed_background_index : map_background_index);
  return view;
}

void draw_top_view(TopView& view, const PointColumns& test, std::int64_t first, const PassResult& pass,
                   float distance_max) {
  if (view.width == 0) return;
  const bool judged = pass.method == Method::m3c2 && pass.surface.size() == pass.cd.size();
  const auto w = static_cast<std::size_t>(view.width);
  const std::vector<float>& across_values = axis(test, view.across_axis);
  const std::vector<float>& up_values = axis(test, view.up_axis);
  const float colour_scale = colour_scale_of(distance_max);
  const std::int32_t r = view.dot_radius;
  const double pixels_per_unit = 1.0 / view.pixel_size;
  for (std::size_t k = 0; k < static_cast<std::size_t>(test.count); ++k) {
    if (!is_finite_point(test, k)) continue;
    const auto i = static_cast<std::size_t>(first) + k;
    const std::uint8_t index =
        view.diverging
            ? signed_map_index(pass.outcome[i], pass.cd[i], judged && !pass.surface[i].significant, distance_max)
            : map_index(pass.outcome[i], pass.cd[i], colour_scale);
    const std::int32_t column =
        pixel_of(static_cast<double>(across_values[k]), view.across_min, pixels_per_unit, view.width);
    // Row 0 is the top of the image, the largest coordinate along the up axis.
    const std::int32_t row =
        view.height - 1 - pixel_of(static_cast<double>(up_values[k]), view.up_min, pixels_per_unit, view.height);
    if (r == 0) {
      std::uint8_t& pixel = view.pixels[static_cast<std::size_t>(row) * w + static_cast<std::size_t>(column)];
      pixel = std::max(pixel, index);
      continue;
    }
    const std::int32_t row_end = std::min(view.height - 1, row + r);
    const std::int32_t column_end = std::min(view.width - 1, column + r);
    for (std::int32_t y = std::max(0, row - r); y <= row_end; ++y) {
      std::uint8_t* line = view.pixels.data() + static_cast<std::size_t>(y) * w;
      for (std::int32_t x = std::max(0, column - r); x <= column_end; ++x) {
        std::uint8_t& pixel = line[static_cast<std::size_t>(x)];
        pixel = std::max(pixel, index);
      }
    }
  }
}

namespace {

struct PngSink {
  std::vector<std::uint8_t>* out;
  bool failed;
};

// libpng calls these from C: nothing may throw through it.
void append_bytes(png_structp png, png_bytep data, std::size_t length) {
  auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
  try {
    sink->out->insert(sink->out->end(), data, data + length);
  } catch (...) {
    sink->failed = true;
  }
}
void flush_nothing(png_structp) {}
[[noreturn]] void stop_encoding(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void ignore_warning(png_structp, png_const_charp) {}

}  // namespace

bool encode_png(const TopView& view, std::vector<std::uint8_t>& png) {
  png.clear();
  if (view.width <= 0 || view.height <= 0) return false;
  PngSink sink{&png, false};
  png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, stop_encoding, ignore_warning);
  if (writer == nullptr) return false;
  png_infop info = png_create_info_struct(writer);
  if (info == nullptr) {
    png_destroy_write_struct(&writer, nullptr);
    return false;
  }
  // Nothing with a destructor lives between here and the last libpng call.
  if (setjmp(png_jmpbuf(writer))) {
    png_destroy_write_struct(&writer, &info);
    return false;
  }
  png_set_write_fn(writer, &sink, append_bytes, flush_nothing);
  png_set_IHDR(writer, info, static_cast<png_uint_32>(view.width), static_cast<png_uint_32>(view.height), 8,
               PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color colours[std::max(std::tuple_size_v<MapPalette>, std::tuple_size_v<SignedMapPalette>)];
  const std::size_t used = view.diverging ? signed_map_palette().size() : map_palette().size();
  for (std::size_t i = 0; i < used; ++i) {
    const Rgb c = view.diverging ? signed_map_palette()[i] : map_palette()[i];
    colours[i] = {static_cast<png_byte>(c.red), static_cast<png_byte>(c.green), static_cast<png_byte>(c.blue)};
  }
  png_set_PLTE(writer, info, colours, static_cast<int>(used));
  // One byte a pixel, often runs of one index: run-length matches at the
  // fastest level and no filter keep it small at a fraction of the default's time.
  png_set_compression_level(writer, 1);
  png_set_compression_strategy(writer, Z_RLE);
  png_set_filter(writer, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_write_info(writer, info);
  const auto stride = static_cast<std::size_t>(view.width);
  for (std::int32_t y = 0; y < view.height; ++y) {
    png_write_row(writer, view.pixels.data() + static_cast<std::size_t>(y) * stride);
  }
  png_write_end(writer, info);
  png_destroy_write_struct(&writer, &info);
  return !sink.failed;
}

}  // namespace ptdelta
