// options.h - command line, banner and help text
// Positions of the file arguments, the kind of each input, maxdist, and the optional outputs.
#pragma once

#include <cstdint>

#include "input/cloud_reader.h"

namespace ptdelta {

// Positions count the arguments as main receives them (0 is the program), so 0
// means "not given". Flags are only ever set.
struct RunOptions {
  std::int32_t reference_index = 0;
  std::int32_t test_index = 0;
  std::int32_t output_index = 0;
  std::int32_t json_index = 0;         // -json: the run as JSON
  std::int32_t html_index = 0;         // -html: the report page
  std::int32_t binary_ply_index = 0;   // -ob: the binary PLY export
  // A kind is only ever promoted by its flag: "-rp a -r b" still reads b as PLY.
  InputKind reference_kind = InputKind::text;
  InputKind test_kind = InputKind::text;
  float maxdist = 5.0f;
};

// Every argument is matched against the option words, values included; the last
// of a repeated option wins. An option word in the last position has no value
// and is treated as not given.
RunOptions parse_command_line(int argc, const char* const* argv);

void print_banner();
void print_help();

}  // namespace ptdelta
