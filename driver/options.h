// options.h - command line, banner and help text
// Positions of the file arguments, the kind of each input, and maxdist.
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
  // A kind is only ever promoted by its flag: "-rp a -r b" still reads b as PLY.
  InputKind reference_kind = InputKind::text;
  InputKind test_kind = InputKind::text;
  float maxdist = 5.0f;
  std::int32_t threads_index = 0;  // "-t N": position of N; 0 means every hardware thread the process may use
};

// The value of "-t": a whole number from 1 to max_threads, nothing else; 0 when invalid.
inline constexpr int max_threads = 1024;
int parse_thread_count(const char* text);

// Every argument is matched against the option words, values included; the last
// of a repeated option wins. An option word in the last position has no value
// and is treated as not given.
RunOptions parse_command_line(int argc, const char* const* argv);

void print_banner();
void print_help();

}  // namespace ptdelta
