// The example's HTML report rendered by a real browser (headless Chromium): the histogram's
// bars and the map's ramp colours must be on the screenshot. CI installs Debian's chromium;
// PTDELTA_SKIP_BROWSER_TEST=1 skips this test where no browser is installed.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "report/html_report.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

std::string find_chromium() {
  for (const char* path : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

struct Screenshot {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const { return rgb.data() + 3 * (std::size_t{y} * width + x); }
};

bool read_png(const std::string& path, Screenshot& shot) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGB;
  shot.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, shot.rgb.data(), 0, nullptr)) return false;
  shot.width = image.width;
  shot.height = image.height;
  return true;
}

TEST(HtmlBrowser, ExampleReportShowsHistogramAndMap) {
  const char* skip = std::getenv("PTDELTA_SKIP_BROWSER_TEST");
  if (skip != nullptr && *skip != '\0' && std::string(skip) != "0") GTEST_SKIP() << "PTDELTA_SKIP_BROWSER_TEST is set";
  const std::string chromium = find_chromium();
  ASSERT_FALSE(chromium.empty()) << "headless Chromium is needed (Debian: apt-get install chromium); "
                                    "set PTDELTA_SKIP_BROWSER_TEST=1 to skip this test";
  TempDir dir;
  const RunResult r = run_ptdelta({"-r", PTDELTA_SOURCE_DIR "/examples/reference.txt", "-c",
                                   PTDELTA_SOURCE_DIR "/examples/test.txt", "-o", "ex.ply", "-html", "ex.html"},
                                  dir.path());
  ASSERT_EQ(r.status, 0) << r.err;

  // A fresh profile, no sandbox (CI runs as root), no network needed: the page is self-contained.
  const std::string command = "timeout 180 " + chromium +
                              " --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run"
                              " --force-device-scale-factor=1 --user-data-dir=" + dir / "profile" +
                              " --window-size=1200,2300 --screenshot=" + dir / "shot.png" + " file://" +
                              dir / "ex.html" + " > " + dir / "chromium.log" + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << read_file(dir / "chromium.log");
  Screenshot shot;
  ASSERT_TRUE(read_png(dir / "shot.png", shot)) << "no screenshot: " << read_file(dir / "chromium.log");

  // The histogram: the bars' exact colour; their box; and separate bars along a row near its bottom.
  const Rgb bar = histogram_bar_colour;
  std::uint32_t bar_pixels = 0, top = shot.height, bottom = 0, left = shot.width, right = 0;
  for (std::uint32_t y = 0; y < shot.height; ++y) {
    for (std::uint32_t x = 0; x < shot.width; ++x) {
      const std::uint8_t* p = shot.at(x, y);
      if (p[0] != bar.red || p[1] != bar.green || p[2] != bar.blue) continue;
      ++bar_pixels;
      top = std::min(top, y);
      bottom = std::max(bottom, y);
      left = std::min(left, x);
      right = std::max(right, x);
    }
  }
  ASSERT_GT(bar_pixels, 5000u) << "no histogram bars on the screenshot";
  std::int32_t bars = 0;
  bool inside = false;
  for (std::uint32_t x = left; x <= right; ++x) {
    const std::uint8_t* p = shot.at(x, bottom - 2);
    const bool is_bar = p[0] == bar.red && p[1] == bar.green && p[2] == bar.blue;
    if (is_bar && !inside) ++bars;
    inside = is_bar;
  }
  EXPECT_GE(bars, 15) << "histogram bars between x " << left << " and " << right;
  EXPECT_GT(bottom - top, 100u) << "the tallest bar is too short";

  // The map, below the histogram: many pixels of the green-yellow-red ramp, green and red among them.
  std::uint32_t ramp = 0, green = 0, red = 0;
  for (std::uint32_t y = bottom + 1; y < shot.height; ++y) {
    for (std::uint32_t x = 0; x < shot.width; ++x) {
      const std::uint8_t* p = shot.at(x, y);
      const bool on_ramp = p[2] <= 8 && (p[1] >= 247 || p[0] >= 247);
      if (!on_ramp) continue;
      ++ramp;
      if (p[0] < 64) ++green;
      if (p[1] < 128) ++red;
    }
  }
  EXPECT_GT(ramp, 200000u) << "the map's ramp colours are missing";
  EXPECT_GT(green, 20000u);
  EXPECT_GT(red, 500u);
}

}  // namespace
}  // namespace ptdelta::testing
