// End-to-end runs on PLY inputs: lists of files, their failures, and a complete run.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <string>
#include <vector>

#include "support/run_tool.h"

namespace ptdelta::testing {
namespace {

const std::string reference_banner = "Loading Reference points ................";
const std::string test_banner = "Loading Test points .......................";
const std::string progress_500 = "\b\b\b\b\b\b\b\b     500";

std::string nine_field_ply(int first, int n) {
  std::string s = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(n) +
                  "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
                  "property float nz\nproperty uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
  for (int i = 0; i < n; ++i) s += std::to_string(first + i) + " 0.5 0 0 0 1 255 255 255\n";
  return s;
}

TEST(PlyRun, ListOfTwoFilesCountsOnAcrossThem) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n");
  write_file(dir / "a.ply", nine_field_ply(0, 300));
  write_file(dir / "b.ply", nine_field_ply(300, 300));
  write_file(dir / "list.txt", "a.ply\nb.ply\n");
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-cp", "list.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string loading =
      reference_banner + "\t1 final\n" + test_banner + progress_500 + "\t600 final\n";
  EXPECT_EQ(r.err.substr(banner_text().size(), loading.size()), loading);
  EXPECT_TRUE(r.err.ends_with("Done.\n"));
}

TEST(PlyRun, AMissingThirdFileStopsTheRun) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n");
  write_file(dir / "a.ply", nine_field_ply(0, 300));
  write_file(dir / "b.ply", nine_field_ply(300, 300));
  write_file(dir / "list.txt", "a.ply\nb.ply\nc.ply\n");
  const RunResult r = run_ptdelta({"-r", "ref.txt", "-cp", "list.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner_text() + reference_banner + "\t1 final\n" + test_banner + progress_500 +
                       "Couldn't open c.ply\n");
  EXPECT_FALSE(file_exists(dir / "out.ply"));
  EXPECT_FALSE(file_exists(dir / "out.ply.log"));
}

TEST(PlyRun, APlyFileGivenAsAListIsReadAsThatFile) {
  TempDir dir;
  write_file(dir / "ref.txt", "0 0 0\n");
  write_file(dir / "scan.ply", nine_field_ply(0, 3));
  // -cp wins over -cpl, and the file named last is the one read; its first line
  // says it is a PLY file, not a list.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-r", "ref.txt", "-cp", "scan.ply", "-o", "o"},
                                               {"-r", "ref.txt", "-cp", "x.txt", "-cpl", "scan.ply", "-o", "o"}}) {
    const RunResult r = run_ptdelta(args, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, banner_text().size() + reference_banner.size() + test_banner.size() + 18),
              banner_text() + reference_banner + "\t1 final\n" + test_banner + "\t3 final\n");
  }
}

TEST(PlyRun, BinaryWithoutAVertexDeclarationIsRefused) {
  TempDir dir;
  write_file(dir / "bin.ply", "ply\nformat binary_little_endian 1.0\nelement face 1\n"
                              "property list uchar int vertex_indices\nend_header\n" +
                                  std::string("\x03\0\0\0\0", 5) + " 1 2 3 4 5 6 7 8 9\n");
  write_file(dir / "test.txt", "0 0 0\n");
  const RunResult r = run_ptdelta({"-rp", "bin.ply", "-c", "test.txt", "-o", "out.ply"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, banner_text() + reference_banner + "Unsupported PLY file bin.ply\n");
  EXPECT_FALSE(file_exists(dir / "out.ply"));
}

template <class T>
void put(std::string& s, T value) {
  const auto raw = std::bit_cast<std::array<char, sizeof(T)>>(value);
  if constexpr (std::endian::native == std::endian::little) {
    s.append(raw.data(), raw.size());
  } else {
    s.append(raw.rbegin(), raw.rend());
  }
}

// The same clouds as text files and as PLY files (ASCII reference, binary test
// with double coordinates and a face list) give the same console, log and export.
TEST(PlyRun, CompleteRunOnPlyInputsMatchesTheTextRun) {
  TempDir dir;
  std::string ref_txt, ref_ply_body, test_txt, test_ply_body;
  int ref_n = 0, test_n = 0;
  for (int i = 0; i < 40; ++i)
    for (int j = 0; j < 30; ++j, ++ref_n) {
      const std::string row = std::to_string(i) + ".25 " + std::to_string(j) + " " + std::to_string((i * j) % 7);
      ref_txt += row + "\n";
      ref_ply_body += row + " 0 0 1 10 20 30\r\n";
    }
  for (int i = 0; i < 700; ++i, ++test_n) {
    const double x = (i % 41) - 0.5, y = (i % 29) + 0.125, z = (i % 5) * 0.5;
    test_txt += std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(z) + "\n";
    put<double>(test_ply_body, y);
    put<std::uint8_t>(test_ply_body, 7);
    put<double>(test_ply_body, x);
    put<float>(test_ply_body, static_cast<float>(z));
  }
  put<std::uint8_t>(test_ply_body, 3);
  for (const int k : {0, 1, 2}) put<std::int32_t>(test_ply_body, k);
  write_file(dir / "ref.txt", ref_txt);
  write_file(dir / "test.txt", test_txt);
  write_file(dir / "ref.ply", "ply\r\nformat ascii 1.0\r\nelement vertex " + std::to_string(ref_n) +
                                  "\r\nproperty float x\r\nproperty float y\r\nproperty float z\r\n"
                                  "property float nx\r\nproperty float ny\r\nproperty float nz\r\nproperty uchar red\r\n"
                                  "property uchar green\r\nproperty uchar blue\r\nend_header\r\n" + ref_ply_body);
  write_file(dir / "test.ply", "ply\nformat binary_little_endian 1.0\ncomment from a scanner\nelement vertex " +
                                   std::to_string(test_n) +
                                   "\nproperty double y\nproperty uchar confidence\nproperty float64 x\n"
                                   "property float z\nelement face 1\nproperty list uchar int vertex_indices\n"
                                   "end_header\n" + test_ply_body);

  const RunResult text = run_ptdelta({"-r", "ref.txt", "-c", "test.txt", "-o", "text.ply", "-d", "0.6"}, dir.path());
  const RunResult ply = run_ptdelta({"-rp", "ref.ply", "-cpl", "test.ply", "-o", "ply.ply", "-d", "0.6"}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(ply.status, 0) << ply.err;
  EXPECT_NE(ply.err.find("\t1200 final\n"), std::string::npos);
  EXPECT_NE(ply.err.find("\t700 final\n"), std::string::npos);
  EXPECT_EQ(ply.err, text.err);
  EXPECT_EQ(read_file(dir / "ply.ply.log"), read_file(dir / "text.ply.log"));
  EXPECT_EQ(read_file(dir / "ply.ply"), read_file(dir / "text.ply"));
}

}  // namespace
}  // namespace ptdelta::testing
