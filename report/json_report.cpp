#include "report/json_report.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace ptdelta {

std::string json_number(float v) {
  if (!std::isfinite(v)) return "null";
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

namespace {

// Length of the valid UTF-8 sequence at s[i] (shortest form, no surrogates,
// at most U+10FFFF), or 0 when the bytes there are not one.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
  const auto byte = [&s](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  std::size_t length = 0;
  std::uint8_t low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void append_escape(std::string& out, std::uint8_t byte) {
  static const char hex[] = "0123456789abcdef";
  out += "\\u00";
  out += hex[byte >> 4];
  out += hex[byte & 0xF];
}

}  // namespace

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<std::uint8_t>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      append_escape(out, byte);
    } else if (byte >= 0x80) {
      const std::size_t length = utf8_sequence_length(text, i);
      if (length == 0) {
        append_escape(out, byte);
      } else {
        out.append(text.substr(i, length));
        i += length;
        continue;
      }
    } else {
      out += c;
    }
    ++i;
  }
  return out + "\"";
}

namespace {

std::string json_integer(std::int64_t v) { return std::to_string(v); }

template <class T, class Format>
std::string json_array(const std::vector<T>& values, Format format) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += format(values[i]);
  }
  return out + "]";
}

std::string string_array(const std::vector<std::string>& values) {
  return json_array(values, [](const std::string& s) { return json_string(s); });
}

// One object of "key": value members, each on its own line at `indent`.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string indent) : indent_(std::move(indent)) {}
  ObjectWriter& member(const char* key, const std::string& value) {
    text_ += first_ ? "{\n" : ",\n";
    first_ = false;
    text_ += indent_ + "  " + json_string(key) + ": " + value;
    return *this;
  }
  std::string close() { return first_ ? "{}" : text_ + "\n" + indent_ + "}"; }

 private:
  std::string indent_, text_;
  bool first_ = true;
};

std::string input_object(const InputReport& input) {
  return ObjectWriter("    ")
      .member("option", json_string(input.option))
      .member("name", json_string(input.name))
      .member("format", json_string(input.format))
      .member("files", string_array(input.files))
      .member("file_formats", string_array(input.file_formats))
      .member("points", json_integer(input.point_count))
      .close();
}

ObjectWriter& stats_members(ObjectWriter& w, const DistanceStats& s) {
  return w.member("mean", json_number(s.mean))
      .member("std_dev", json_number(s.std_dev))
      .member("mad", json_number(s.mad))
      .member("rms", json_number(s.rms));
}

const std::string null = "null";

std::string json_bool(bool v) { return v ? "true" : "false"; }

// A parameter that applies to the run, or null.
std::string length_or_null(bool applies, double v) { return applies ? json_number(v) : null; }
std::string count_or_null(bool applies, std::int64_t v) { return applies ? json_integer(v) : null; }

// The parameters of a signed or local-surface run, as it used them (defaults
// resolved), each null where the method has no such parameter.
void surface_parameters(ObjectWriter& w, const PassResult& pass) {
  const SurfaceSettings& o = pass.settings;
  const bool m3c2 = pass.method == Method::m3c2;
  const Orientation& orient = o.orientation;
  const std::string orientation =
      orient.towards_viewpoint ? json_array(std::vector<double>{orient.viewpoint.x, orient.viewpoint.y, orient.viewpoint.z},
                                            [](double v) { return json_number(v); })
                               : json_string("up");
  w.member("signed", json_bool(pass.is_signed))
      .member("stored_normals", json_bool(pass.stored_normals))
      .member("normal_radius", length_or_null(pass.method == Method::nearest_point && !pass.stored_normals &&
                                                  o.normal_radius > 0.0,
                                              o.normal_radius))
      .member("orientation", orientation)
      .member("plane_points", count_or_null(pass.method == Method::local_plane, o.plane_points))
      .member("m3c2_radius", length_or_null(m3c2, o.m3c2_radius))
      .member("cylinder_radius", length_or_null(m3c2, o.cylinder_radius))
      .member("depth", length_or_null(m3c2, o.depth))
      .member("registration_error", length_or_null(m3c2, o.registration_error))
      .member("min_points", count_or_null(m3c2, o.min_points));
}

}  // namespace

