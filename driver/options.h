// options.h - command line, banner and help text
// Positions of the file arguments, the input-kind flags, maxdist, and the box half-width derived from it.
#pragma once

#include <cstdint>

namespace ptdelta {

// Positions count the arguments as main receives them (0 is the program), so 0
// means "not given". Flags are only ever set.
struct RunOptions {
  std::int32_t reference_index = 0;
  std::int32_t test_index = 0;
  std::int32_t output_index = 0;
  bool rp_seen = false;
  bool cp_seen = false;
  bool cpl_seen = false;
  float maxdist = 5.0f;
  float box_half_width = 0.0f;  // "-l"; always replaced by derive_box_half_width
};

// Every argument is matched against the option words, values included; the last
// of a repeated option wins. An option word in the last position has no value
// and is treated as not given.
RunOptions parse_command_line(int argc, const char* const* argv);

// sqrt(maxdist * maxdist * 3): product in double rounded to float, root in
// double rounded to float.
float derive_box_half_width(float maxdist);

void print_banner();
void print_help();

}  // namespace ptdelta
