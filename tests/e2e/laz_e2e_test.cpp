// End-to-end runs on compressed LAS: the same bytes as the plain twin, damaged files, unusable ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/laz_data.h"
#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

#define NEED_LAZ_DATA() \
  if (!have_laz_data()) GTEST_SKIP() << "no LAZ test data at " << laz_data_dir()

std::string data_text(const std::string& name) {
  const std::vector<std::uint8_t> b = laz_data(name);
  return std::string(b.begin(), b.end());
}

void put(std::string& b, std::size_t at, std::uint64_t v, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i, v >>= 8) b[at + i] = static_cast<char>(v & 0xFFu);
}

std::uint64_t get(const std::string& b, std::size_t at, std::size_t size) {
  std::uint64_t v = 0;
  for (std::size_t i = size; i-- > 0;) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

// A run with every "@" in its arguments replaced by `ext`.
RunResult run_as(std::vector<std::string> args, const std::string& ext, const TempDir& dir) {
  for (std::string& a : args)
    if (const std::size_t at = a.find('@'); at != std::string::npos) a.replace(at, 1, ext);
  args.insert(args.end(), {"-o", "out" + ext + ".ply"});
  return run_ptdelta(args, dir.path());
}

TEST(LazRun, SameBytesAsThePlainTwin) {
  NEED_LAZ_DATA();
  TempDir dir;
  for (const char* name : {"lazrs_point10", "lazrs_point-time", "lazrs_point-color", "lazrs_point-time-color",
                           "lazrs_extra-bytes", "lazrs_point-version-1-point-wise", "lazperf_autzen_trim",
                           "lazperf_point10-1.0", "laspy_1_4_w_evlr"})
    for (const char* ext : {".laz", ".las"}) write_file(dir / (std::string(name) + ext), data_text(std::string(name) + ext));
  // The COPC file holds laspy_simple's points in another order: as the reference it must give
  // the same nearest distances, so the same bytes (under a fixed shift: the automatic one
  // follows the first point).
  write_file(dir / "simple.laz", data_text("laspy_simple.copc.laz"));
  write_file(dir / "simple.las", data_text("laspy_simple.las"));
  write_file(dir / "list.laz", "lazrs_point-time.laz\nlazrs_extra-bytes.laz\n");
  write_file(dir / "list.las", "lazrs_point-time.las\nlazrs_extra-bytes.las\n");
  const std::vector<std::vector<std::string>> cases = {
      {"-r", "lazrs_point10@", "-c", "lazrs_point-time@", "-t", "2"},
      {"-r", "lazrs_point-color@", "-c", "lazrs_extra-bytes@", "-d", "0.5", "-t", "1"},
      {"-r", "lazrs_point-version-1-point-wise@", "-c", "lazrs_point-time-color@"},
      {"-r", "lazperf_autzen_trim@", "-c", "lazperf_autzen_trim@", "-t", "2"},
      {"-r", "lazperf_autzen_trim@", "-c", "lazperf_point10-1.0@", "-shift", "none"},
      {"-r", "laspy_1_4_w_evlr@", "-c", "laspy_1_4_w_evlr@", "-d", "0.01"},
      {"-r", "simple@", "-c", "lazrs_point10@", "-t", "2", "-shift", "-637000,-849000,0"},
      {"-rp", "lazrs_point10@", "-cp", "list@"},
  };
  for (const std::vector<std::string>& args : cases) {
    const std::string what = args[1] + " " + args[3];
    const RunResult plain = run_as(args, ".las", dir);
    const RunResult laz = run_as(args, ".laz", dir);
    ASSERT_EQ(plain.status, 0) << what << "\n" << plain.err;
    EXPECT_EQ(laz.status, 0) << what;
    EXPECT_EQ(laz.err, plain.err) << what;
    EXPECT_EQ(read_file(dir / "out.laz.ply.log"), read_file(dir / "out.las.ply.log")) << what;
    EXPECT_EQ(read_file(dir / "out.laz.ply"), read_file(dir / "out.las.ply")) << what;
  }
}

TEST(LazRun, DamagedAndUnusableFiles) {
  NEED_LAZ_DATA();
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n1 0 0\n0 1 0\n");
  // Three chunks of 50000, 50000 and 10000 points behind a table.
  const std::string autzen = data_text("lazperf_autzen_trim.laz");
  const std::size_t points_at = get(autzen, 96, 4);
  const std::uint64_t table_at = get(autzen, points_at, 8);
  // The LASzip VLR's payload: the VLR whose record id is 22204.
  std::size_t payload = get(autzen, 94, 2);
  while (get(autzen, payload + 18, 2) != 22204) payload += 54 + get(autzen, payload + 20, 2);
  payload += 54;

  std::string cut = autzen.substr(0, points_at + (table_at - points_at) / 2);  // inside the second chunk
  std::string zeroed = autzen;  // the second chunk's stream damaged behind a whole table
  const std::size_t middle = points_at + 8 + (table_at - points_at) / 2;
  for (std::size_t i = middle; i < middle + 2000; ++i) zeroed[i] = '\0';
  std::string no_table = autzen;
  put(no_table, points_at, points_at + 3, 8);  // a pointer into the first chunk: the table is not used
  std::string compressor = autzen, item_version = autzen, table_version = autzen;
  put(compressor, payload, 4, 2);
  put(item_version, payload + 34 + 4, 9, 2);  // POINT10 version 9
  put(table_version, table_at, 1, 4);
  const std::string evlr = data_text("laspy_1_4_w_evlr.laz");
  write_file(dir / "cut.laz", cut);
  write_file(dir / "no_table.laz", no_table);
  write_file(dir / "zeroed.laz", zeroed);
  write_file(dir / "whole.laz", autzen);
  write_file(dir / "compressor.laz", compressor);
  write_file(dir / "item_version.laz", item_version);
  write_file(dir / "table_version.laz", table_version);
  write_file(dir / "layered_cut.laz", evlr.substr(0, 5000));  // its one chunk cut short
  const struct {
    const char* file;
    int status;
    std::string tail;  // from the test cloud's final line (or the refusal) to the method's line
  } cases[] = {
      {"cut.laz", 0, "\t50000 final\nWarning: cut.laz ends after 50000 of 110000 points\n"},
      {"zeroed.laz", 0, "\t50000 final\nWarning: zeroed.laz ends after 50000 of 110000 points\n"},
      {"no_table.laz", 0, "\t110000 final\n"},
      {"layered_cut.laz", 1,
       "\t0 final\nWarning: layered_cut.laz ends after 0 of 1000 points\nNo points read from layered_cut.laz\n"},
      {"compressor.laz", 1, "Unsupported LAS file compressor.laz\n"},
      {"item_version.laz", 1, "Unsupported LAS file item_version.laz\n"},
      {"table_version.laz", 1, "Unsupported LAS file table_version.laz\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = run_ptdelta({"-r", "ref.txt", "-c", c.file, "-o", "out.ply", "-t", "2"}, dir.path());
    EXPECT_EQ(r.status, c.status) << c.file << "\n" << r.err;
    const std::size_t test_banner = r.err.find("Loading Test points");
    ASSERT_NE(test_banner, std::string::npos) << r.err;
    std::size_t from = r.err.find('\t', test_banner);
    if (from == std::string::npos) from = r.err.find("Unsupported");
    const std::size_t to = r.err.find("Method: ");
    EXPECT_EQ(r.err.substr(from, to == std::string::npos ? std::string::npos : to - from), c.tail) << c.file;
  }
  // Found by stepping from chunk to chunk, the points are those of the whole file.
  const RunResult whole = run_ptdelta({"-r", "ref.txt", "-c", "whole.laz", "-o", "whole.ply"}, dir.path());
  const RunResult stepped = run_ptdelta({"-r", "ref.txt", "-c", "no_table.laz", "-o", "stepped.ply"}, dir.path());
  EXPECT_EQ(stepped.err, whole.err);
  EXPECT_EQ(read_file(dir / "stepped.ply"), read_file(dir / "whole.ply"));
}

}  // namespace
}  // namespace ptdelta::testing