std::string json_report(const RunResult& result) {
  const Summary& summary = result.summary;
  const PassTotals& totals = summary.totals;
  const Distribution& distribution = result.distribution;
  // A signed or local-surface run adds keys of its own; a plain run's document is as it always was.
  const PassResult& pass = result.pass;
  const bool surface_run = !pass.surface.empty();
  const bool m3c2 = pass.method == Method::m3c2;

  const std::string inputs = ObjectWriter("  ")
                                 .member("reference", input_object(result.run.reference))
                                 .member("test", input_object(result.run.test))
                                 .close();
  ObjectWriter parameter_writer("  ");
  parameter_writer.member("maxdist", json_number(result.run.maxdist))
      .member("box_half_width", json_number(result.run.box_half_width))
      .member("method", json_string(method_traits(result.run.method).key))
      .member("shift", json_array(std::vector<double>{result.run.shift.x, result.run.shift.y, result.run.shift.z},
                                  [](double v) { return json_number(v); }))
      .member("threads", json_integer(result.run.threads));
  if (surface_run) surface_parameters(parameter_writer, pass);
  const std::string parameters = parameter_writer.close();

  ObjectWriter count_writer("  ");
  // In a surface run "rejected" holds every kind of rejection, so that the
  // counts still add up to the test points; the kinds follow on their own.
  count_writer.member("test_points", json_integer(result.run.test.point_count))
      .member("accepted", json_integer(totals.accepted_count))
      .member("outliers", json_integer(totals.outlier_count))
      .member("rejected", json_integer(std::int64_t{totals.rejected_count} + totals.too_few_count))
      .member("non_finite", json_integer(result.non_finite_count()));
  if (surface_run) {
    const bool no_plane = pass.method == Method::local_plane;
    count_writer.member("no_normal", json_integer(no_plane ? 0 : totals.rejected_count))
        .member("no_plane", json_integer(no_plane ? totals.rejected_count : 0))
        .member("too_few_points", json_integer(totals.too_few_count));
  }
  const std::string counts = count_writer.close();

  ObjectWriter stage1_writer("  ");
  stage1_writer.member("checked_points", json_integer(summary.stage1.point_count))
      .member("beyond_maxdist", json_integer(totals.outlier_count))
      .member("max", json_number(totals.distance_max));
  stats_members(stage1_writer, summary.stage1);
  if (surface_run) {
    stage1_writer.member("significant_changes", count_or_null(m3c2, totals.significant_count))
        .member("significant_percent", m3c2 ? json_number(summary.significant_percent) : null)
        .member("mean_lod95", m3c2 ? json_number(summary.mean_lod95) : null);
  }
  const std::string stage1 = stage1_writer.close();
  ObjectWriter filter_writer("  ");
  filter_writer.member("threshold", json_number(summary.threshold))
      .member("removed", json_integer(summary.stage1.point_count - summary.stage2.point_count));
  if (surface_run) filter_writer.member("low_threshold", summary.is_signed ? json_number(summary.low_threshold) : null);
  const std::string filter = filter_writer.close();
  ObjectWriter stage2_writer("  ");
  stage2_writer.member("checked_points", json_integer(summary.stage2.point_count));
  const std::string stage2 = stats_members(stage2_writer, summary.stage2).close();

  ObjectWriter percentile_writer("  ");
  for (std::size_t k = 0; k < percentile_levels.size(); ++k) {
    std::string key = "p";
    key += std::to_string(percentile_levels[k]);
    percentile_writer.member(key.c_str(),
                             distribution.count > 0 ? json_number(distribution.percentiles[k]) : std::string("null"));
  }
  const std::string percentiles = percentile_writer.close();

  const Histogram& h = distribution.histogram;
  ObjectWriter histogram_writer("  ");
  histogram_writer.member("bin_width", h.edges.size() > 1 ? json_number(h.width) : null)
      .member("edges", json_array(h.edges, [](double v) { return json_number(v); }))
      .member("counts", json_array(h.counts, json_integer));
  if (surface_run) histogram_writer.member("centred_on_zero", json_bool(distribution.is_signed));
  const std::string histogram = histogram_writer.close();

  const std::string outputs = ObjectWriter("  ")
                                  .member("export", json_string(result.run.export_name))
                                  .member("log", json_string(result.run.log_name))
                                  .close();

  const StageSeconds& t = result.seconds;
  const std::string seconds = ObjectWriter("  ")
                                  .member("load_reference", json_number(t.load_reference))
                                  .member("load_test", json_number(t.load_test))
                                  .member("comparison", json_number(t.comparison))
                                  .member("statistics", json_number(t.statistics))
                                  .member("log_and_export", json_number(t.log_and_export))
                                  .member("reports", json_number(t.reports))
                                  .close();

  return ObjectWriter("")
             .member("tool", json_string("ptdelta"))
             .member("version", json_string(PTDELTA_VERSION))
             .member("inputs", inputs)
             .member("parameters", parameters)
             .member("counts", counts)
             .member("stage1", stage1)
             .member("filter", filter)
             .member("stage2", stage2)
             .member("percentiles", percentiles)
             .member("histogram", histogram)
             .member("outputs", outputs)
             .member("warnings", string_array(result.run.warnings))
             .member("seconds", seconds)
             .close() +
         "\n";
}

Failure write_json_report(OutputFile& file, const RunResult& result) {
  file.write(json_report(result));
  return Failure::none;
}

}  // namespace ptdelta
