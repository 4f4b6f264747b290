// laz_data.h - the real compressed LAS files the tests check against, and their twins
// Kept beside the clone (not in it); a worktree one folder deeper, or PTDELTA_LAZ_TESTDATA, finds them too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ptdelta::testing {

// The folder, with a trailing '/'; it may not exist (the tests then skip).
const std::string& laz_data_dir();
bool have_laz_data();
// The bytes of file `name` of that folder; empty when it cannot be read.
std::vector<std::uint8_t> laz_data(const std::string& name);

}  // namespace ptdelta::testing
