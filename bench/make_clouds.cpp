// make_clouds.cpp - writes one deterministic scan-like cloud as a text, PCD, LAS or compressed LAS file
//
//   make_clouds ref|test COUNT SEED PATH [text|spot|pcd|las|laz1|laz6] [area=POINTS] [random]
//
// The points come from scan_cloud.h. area=POINTS samples the square that holds
// POINTS points at the bench's density (1M points per 200 x 200 mm), so area=COUNT
// keeps the density of the 1M cloud for any count, and a sparser reference can
// cover the same square as its test cloud; without it the square is 200 mm, as
// for every cloud before. "random" writes the points in a fixed random order, as
// an independent sampling gives them, instead of scan-line order (it holds the
// points in memory, 24 bytes each, for the shuffle). Every format holds the same points as the
// text file: pcd is a binary PCD of float x y z, each the value the text line
// reads as; las is LAS 1.2, point format 0, with scale 0.0001 (the text's four
// decimals as integers); laz1 and laz6 are the same points compressed, from LAS
// point format 1 and 6 records with scanner-like other fields (see las_forms.h),
// encoded whole in memory (about 30 bytes a point plus the result). "spot" is
// the text file with a third of the points (picked by a hash of their number,
// so spread through the file) written as 0 0 0, as scanners write missing
// returns. The file is written under PATH.tmp and renamed, so an interrupted run never leaves a file that looks complete.
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "las_forms.h"
#include "scan_cloud.h"

namespace {

bool parse_number(const char* text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= 0;
}

int usage() {
  std::fputs("usage: make_clouds ref|test COUNT SEED PATH [text|spot|pcd|las|laz1|laz6] [area=POINTS] [random]\n", stderr);
  return 2;
}

std::vector<char> pcd_header(long long count) {
  const std::string h = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\n"
                        "TYPE F F F\nCOUNT 1 1 1\nWIDTH " + std::to_string(count) +
                        "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + std::to_string(count) + "\nDATA binary\n";
  return {h.begin(), h.end()};
}

// The LAS point format of a LAS or compressed form; -1 for the others.
int las_point_format(const std::string& format) {
  return format == "las" ? 0 : format == "laz1" ? 1 : format == "laz6" ? 6 : -1;
}

// The three numbers of a formatted text line, as the format stores them.
void append_record(std::vector<char>& out, const std::string& format, const char* line,
                   ptdelta::bench::ScannerFields& fields) {
  if (format != "pcd") {
    fields.append_line(out, las_point_format(format), line);
    return;
  }
  char* end = nullptr;
  const char* p = line;
  for (int axis = 0; axis < 3; ++axis, p = end) ptdelta::bench::put_le<float>(out, std::strtof(p, &end));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ptdelta::bench;
  if (argc < 5) return usage();
  const std::string kind = argv[1];
  std::string format = "text";
  long long area = 0;
  bool random_order = false;
  for (int i = 5; i < argc; ++i) {
    const std::string word = argv[i];
    if (i == 5 && (word == "text" || word == "spot" || word == "pcd" || las_point_format(word) >= 0)) {
      format = word;
    } else if (word.rfind("area=", 0) == 0 && area == 0) {
      if (!parse_number(argv[i] + 5, area) || area == 0 || area > 2000000000LL) return usage();
    } else if (word == "random" && !random_order) {
      random_order = true;
    } else {
      return usage();
    }
  }
  const bool spot = format == "spot";
  long long count = 0, seed = 0;
  if ((kind != "ref" && kind != "test") || !parse_number(argv[2], count) || !parse_number(argv[3], seed) ||
      count > 2000000000LL)
    return usage();
  const double side = area == 0 ? patch_size : side_for_points(area);
  const std::string path = argv[4];
  const std::string temporary = path + ".tmp";

  std::FILE* out = std::fopen(temporary.c_str(), "w");
  if (out == nullptr) {
    std::fprintf(stderr, "make_clouds: cannot create %s\n", temporary.c_str());
    return 1;
  }
  constexpr std::size_t block = std::size_t{1} << 20;
  std::vector<char> buffer;
  buffer.reserve(block);
  if (format == "pcd") buffer = pcd_header(count);
  const int point_format = las_point_format(format);
  // The compressed forms are encoded from the whole LAS file, held in memory (30 bytes a point).
  const bool whole = point_format > 0;
  if (point_format >= 0) buffer = ptdelta::bench::las_header(point_format, static_cast<std::uint64_t>(count));
  if (whole) buffer.reserve(buffer.size() + static_cast<std::size_t>(count) * ptdelta::bench::las_record_length(point_format));
  ptdelta::bench::ScannerFields fields;
  long long written = 0;
  bool ok = true;
  const auto write_point = [&](const CloudPoint& p) {
    char line[96];
    // A multiplicative hash of the point number: each residue mod 3 about as often.
    const auto hash = static_cast<std::uint64_t>(written) * 0x9e3779b97f4a7c15ULL >> 40;
    const int n = spot && hash % 3 == 0 ? format_cloud_line(line, CloudPoint{0.0, 0.0, 0.0, false})
                                        : format_cloud_line(line, p);
    if (format == "text" || spot) {
      buffer.insert(buffer.end(), line, line + n);
    } else {
      append_record(buffer, format, line, fields);
    }
    ++written;
    if (!whole && buffer.size() > block - sizeof line) {
      ok = ok && std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
      buffer.clear();
    }
  };
  const CloudKind cloud_kind = kind == "test" ? CloudKind::test : CloudKind::reference;
  if (random_order) {
    // x y z only: 24 bytes a point, 2.4 GB for 100M (the outlier flag is not written).
    struct Position {
      double x, y, z;
    };
    std::vector<Position> points;
    points.reserve(static_cast<std::size_t>(count));
    generate_scan_cloud(cloud_kind, count, static_cast<std::uint64_t>(seed),
                        [&](const CloudPoint& p) { points.push_back({p.x, p.y, p.z}); }, side);
    shuffle_points(points, static_cast<std::uint64_t>(seed));
    for (const Position& p : points) write_point(CloudPoint{p.x, p.y, p.z, false});
  } else {
    generate_scan_cloud(cloud_kind, count, static_cast<std::uint64_t>(seed), write_point, side);
  }
  if (whole) {
    buffer = ptdelta::bench::compress_las(buffer, point_format);
    ok = ok && !buffer.empty();
  }
  ok = ok && std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
  ok = std::fflush(out) == 0 && !std::ferror(out) && ok;
  ok = std::fclose(out) == 0 && ok;
  if (!ok || written != count || std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "make_clouds: cannot write %s\n", path.c_str());
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}
