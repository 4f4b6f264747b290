// replay_main.cpp - runs a fuzz target once on every file named, or in a folder named
// Linked instead of libFuzzer so the committed corpus replays under any compiler.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

bool read_all(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  std::uint8_t block[4096];
  std::size_t n = 0;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) bytes.insert(bytes.end(), block, block + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

void collect(const std::string& path, std::vector<std::string>& files) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name[0] != '.') collect(path + "/" + name, files);
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fputs("replay: no inputs found\n", stderr);
    return 1;
  }
  std::vector<std::uint8_t> bytes;
  for (const std::string& file : files) {
    if (!read_all(file, bytes)) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 1;
    }
    // Printed first, so a crash names its input.
    std::fprintf(stdout, "%s\n", file.c_str());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::fprintf(stdout, "replayed %zu inputs\n", files.size());
  return 0;
}
