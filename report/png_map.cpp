#include "report/png_map.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <limits>

namespace ptdelta {

Rgb map_colour(PointOutcome outcome, float distance, float colour_scale) {
  if (outcome != PointOutcome::accepted) return {excluded_grey, excluded_grey, excluded_grey};
  return ramp_colour(distance, colour_scale);
}

namespace {

const std::vector<float>& axis(const PointColumns& cloud, std::int32_t a) {
  return a == 0 ? cloud.x : a == 1 ? cloud.y : cloud.z;
}

bool finite_point(const PointColumns& cloud, std::size_t i) {
  return std::isfinite(cloud.x[i]) && std::isfinite(cloud.y[i]) && std::isfinite(cloud.z[i]);
}

// The pixel a coordinate falls in along one side of `size` pixels.
std::int32_t pixel_of(double coordinate, double min, double pixel_size, std::int32_t size) {
  const double p = std::floor((coordinate - min) / pixel_size);
  if (!(p > 0.0)) return 0;
  return p >= static_cast<double>(size - 1) ? size - 1 : static_cast<std::int32_t>(p);
}

}  // namespace

TopView render_top_view(const PointColumns& test, const PassResult& pass, float distance_max,
                        std::int32_t target_width) {
  TopView view;
  // Extent of the finite points along each axis.
  std::array<double, 3> lo{}, hi{};
  lo.fill(std::numeric_limits<double>::infinity());
  hi.fill(-std::numeric_limits<double>::infinity());
  std::int64_t finite = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(test.count); ++i) {
    if (!finite_point(test, i)) continue;
    ++finite;
    for (std::int32_t a = 0; a < 3; ++a) {
      const double c = static_cast<double>(axis(test, a)[i]);
      lo[static_cast<std::size_t>(a)] = std::min(lo[static_cast<std::size_t>(a)], c);
      hi[static_cast<std::size_t>(a)] = std::max(hi[static_cast<std::size_t>(a)], c);
    }
  }
  if (finite == 0) return view;

  // The narrowest axis is left out (on a tie the later one), the other two keep their order.
  const auto extent = [&](std::int32_t a) { return hi[static_cast<std::size_t>(a)] - lo[static_cast<std::size_t>(a)]; };
  std::int32_t dropped = 2;
  for (std::int32_t a = 1; a >= 0; --a) {
    if (extent(a) < extent(dropped)) dropped = a;
  }
  view.across_axis = dropped == 0 ? 1 : 0;
  view.up_axis = dropped == 2 ? 1 : 2;
  const double across = extent(view.across_axis), up = extent(view.up_axis);
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

  // The largest entry per pixel: -infinity where no point falls, excluded_distance
  // (below every distance) where only outliers and rejected points do.
  const auto w = static_cast<std::size_t>(view.width);
  std::vector<float> top(w * static_cast<std::size_t>(view.height), -std::numeric_limits<float>::infinity());
  const std::vector<float>& across_values = axis(test, view.across_axis);
  const std::vector<float>& up_values = axis(test, view.up_axis);
  const std::int32_t r = view.dot_radius;
  for (std::size_t i = 0; i < static_cast<std::size_t>(test.count); ++i) {
    if (!finite_point(test, i)) continue;
    const float entry = pass.outcome[i] == PointOutcome::accepted ? pass.cd[i] : excluded_distance;
    const std::int32_t column =
        pixel_of(static_cast<double>(across_values[i]), view.across_min, view.pixel_size, view.width);
    // Row 0 is the top of the image, the largest coordinate along the up axis.
    const std::int32_t row =
        view.height - 1 - pixel_of(static_cast<double>(up_values[i]), view.up_min, view.pixel_size, view.height);
    const std::int32_t row_end = std::min(view.height - 1, row + r);
    const std::int32_t column_end = std::min(view.width - 1, column + r);
    for (std::int32_t y = std::max(0, row - r); y <= row_end; ++y) {
      float* line = top.data() + static_cast<std::size_t>(y) * w;
      for (std::int32_t x = std::max(0, column - r); x <= column_end; ++x) {
        float& pixel = line[static_cast<std::size_t>(x)];
        pixel = std::max(pixel, entry);
      }
    }
  }

  const float colour_scale = colour_scale_for(distance_max);
  view.rgb.resize(top.size() * 3);
  for (std::size_t p = 0; p < top.size(); ++p) {
    std::uint8_t* out = view.rgb.data() + 3 * p;
    const float entry = top[p];
    if (std::isinf(entry) && entry < 0.0f) {
      out[0] = out[1] = out[2] = map_background;
      continue;
    }
    const Rgb c = map_colour(entry == excluded_distance ? PointOutcome::outlier : PointOutcome::accepted, entry,
                             colour_scale);
    out[0] = static_cast<std::uint8_t>(c.red);
    out[1] = static_cast<std::uint8_t>(c.green);
    out[2] = static_cast<std::uint8_t>(c.blue);
  }
  return view;
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
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // The map is mostly runs of one colour: the fastest level and no filter keep
  // it small enough, at a fraction of the default's time.
  png_set_compression_level(writer, 1);
  png_set_filter(writer, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_write_info(writer, info);
  const std::size_t stride = static_cast<std::size_t>(view.width) * 3;
  for (std::int32_t y = 0; y < view.height; ++y) png_write_row(writer, view.rgb.data() + static_cast<std::size_t>(y) * stride);
  png_write_end(writer, info);
  png_destroy_write_struct(&writer, &info);
  return !sink.failed;
}

}  // namespace ptdelta
