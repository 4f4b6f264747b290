// make_clouds.cpp - writes one deterministic scan-like cloud as a text file
//
//   make_clouds ref|test COUNT SEED PATH [spot]
//
// The points come from scan_cloud.h. With "spot", a third of them (picked by a
// hash of their number, so spread through the file) are written as 0 0 0, as
// scanners write missing returns. The file is written under PATH.tmp and
// renamed, so an interrupted run never leaves a file that looks complete.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scan_cloud.h"

namespace {

bool parse_number(const char* text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= 0;
}

int usage() {
  std::fputs("usage: make_clouds ref|test COUNT SEED PATH [spot]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ptdelta::bench;
  if (argc != 5 && !(argc == 6 && std::string(argv[5]) == "spot")) return usage();
  const bool spot = argc == 6;
  const std::string kind = argv[1];
  long long count = 0, seed = 0;
  if ((kind != "ref" && kind != "test") || !parse_number(argv[2], count) || !parse_number(argv[3], seed) ||
      count > 2000000000LL)
    return usage();
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
  long long written = 0;
  bool ok = true;
  generate_scan_cloud(kind == "test" ? CloudKind::test : CloudKind::reference, count,
                      static_cast<std::uint64_t>(seed), [&](const CloudPoint& p) {
                        char line[96];
                        // A multiplicative hash of the point number: each residue mod 3 about as often.
                        const auto hash = static_cast<std::uint64_t>(written) * 0x9e3779b97f4a7c15ULL >> 40;
                        const int n = spot && hash % 3 == 0 ? format_cloud_line(line, CloudPoint{0.0, 0.0, 0.0, false})
                                                            : format_cloud_line(line, p);
                        buffer.insert(buffer.end(), line, line + n);
                        ++written;
                        if (buffer.size() > block - sizeof line) {
                          ok = ok && std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
                          buffer.clear();
                        }
                      });
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
