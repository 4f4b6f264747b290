#include "support/laz_data.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ptdelta::testing {

const std::string& laz_data_dir() {
  static const std::string dir = [] {
    if (const char* env = std::getenv("PTDELTA_LAZ_TESTDATA")) return std::string(env) + "/";
    for (const char* d : {PTDELTA_SOURCE_DIR "/../shared/testdata/laz/", PTDELTA_SOURCE_DIR "/../../shared/testdata/laz/"})
      if (std::filesystem::exists(d)) return std::string(d);
    return std::string(PTDELTA_SOURCE_DIR "/../shared/testdata/laz/");
  }();
  return dir;
}

bool have_laz_data() { return std::filesystem::exists(laz_data_dir() + "README.md"); }

std::vector<std::uint8_t> laz_data(const std::string& name) {
  std::ifstream in(laz_data_dir() + name, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace ptdelta::testing
