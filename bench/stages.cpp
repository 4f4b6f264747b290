// stages.cpp - the time of every stage of one text run, and the full scan timed on a sample of it
//
//   stages REF.txt TEST.txt OUT.ply [MAXDIST [FULL_SCAN_SAMPLE [THREADS]]]
//
// Runs the stages of a comparison in one process, as the tool does (load the
// reference, load the test cloud, comparison pass with the spatial index,
// statistics and log, export) on THREADS threads (0, the default: every hardware thread,
// as the tool without -t), and prints "key value" lines on standard output.
// The tool's own console text goes to standard error as usual.
//
// With FULL_SCAN_SAMPLE > 0 (method A runs only) it then runs the comparison pass
// again with the full scan, over that many test points taken at an even stride
// from the whole test cloud, against the whole reference cloud. A full-scan query
// tests every reference point, so its cost is linear in the number of test points
// and the full pass over the whole test cloud is the sample time scaled by
// test count / sample count. The sample's distances must equal, bit for bit, the
// indexed distances of the same points: the speed-up is only worth stating if the
// answers are the same.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/exact.h"
#include "core/failure.h"
#include "core/parallel.h"
#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "distance/spatial_index.h"
#include "input/byte_source.h"
#include "input/text_reader.h"
#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/output_file.h"
#include "report/ply_export.h"
#include "report/statistics.h"
#include "support/full_scan.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void print_seconds(const char* key, double seconds) { std::printf("%s %.4f\n", key, seconds); }

// The tool's loading frame without its banners: read, close.
bool load_text_cloud(const char* name, ptdelta::PointColumns& cloud, int threads) {
  std::FILE* in = std::fopen(name, "r");
  if (in == nullptr) return false;
  ptdelta::Failure failure;
  {
    ptdelta::ByteSource source(in);
    ptdelta::PointAppender out(cloud, ptdelta::no_progress());
    failure = ptdelta::read_text_cloud(source, out, threads).failure;
  }
  std::fclose(in);
  return failure == ptdelta::Failure::none;
}

std::uint32_t bits_of(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// FNV-1a over the bits of Cd: a result that changed shows up as another checksum.
std::uint64_t checksum(const std::vector<float>& cd) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (const float v : cd) {
    std::uint32_t b = bits_of(v);
    for (int i = 0; i < 4; ++i, b >>= 8) {
      h ^= b & 0xffU;
      h *= 0x100000001b3ULL;
    }
  }
  return h;
}

// The points of `cloud` in a fixed pseudo-random order (Fisher-Yates on
// std::mt19937_64, whose output the standard fixes; std::shuffle's is not).
ptdelta::PointColumns shuffled_copy(const ptdelta::PointColumns& cloud) {
  ptdelta::PointColumns copy;
  const auto n = static_cast<std::size_t>(cloud.count);
  copy.x.assign(cloud.x.begin(), cloud.x.begin() + cloud.count);
  copy.y.assign(cloud.y.begin(), cloud.y.begin() + cloud.count);
  copy.z.assign(cloud.z.begin(), cloud.z.begin() + cloud.count);
  copy.count = cloud.count;
  std::mt19937_64 engine(0x5eedULL);
  for (std::size_t i = n; i > 1; --i) {
    const auto k = static_cast<std::size_t>(engine() % i);
    std::swap(copy.x[i - 1], copy.x[k]);
    std::swap(copy.y[i - 1], copy.y[k]);
    std::swap(copy.z[i - 1], copy.z[k]);
  }
  return copy;
}

