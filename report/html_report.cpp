#include "report/html_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "report/fixed_format.h"

namespace ptdelta {

std::string base64_encode(const std::vector<std::uint8_t>& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3, o += 4) {
    const std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16 |
                                static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    o[0] = alphabet[group >> 18];
    o[1] = alphabet[(group >> 12) & 63];
    o[2] = alphabet[(group >> 6) & 63];
    o[3] = alphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - i;  // 1 or 2 bytes left: two or three characters, then '='
  if (rest > 0) {
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    o[0] = alphabet[group >> 18];
    o[1] = alphabet[(group >> 12) & 63];
    if (rest == 2) o[2] = alphabet[(group >> 6) & 63];
  }
  return out;
}

std::string html_escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

// A figure as the console prints it ("%f").
std::string figure(float v) { return format_text("%f", static_cast<double>(v)); }

// A coordinate in the SVG's own units.
std::string svg(double v) { return format_text("%.2f", v); }

// The shortest decimal that reads back to `v`: axis labels on decimal edges.
std::string shortest(double v) {
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string colour(Rgb c) { return format_text("#%02x%02x%02x", c.red, c.green, c.blue); }

std::string row(const std::string& label, const std::string& value) {
  return "<tr><th>" + label + "</th><td>" + value + "</td></tr>\n";
}

std::string input_rows(const char* role, const InputReport& input) {
  std::string files;
  if (!input.files.empty()) {
    files = " (";
    for (std::size_t i = 0; i < input.files.size(); ++i) {
      if (i > 0) files += ", ";
      files += "<code>" + html_escape(input.files[i]) + "</code>";
    }
    files += ")";
  }
  return row(role, "<code>" + html_escape(input.name) + "</code>" + files + " &middot; " + html_escape(input.option) +
                       " &middot; " + html_escape(input.format) + " &middot; " + std::to_string(input.point_count) +
                       " points");
}

// The smallest 1, 2 or 5 times a power of ten that is at least `v` (> 0).
double nice_at_least(double v) {
  double p = std::pow(10.0, std::floor(std::log10(v)));
  for (;;) {
    for (const double m : {1.0, 2.0, 5.0}) {
      if (m * p >= v) return m * p;
    }
    p *= 10.0;
  }
}

// The histogram of the accepted distances: bars, the filtered tail shaded
// (both tails in a signed run, whose bins are centred on 0), the mean and the
// threshold marked (and mean - std in a signed run).
std::string histogram_svg(const RunResult& result) {
  const Histogram& h = result.distribution.histogram;
  if (h.counts.empty()) return "<p class=\"note\">No accepted distance: nothing to draw.</p>\n";
  const Summary& s = result.summary;
  const bool centred = result.distribution.is_signed;
  constexpr double width = 960, height = 380, left = 70, right = 930, top = 30, bottom = 320;
  // x runs from the first edge (0, or -x_end when centred) to the last.
  const double x_start = h.edges.front(), x_end = h.edges.back();
  const std::int64_t most = *std::max_element(h.counts.begin(), h.counts.end());
  const double y_top = most > 0 ? static_cast<double>(most) : 1.0;
  const auto x_at = [&](double d) {
    return left + (right - left) * std::clamp((d - x_start) / (x_end - x_start), 0.0, 1.0);
  };
  const auto y_at = [&](double count) { return bottom - (bottom - top) * count / y_top; };

  std::string out = "<svg class=\"chart\" viewBox=\"0 0 " + svg(width) + " " + svg(height) +
                    "\" role=\"img\" aria-label=\"Histogram of the accepted distances\">\n";
  // The tail the filter drops: every distance strictly above mean + std.
  const double threshold = static_cast<double>(s.threshold);
  if (std::isfinite(threshold) && threshold < x_end) {
    out += "<rect x=\"" + svg(x_at(threshold)) + "\" y=\"" + svg(top) + "\" width=\"" + svg(right - x_at(threshold)) +
           "\" height=\"" + svg(bottom - top) + "\" fill=\"#f4d6d6\"/>\n";
    out += "<text x=\"" + svg(right - 4) + "\" y=\"" + svg(top + 14) +
           "\" text-anchor=\"end\" class=\"tail\">dropped by the filter</text>\n";
  }
  // A signed run's filter also drops every distance strictly below mean - std.
  const double low = static_cast<double>(s.low_threshold);
  if (centred && std::isfinite(low) && low > x_start) {
    out += "<rect x=\"" + svg(left) + "\" y=\"" + svg(top) + "\" width=\"" + svg(x_at(low) - left) + "\" height=\"" +
           svg(bottom - top) + "\" fill=\"#f4d6d6\"/>\n";
    out += "<text x=\"" + svg(left + 4) + "\" y=\"" + svg(top + 14) + "\" class=\"tail\">dropped by the filter</text>\n";
  }
  for (std::size_t i = 0; i < h.counts.size(); ++i) {
    if (h.counts[i] == 0) continue;
    const double x0 = x_at(h.edges[i]), x1 = x_at(h.edges[i + 1]);
    const double y = y_at(static_cast<double>(h.counts[i]));
    out += "<rect x=\"" + svg(x0 + 0.5) + "\" y=\"" + svg(y) + "\" width=\"" + svg(std::max(x1 - x0 - 1.0, 0.5)) +
           "\" height=\"" + svg(bottom - y) + "\" fill=\"" + colour(histogram_bar_colour) + "\"><title>" +
           shortest(h.edges[i]) + " to " + shortest(h.edges[i + 1]) + ": " + std::to_string(h.counts[i]) +
           " points</title></rect>\n";
  }
  // Axes, about eight labels on bin edges along x, and the largest count on y.
  out += "<line x1=\"" + svg(left) + "\" y1=\"" + svg(bottom) + "\" x2=\"" + svg(right) + "\" y2=\"" + svg(bottom) +
         "\" class=\"axis\"/>\n<line x1=\"" + svg(left) + "\" y1=\"" + svg(top) + "\" x2=\"" + svg(left) +
         "\" y2=\"" + svg(bottom) + "\" class=\"axis\"/>\n";
  const std::size_t step = std::max<std::size_t>(1, (h.counts.size() + 7) / 8);
  // Labels on the edges a whole number of steps from 0, so that 0 is one of them.
  for (std::size_t i = static_cast<std::size_t>(h.negative_bins) % step; i < h.edges.size(); i += step) {
    const double x = x_at(h.edges[i]);
    out += "<line x1=\"" + svg(x) + "\" y1=\"" + svg(bottom) + "\" x2=\"" + svg(x) + "\" y2=\"" + svg(bottom + 5) +
           "\" class=\"axis\"/><text x=\"" + svg(x) + "\" y=\"" + svg(bottom + 20) + "\" text-anchor=\"middle\">" +
           shortest(h.edges[i]) + "</text>\n";
  }
  out += "<text x=\"" + svg(left - 6) + "\" y=\"" + svg(top + 4) + "\" text-anchor=\"end\">" + std::to_string(most) +
         "</text>\n<text x=\"" + svg(left - 6) + "\" y=\"" + svg(bottom) + "\" text-anchor=\"end\">0</text>\n";
  out += "<text x=\"" + svg((left + right) / 2) + "\" y=\"" + svg(bottom + 44) + "\" text-anchor=\"middle\">" +
         (centred ? "signed " : "") + "distance (in the clouds' units), bins of " + shortest(h.width) + "</text>\n";
  out += "<text transform=\"translate(16 " + svg((top + bottom) / 2) +
         ") rotate(-90)\" text-anchor=\"middle\">points</text>\n";
  // The mean and the threshold, labelled at the top.
  const auto marker = [&](double value, const char* css, const std::string& label, double label_y) {
    if (!std::isfinite(value) || value > x_end || value < x_start) return std::string();
    const double x = x_at(value);
    return "<line x1=\"" + svg(x) + "\" y1=\"" + svg(top - 6) + "\" x2=\"" + svg(x) + "\" y2=\"" + svg(bottom) +
           "\" class=\"" + css + "\"/><text x=\"" + svg(x + 4) + "\" y=\"" + svg(label_y) + "\" class=\"" + css +
           "-label\">" + label + "</text>\n";
  };
  out += marker(static_cast<double>(s.stage1.mean), "mean", "mean " + figure(s.stage1.mean), top + 30);
  out += marker(threshold, "threshold", "mean + std " + figure(s.threshold), top + 48);
  if (centred) out += marker(low, "threshold", "mean &minus; std " + figure(s.low_threshold), top + 66);
  return out + "</svg>\n";
}

const char* axis_name(std::int32_t a) { return a == 0 ? "x" : a == 1 ? "y" : "z"; }

// A label of the traits ("Rejected (no normal):") without its colon.
std::string label_of(const char* traits_label) {
  std::string label = traits_label;
  if (label.ends_with(':')) label.pop_back();
  return label;
}

// The parameters of a signed or local-surface run that apply to its method, as it used them.
std::string surface_parameter_rows(const PassResult& pass) {
  const SurfaceSettings& o = pass.settings;
  std::string out = row("Signed distances", pass.is_signed ? "yes" : "no");
  const Orientation& orient = o.orientation;
  out += row("Normals oriented", orient.towards_viewpoint ? "towards (" + shortest(orient.viewpoint.x) + ", " +
                                                                shortest(orient.viewpoint.y) + ", " +
                                                                shortest(orient.viewpoint.z) + ")"
                                                          : std::string("up (z &gt; 0, then y, then x)"));
  switch (pass.method) {
    case Method::nearest_point:
      if (pass.stored_normals)
        out += row("Normals", "stored with the reference, used as stored");
      else if (o.normal_radius > 0.0)
        out += row("Normal radius", shortest(o.normal_radius));
      break;
    case Method::local_plane:
      out += row("Plane points (K)", std::to_string(o.plane_points));
      break;
    case Method::m3c2:
      out += row("Normal radius (R)", shortest(o.m3c2_radius)) + row("Cylinder radius", shortest(o.cylinder_radius)) +
             row("Cylinder half-length", shortest(o.depth)) +
             row("Registration error", shortest(o.registration_error)) +
             row("Minimum points in a cylinder", std::to_string(o.min_points));
      break;
    case Method::plane:
      break;
  }
  return out;
}

// The map with its colour bar (in the clouds' units) and scale bar, in one SVG
// so that they scale together.
std::string map_svg(const RunResult& result, const TopView& view, const std::vector<std::uint8_t>& png) {
  if (png.empty()) return "<p class=\"note\">No test point with finite coordinates: no map.</p>\n";
  const double w = view.width, h = view.height;
  const double bar_x = w + 40, bar_w = 22, bar_h = std::max(120.0, std::min(h, 400.0)) - 10, bar_y = 10;
  const double total_w = w + 190, total_h = h + 70;
  std::string out = "<svg class=\"map\" viewBox=\"0 0 " + svg(total_w) + " " + svg(total_h) +
                    "\" role=\"img\" aria-label=\"Top view coloured by distance\">\n";
  const bool diverging = view.diverging;
  out += diverging ? "<defs><linearGradient id=\"ramp\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">"
                     "<stop offset=\"0\" stop-color=\"#0000ff\"/><stop offset=\"0.5\" stop-color=\"#ffffff\"/>"
                     "<stop offset=\"1\" stop-color=\"#ff0000\"/></linearGradient></defs>\n"
                   : "<defs><linearGradient id=\"ramp\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">"
                     "<stop offset=\"0\" stop-color=\"#00ff00\"/><stop offset=\"0.5\" stop-color=\"#ffff00\"/>"
                     "<stop offset=\"1\" stop-color=\"#ff0000\"/></linearGradient></defs>\n";
  out += "<rect x=\"0\" y=\"0\" width=\"" + svg(w) + "\" height=\"" + svg(h) + "\" fill=\"#ffffff\" stroke=\"#999\"/>\n";
  out += "<image x=\"0\" y=\"0\" width=\"" + svg(w) + "\" height=\"" + svg(h) +
         "\" preserveAspectRatio=\"none\" style=\"image-rendering:pixelated\" href=\"data:image/png;base64," +
         base64_encode(png) + "\"/>\n";

  // The colour bar: 0 at the bottom, the largest accepted distance at the top
  // (a signed run: -+ the largest |d|, 0 in the middle).
  const float distance_max = result.summary.totals.distance_max;
  out += "<rect x=\"" + svg(bar_x) + "\" y=\"" + svg(bar_y) + "\" width=\"" + svg(bar_w) + "\" height=\"" +
         svg(bar_h) + "\" fill=\"url(#ramp)\" stroke=\"#666\"/>\n";
  const bool measured = result.summary.totals.accepted_count > 0;
  for (int k = 0; k <= 2; ++k) {
    const double y = bar_y + bar_h * (1.0 - k / 2.0);
    const double at = diverging ? static_cast<double>(distance_max) * (k - 1) : static_cast<double>(distance_max) * k / 2.0;
    const std::string label = measured ? figure(static_cast<float>(at)) : std::string("-");
    out += "<text x=\"" + svg(bar_x + bar_w + 6) + "\" y=\"" + svg(y + 4) + "\">" + label + "</text>\n";
  }
  const auto swatch = [&](double y, Rgb fill, const char* first, const char* second) {
    return "<rect x=\"" + svg(bar_x) + "\" y=\"" + svg(y) + "\" width=\"" + svg(bar_w) + "\" height=\"14\" fill=\"" +
           colour(fill) + "\" stroke=\"#666\"/><text x=\"" + svg(bar_x + bar_w + 6) + "\" y=\"" + svg(y + 11) + "\">" +
           first + "</text><text x=\"" + svg(bar_x + bar_w + 6) + "\" y=\"" + svg(y + 26) + "\">" + second +
           "</text>\n";
  };
  const Rgb grey{excluded_grey, excluded_grey, excluded_grey};
  out += swatch(bar_y + bar_h + 16, diverging ? signed_excluded_colour : grey, "outlier,", "rejected");
  if (diverging && result.pass.method == Method::m3c2)
    out += swatch(bar_y + bar_h + 50, not_significant_colour, "within", "LoD95");

  // The scale bar: a round length of about a fifth of the map's width.
  const double length = nice_at_least(w * view.pixel_size / 5.0);
  const double pixels = length / view.pixel_size;
  const double y = h + 28;
  out += "<path d=\"M0 " + svg(y - 6) + " V" + svg(y) + " H" + svg(pixels) + " V" + svg(y - 6) +
         "\" fill=\"none\" stroke=\"#222\" stroke-width=\"2\"/><text x=\"" + svg(pixels + 8) + "\" y=\"" + svg(y) +
         "\">" + shortest(length) + " (clouds' units)</text>\n";
  out += "<text x=\"0\" y=\"" + svg(h + 54) + "\" class=\"note\">" + std::string(axis_name(view.across_axis)) +
         " to the right, " + axis_name(view.up_axis) + " up; one pixel is " + format_text("%.4g", view.pixel_size) +
         " units</text>\n";
  return out + "</svg>\n";
}

const char* page_style =
    "body{font:15px/1.4 system-ui,sans-serif;margin:24px auto;max-width:1120px;padding:0 16px;color:#222}"
    "h1{font-size:24px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 8px}"
    "table{border-collapse:collapse;margin:4px 0 12px}th,td{padding:3px 12px 3px 0;text-align:left;"
    "vertical-align:top}th{font-weight:600}td.n{text-align:right;font-variant-numeric:tabular-nums}"
    ".grid{display:flex;flex-wrap:wrap;gap:8px 40px}code{font-size:14px}"
    "svg{display:block;width:100%;height:auto;font-size:13px}svg.chart{max-width:960px}"
    ".axis{stroke:#444}.mean{stroke:#222;stroke-dasharray:6 4;stroke-width:2}.mean-label{fill:#222}"
    ".threshold{stroke:#b02020;stroke-width:2}.threshold-label{fill:#b02020}.tail{fill:#a04040}.note{color:#555;fill:#555}"
    ".warn{color:#a04000}";

}  // namespace

std::string html_report(const RunResult& result, const TopView& view, const std::vector<std::uint8_t>& png) {
  const Summary& s = result.summary;
  const PassTotals& totals = s.totals;
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>ptdelta: " +
      html_escape(result.run.test.name) + " against " + html_escape(result.run.reference.name) + "</title>\n<style>" +
      page_style + "</style>\n</head>\n<body>\n<h1>Distances of the test cloud from the reference</h1>\n" +
      "<p class=\"note\">ptdelta " PTDELTA_VERSION "</p>\n";

  out += "<h2>Inputs and parameters</h2>\n<table>\n";
  out += input_rows("Reference", result.run.reference) + input_rows("Test", result.run.test);
  out += row("maxdist", figure(result.run.maxdist)) + row("Box half-width", figure(result.run.box_half_width)) +
         row("Method", method_traits(result.run.method).description) +
         row("Coordinate shift", "(" + shortest(result.run.shift.x) + ", " + shortest(result.run.shift.y) + ", " +
                                     shortest(result.run.shift.z) + ")") +
         row("Threads", std::to_string(result.run.threads));
  const PassResult& pass = result.pass;
  const bool surface_run = !pass.surface.empty();
  if (surface_run) out += surface_parameter_rows(pass);
  out += "</table>\n";
  if (!result.run.warnings.empty()) {
    out += "<ul class=\"warn\">\n";
    for (const std::string& w : result.run.warnings) out += "<li>" + html_escape(w) + "</li>\n";
    out += "</ul>\n";
  }

  out += "<h2>Figures</h2>\n<div class=\"grid\">\n<table>\n<tr><th colspan=\"2\">Points</th></tr>\n";
  const auto count_row = [](const char* label, std::int64_t n) {
    return "<tr><td>" + std::string(label) + "</td><td class=\"n\">" + std::to_string(n) + "</td></tr>\n";
  };
  out += count_row("Test points", result.run.test.point_count) + count_row("Accepted", totals.accepted_count);
  if (!surface_run) {
    out += count_row("Beyond maxdist (outliers)", totals.outlier_count) +
           count_row("Rejected (no plane)", totals.rejected_count);
  } else {
    // The lines stage 1 shows for the method.
    const MethodTraits& traits = *s.traits;
    if (traits.has_outliers) out += count_row("Beyond maxdist (outliers)", totals.outlier_count);
    if (traits.rejected_label != nullptr) out += count_row(label_of(traits.rejected_label).c_str(), totals.rejected_count);
    if (traits.too_few_label != nullptr) out += count_row(label_of(traits.too_few_label).c_str(), totals.too_few_count);
  }
  out += count_row("Non-finite coordinates", result.non_finite_count()) +
         count_row("Dropped by the filter", s.stage1.point_count - s.stage2.point_count) + "</table>\n";

  const auto figure_row = [](const char* label, const std::string& a, const std::string& b) {
    return "<tr><td>" + std::string(label) + "</td><td class=\"n\">" + a + "</td><td class=\"n\">" + b +
           "</td></tr>\n";
  };
  out += s.is_signed ? "<table>\n<tr><th></th><th>Stage 1: accepted</th><th>Stage 2: within mean &plusmn; std</th></tr>\n"
                     : "<table>\n<tr><th></th><th>Stage 1: accepted</th><th>Stage 2: within mean + std</th></tr>\n";
  out += figure_row("Checked points", std::to_string(s.stage1.point_count), std::to_string(s.stage2.point_count));
  if (s.reports_significance) {
    out += figure_row("Significant changes",
                      std::to_string(totals.significant_count) + " (" + figure(s.significant_percent) + " %)", "");
    out += figure_row("Mean LoD95", figure(s.mean_lod95), "");
  }
  out += figure_row(s.is_signed ? "Max dist (largest |d|)" : "Max dist", figure(totals.distance_max), "");
  out += figure_row("Mean Dif", figure(s.stage1.mean), figure(s.stage2.mean));
  out += figure_row("Std Dev", figure(s.stage1.std_dev), figure(s.stage2.std_dev));
  out += figure_row("MAD", figure(s.stage1.mad), figure(s.stage2.mad));
  out += figure_row("RMS", figure(s.stage1.rms), figure(s.stage2.rms));
  if (s.is_signed) out += figure_row("Threshold (mean &minus; std)", figure(s.low_threshold), "");
  out += figure_row("Threshold (mean + std)", figure(s.threshold), "");
  out += result.distribution.is_signed
             ? "</table>\n<table>\n<tr><th colspan=\"2\">Percentiles of the signed distances</th></tr>\n"
             : "</table>\n<table>\n<tr><th colspan=\"2\">Percentiles of the accepted distances</th></tr>\n";
  for (std::size_t k = 0; k < percentile_levels.size(); ++k) {
    const std::string value = result.distribution.count > 0 ? figure(result.distribution.percentiles[k]) : "-";
    out += "<tr><td>" + std::to_string(percentile_levels[k]) + " %</td><td class=\"n\">" + value + "</td></tr>\n";
  }
  out += "</table>\n</div>\n";

  if (s.reports_significance) {
    out += "<p><strong>Significant change: " + std::to_string(totals.significant_count) + " of " +
           std::to_string(totals.accepted_count) + " accepted points (" + figure(s.significant_percent) +
            " %) changed by more than their level of detection (mean LoD95 " + figure(s.mean_lod95) + ").</strong></p>\n";
  }
  if (!view.diverging) {
    out += "<h2>Distribution of the accepted distances</h2>\n" + histogram_svg(result);
    out += "<h2>Top view of the test cloud</h2>\n<p class=\"note\">Each pixel shows the largest accepted distance "
           "among the points on it, on a scale from 0 (green) through half the largest accepted distance (yellow) to "
           "the largest (red); points with no accepted distance are grey.</p>\n";
  } else {
    out += "<h2>Distribution of the signed distances</h2>\n" + histogram_svg(result);
    out += "<h2>Top view of the test cloud</h2>\n<p class=\"note\">Each pixel shows, of the points on it, the "
           "accepted distance of largest |d| (in 65 steps a side; of one step, the positive), on a scale from "
           "minus the largest |d| (blue) through 0 (white) to the largest (red)";
    if (pass.method == Method::m3c2)
      out += "; changes within their LoD95 are grey and show only where no significant change falls";
    out += "; points with no accepted distance are black, pixels with no point light grey.</p>\n";
  }
  out += map_svg(result, view, png);
  return out + "</body>\n</html>\n";
}

Failure write_html_report(OutputFile& file, const RunResult& result) {
  TopView view = begin_top_view(result.test_extent, result.pass);
  result.test_points.each_block([&](const PointBlock& block) {
    draw_top_view(view, block.points, block.first, result.pass, result.summary.totals.distance_max);
    return true;
  });
  std::vector<std::uint8_t> png;
  if (view.width > 0 && !encode_png(view, png)) return Failure::out_of_memory;
  file.write(html_report(result, view, png));
  return Failure::none;
}

}  // namespace ptdelta
