// input_identity.h - whether an output would overwrite one of the inputs
// Files are compared by device and inode, so "./a.txt", "a.txt" and a link to it all match.
#pragma once

#include <string>
#include <vector>

namespace ptdelta {

// The first of `outputs` (in order) that is an existing regular file and the same
// file as one of `inputs`; empty when none is. Names that cannot be examined
// (missing, unreadable folder) match nothing. Outputs that are devices or pipes
// are written directly and never replace a file, so they are not refused.
std::string find_overwritten_input(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

}  // namespace ptdelta