int fail(const char* what, const char* name) {
  std::fprintf(stderr, "stages: %s %s\n", what, name);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ptdelta;
  if (argc < 4 || argc > 7) {
    std::fputs("usage: stages REF.txt TEST.txt OUT.ply [MAXDIST [FULL_SCAN_SAMPLE [THREADS]]]\n", stderr);
    return 2;
  }
  const char* reference_name = argv[1];
  const char* test_name = argv[2];
  const std::string export_name = argv[3];
  const float maxdist = argc > 4 ? std::strtof(argv[4], nullptr) : 5.0f;
  const long sample_wanted = argc > 5 ? std::strtol(argv[5], nullptr, 10) : 0;
  const long threads_wanted = argc > 6 ? std::strtol(argv[6], nullptr, 10) : 0;
  const int threads = threads_wanted > 0 && threads_wanted <= 1024 ? static_cast<int>(threads_wanted) : available_threads();
  const float h = derive_box_half_width(maxdist);

  const Clock::time_point run_start = Clock::now();
  PointColumns reference, test;
  Clock::time_point t = Clock::now();
  if (!load_text_cloud(reference_name, reference, threads)) return fail("cannot load", reference_name);
  const double load_reference = seconds_since(t);
  t = Clock::now();
  if (!load_text_cloud(test_name, test, threads)) return fail("cannot load", test_name);
  const double load_test = seconds_since(t);

  // The pass builds its own index; this separate build only tells how much of
  // the pass the build is.
  double index_build = 0.0;
  {
    SpatialIndex index;
    t = Clock::now();
    if (build_spatial_index(reference, h, index) != Failure::none) return fail("cannot build the index for", "");
    index_build = seconds_since(t);
  }

  PassResult result;
  t = Clock::now();
  if (comparison_pass(reference, test, maxdist, threads, no_progress(), result) != Failure::none)
    return fail("comparison pass failed on", test_name);
  const double pass = seconds_since(t);
  const std::vector<float>& cd = result.cd;
  const PassTotals totals = result.totals;
  const bool method_a = result.method == Method::nearest_point;
  const std::uint64_t cd_checksum = checksum(cd);

  // The indexed distances of a sample, for the full scan to match.
  std::int32_t sample_count = 0, stride = 1;
  if (method_a && sample_wanted > 0 && test.count > 0) {
    sample_count = sample_wanted < test.count ? static_cast<std::int32_t>(sample_wanted) : test.count;
    stride = test.count / sample_count;
  }
  PointColumns sample;
  std::vector<float> sample_expected;
  for (std::int32_t k = 0; k < sample_count; ++k) {
    const auto j = static_cast<std::size_t>(k) * static_cast<std::size_t>(stride);
    sample.x.push_back(test.x[j]);
    sample.y.push_back(test.y[j]);
    sample.z.push_back(test.z[j]);
    sample_expected.push_back(cd[j]);
  }
  sample.count = sample_count;

  t = Clock::now();
  RunDescription what;
  what.maxdist = maxdist;
  what.box_half_width = h;
  what.method = result.method;
  what.threads = threads;
  what.test.point_count = test.count;
  RunResult run(std::move(what), test, std::move(result), false);
  {
    OutputFile log;
    const std::string log_name = statistics_log_name(export_name);
    if (log.open(log_name) != Failure::none) return fail("cannot write", log_name.c_str());
    log.write(statistics_report(run.run.method, run.summary));
    if (log.finish() != Failure::none) return fail("cannot write", log_name.c_str());
  }
  const double statistics = seconds_since(t);
  t = Clock::now();
  {
    OutputFile exported;
    if (exported.open(export_name) != Failure::none) return fail("cannot write", export_name.c_str());
    write_coloured_ply(exported, run);
    if (exported.finish() != Failure::none) return fail("cannot write", export_name.c_str());
  }
  const double export_seconds = seconds_since(t);
  const double total = seconds_since(run_start);

  // The optional outputs, each step on its own (not part of the total above):
  // what -json, -html and -ob add to a run.
  t = Clock::now();
  run.test_extent = measure_extent(test);
  run.distribution = describe_distribution(run.pass);
  const double report_distribution = seconds_since(t);
  t = Clock::now();
  {
    OutputFile json;
    if (json.open(export_name + ".json") != Failure::none) return fail("cannot write", "json");
    json.write(json_report(run));
    if (json.finish() != Failure::none) return fail("cannot write", "json");
  }
  const double report_json = seconds_since(t);
  t = Clock::now();
  const TopView view = render_top_view(test, run.test_extent, run.pass, totals.distance_max);
  const double report_top_view = seconds_since(t);
  t = Clock::now();
  std::vector<std::uint8_t> png;
  if (!encode_png(view, png)) return fail("cannot encode", "png");
  const double report_png = seconds_since(t);
  t = Clock::now();
  {
    OutputFile html;
    if (html.open(export_name + ".html") != Failure::none) return fail("cannot write", "html");
    html.write(html_report(run, view, png));
    if (html.finish() != Failure::none) return fail("cannot write", "html");
  }
  const double report_page = seconds_since(t);
  t = Clock::now();
  {
    OutputFile binary;
    if (binary.open(export_name + ".bin.ply") != Failure::none) return fail("cannot write", "binary ply");
    write_binary_ply(binary, run);
    if (binary.finish() != Failure::none) return fail("cannot write", "binary ply");
  }
  const double report_binary_ply = seconds_since(t);

  std::printf("points_reference %d\npoints_test %d\nmethod %s\n", reference.count, test.count, method_a ? "A" : "B");
  print_seconds("load_reference", load_reference);
  print_seconds("load_test", load_test);
  print_seconds("index_build", index_build);
  print_seconds("comparison_pass", pass);
  print_seconds("statistics", statistics);
  print_seconds("export", export_seconds);
  print_seconds("total", total);
  print_seconds("report_distribution", report_distribution);
  print_seconds("report_json", report_json);
  print_seconds("report_top_view", report_top_view);
  print_seconds("report_png", report_png);
  print_seconds("report_html_page", report_page);
  print_seconds("report_json_html", report_distribution + report_json + report_top_view + report_png + report_page);
  print_seconds("report_binary_ply", report_binary_ply);
  std::printf("report_png_bytes %zu\n", png.size());
  std::printf("accepted %d\noutliers %d\ncd_checksum %016llx\n", totals.accepted_count, totals.outlier_count,
              static_cast<unsigned long long>(cd_checksum));

  if (sample_count > 0) {
    PassResult sample_result;
    const std::vector<float>& sample_cd = sample_result.cd;
    t = Clock::now();
    if (testing::full_scan_pass(reference, sample, maxdist, no_progress(), sample_result) !=
        Failure::none)
      return fail("full-scan pass failed on", test_name);
    const double full_scan = seconds_since(t);
    std::int32_t mismatches = 0;
    for (std::size_t k = 0; k < sample_cd.size(); ++k)
      if (bits_of(sample_cd[k]) != bits_of(sample_expected[k])) ++mismatches;
    std::printf("full_scan_points %d\n", sample_count);
    print_seconds("full_scan_seconds", full_scan);
    print_seconds("full_scan_extrapolated",
                  full_scan * static_cast<double>(test.count) / static_cast<double>(sample_count));
    std::printf("full_scan_mismatches %d\n", mismatches);

    // The same sample against the reference points in a fixed random order: a
    // search whose cost depends on the order of the file shows it here. Method
    // A's distances do not depend on it.
    const PointColumns shuffled = shuffled_copy(reference);
    t = Clock::now();
    if (testing::full_scan_pass(shuffled, sample, maxdist, no_progress(), sample_result) !=
        Failure::none)
      return fail("full-scan pass failed on", test_name);
    const double full_scan_shuffled = seconds_since(t);
    mismatches = 0;
    for (std::size_t k = 0; k < sample_cd.size(); ++k)
      if (bits_of(sample_cd[k]) != bits_of(sample_expected[k])) ++mismatches;
    print_seconds("full_scan_shuffled_seconds", full_scan_shuffled);
    print_seconds("full_scan_shuffled_extrapolated",
                  full_scan_shuffled * static_cast<double>(test.count) / static_cast<double>(sample_count));
    std::printf("full_scan_shuffled_mismatches %d\n", mismatches);
  }
  std::fflush(stdout);
  return 0;
}
