// html_report.h - one self-contained HTML page about a run: figures, histogram, top view
// No network and no other file: the histogram and bars are inline SVG, the map an embedded PNG.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "report/output_file.h"
#include "report/png_map.h"
#include "report/run_result.h"

namespace ptdelta {

// Standard base64 (RFC 4648, with '=' padding, no line breaks).
std::string base64_encode(const std::vector<std::uint8_t>& bytes);

// Text with & < > " ' replaced by their character references.
std::string html_escape(std::string_view text);

// Colours the page draws with, named so that tests can find them in a rendering.
inline constexpr Rgb histogram_bar_colour{74, 120, 176};

// The page. `view` is the rendered top view and `png` its encoding (empty when
// there is nothing to show). Nothing in it depends on the time a run took.
std::string html_report(const RunResult& result, const TopView& view, const std::vector<std::uint8_t>& png);

// Renders the top view, encodes it and writes the page to `file`.
// Failure::out_of_memory when the image cannot be encoded; write errors are
// reported by file.finish().
Failure write_html_report(OutputFile& file, const RunResult& result);

}  // namespace ptdelta
