#include "driver/input_identity.h"

#include <sys/stat.h>

namespace ptdelta {

std::string find_overwritten_input(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs) {
  std::vector<struct stat> input_ids;
  input_ids.reserve(inputs.size());
  for (const std::string& name : inputs) {
    struct stat id {};
    if (stat(name.c_str(), &id) == 0) input_ids.push_back(id);
  }
  for (const std::string& name : outputs) {
    struct stat out {};
    if (stat(name.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) continue;
    for (const struct stat& in : input_ids) {
      if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) return name;
    }
  }
  return {};
}

}  // namespace ptdelta
