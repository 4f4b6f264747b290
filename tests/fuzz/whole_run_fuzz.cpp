// whole_run_fuzz.cpp - load, compare, report and export two small fuzzed clouds
// The first byte picks maxdist (among the awkward ones), the reader of each cloud and the shift;
// the rest is split at the first "###" into reference and test. The pass (on three threads) and
// the full scan must give the same Cd bits and totals: the full scan is the oracle of the index.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/point_cloud.h"
#include "distance/comparison_pass.h"
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/ply_reader.h"
#include "input/text_reader.h"
#include "report/output_file.h"
#include "report/ply_export.h"
#include "report/statistics.h"
#include "support/full_scan.h"

namespace {

using namespace ptdelta;

const float maxdists[] = {5.0f, 0.0f, __builtin_nanf(""), __builtin_inff(), -5.0f, 1e30f, 1e-3f, 1e38f};

// Reads with `rule`; the shift the points were stored with lands in `shift`.
bool load(std::string_view bytes, bool ply, ShiftRule rule, PointColumns& cloud, CoordinateShift& shift) {
  ByteSource source(bytes.data(), bytes.size());
  PointAppender out(cloud, no_progress(), rule);
  const Failure f = ply ? read_ply_cloud(source, out).failure : read_text_cloud(source, out).failure;
  if (f != Failure::none || !out.finish()) return false;
  shift = out.shift();
  return true;
}

char export_folder[] = "/tmp/ptdelta_fuzz.XXXXXX";

void remove_export_folder() {
  const std::string folder = export_folder;
  unlink((folder + "/out.ply").c_str());
  unlink((folder + "/out.ply.log").c_str());
  rmdir(folder.c_str());
}

// A private folder for the export and its log, removed when the process ends.
const std::string& export_name() {
  static const std::string name = [] {
    if (mkdtemp(export_folder) == nullptr) std::abort();
    std::atexit(remove_export_folder);
    return std::string(export_folder) + "/out.ply";
  }();
  return name;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 8192) return 0;
  const std::uint8_t pick = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find("###");
  const std::string_view ref_bytes = rest.substr(0, split);
  const std::string_view test_bytes = split == std::string_view::npos ? std::string_view() : rest.substr(split + 3);

  // Bit 5 of the first byte: the automatic shift, decided by the reference and used for the test cloud.
  PointColumns reference, test;
  CoordinateShift shift, test_shift;
  if (!load(ref_bytes, (pick & 8) != 0, {(pick & 32) != 0, {}}, reference, shift) ||
      !load(test_bytes, (pick & 16) != 0, {false, shift}, test, test_shift))
    return 0;
  PTDELTA_FUZZ_CHECK(test_shift.x == shift.x && test_shift.y == shift.y && test_shift.z == shift.z);
  const float maxdist = maxdists[pick & 7];

  PassResult by_index, by_scan;
  const Failure f1 = comparison_pass(reference, test, maxdist, 3, no_progress(), by_index);
  const Failure f2 = testing::full_scan_pass(reference, test, maxdist, no_progress(), by_scan);
  PTDELTA_FUZZ_CHECK(f1 == f2);
  if (f1 != Failure::none) return 0;
  PTDELTA_FUZZ_CHECK(by_index.cd.size() == by_scan.cd.size());
  for (std::size_t i = 0; i < by_index.cd.size(); ++i) {
    PTDELTA_FUZZ_CHECK(same_bits(by_index.cd[i], by_scan.cd[i]));
    PTDELTA_FUZZ_CHECK(by_index.outcome[i] == by_scan.outcome[i]);
  }
  const PassTotals& t_index = by_index.totals;
  const PassTotals& t_scan = by_scan.totals;
  PTDELTA_FUZZ_CHECK(t_index.accepted_count == t_scan.accepted_count);
  PTDELTA_FUZZ_CHECK(t_index.outlier_count == t_scan.outlier_count);
  PTDELTA_FUZZ_CHECK(t_index.rejected_count == t_scan.rejected_count);
  PTDELTA_FUZZ_CHECK(same_bits(t_index.distance_sum, t_scan.distance_sum));
  PTDELTA_FUZZ_CHECK(same_bits(t_index.distance_max, t_scan.distance_max));
  PTDELTA_FUZZ_CHECK(t_index.accepted_count >= 0 && t_index.accepted_count <= test.count);
  PTDELTA_FUZZ_CHECK(t_index.accepted_count + t_index.outlier_count + t_index.rejected_count == test.count);

  RunDescription what;
  what.method = by_index.method;
  what.shift = shift;
  what.threads = 2;
  const RunResult result(std::move(what), test, std::move(by_index), false);
  const Summary& summary = result.summary;
  PTDELTA_FUZZ_CHECK(summary.stage2.point_count >= 0 && summary.stage2.point_count <= t_scan.accepted_count);
  OutputFile log, exported;
  PTDELTA_FUZZ_CHECK(log.open(statistics_log_name(export_name())) == Failure::none);
  log.write(statistics_report(result.run.method, summary));
  PTDELTA_FUZZ_CHECK(log.finish() == Failure::none);
  PTDELTA_FUZZ_CHECK(exported.open(export_name()) == Failure::none);
  write_coloured_ply(exported, result);
  PTDELTA_FUZZ_CHECK(exported.finish() == Failure::none);
  return 0;
}
