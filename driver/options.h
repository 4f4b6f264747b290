// options.h - command line, banner and help text
// Positions of the file arguments, the kind of each input, maxdist, the shift, the threads, the optional outputs
// and the first invalid value.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/point_cloud.h"
#include "distance/method.h"
#include "input/cloud_reader.h"
#include "report/optional_outputs.h"

namespace ptdelta {

// Positions count the arguments as main receives them (0 is the program), so 0
// means "not given". Flags are only ever set.
struct RunOptions {
  std::int32_t reference_index = 0;
  std::int32_t test_index = 0;
  std::int32_t output_index = 0;
  // One position per row of the optional outputs' table, in its order.
  std::vector<std::int32_t> optional_index;
  // A kind is only ever promoted by its flag: "-rp a -r b" still reads b as PLY.
  InputKind reference_kind = InputKind::text;
  InputKind test_kind = InputKind::text;
  float maxdist = 5.0f;
  ShiftRule shift{true, {}};  // automatic unless -shift is given
  int threads = 0;            // "-t N"; 0 means every hardware thread the process may use
  // The first -d, -shift or -t value on the command line that is not valid; the
  // run reports it and stops before anything else.
  enum class Invalid { none, maxdist, shift, threads, named };
  Invalid invalid = Invalid::none;
  std::int32_t invalid_index = 0;
  const char* invalid_name = nullptr;  // Invalid::named: the option word without its dash
  // -signed, -normals, -orient, -plane, -m3c2, -cylinder, -depth, -regerror, -minpoints.
  SurfaceSettings surface;
  // A run split into tiles: -tiles SIZE or -mem BYTES (0 when not given), the
  // -work folder, and which step of it this process does (-plan, -task N, -merge).
  double tile_size = 0.0;
  std::int32_t tiles_index = 0;
  std::int64_t memory_budget = 0;
  std::int32_t work_index = 0;
  bool plan_only = false;
  bool merge = false;
  std::int32_t task_index = 0;  // the position of -task's value, 0 when not given
  std::int64_t task = -1;       // its value; -1 when it is not a number
  bool tiled() const { return tile_size > 0.0 || memory_budget > 0; }
};

// The method a run measures with: M3C2 when -m3c2 is given, else the
// least-squares plane when -plane is, else the one the point counts choose.
Method chosen_method(const RunOptions& options, std::int32_t reference_count, std::int32_t test_count);

// Whether the reference's stored normals are read: only for a signed run that
// -m3c2 or -plane does not give to a method of its own, since only the signed
// nearest point uses them (a run of these options that the point counts give
// the three-point plane stops before its pass).
bool reads_stored_normals(const RunOptions& options);

// A length value (-normals, -m3c2, -cylinder, -depth, -regerror): converted
// whole by strtod, finite, not negative, and for a radius greater than 0.
bool parse_length(const char* text, bool radius, double& value);

// A count value (-plane, -minpoints): decimal digits only, at least `least`,
// at most INT32_MAX.
bool parse_count(const char* text, std::int32_t least, std::int32_t& value);

// An -orient value: "up", or X,Y,Z (three finite fields) of a viewpoint.
bool parse_orientation(const char* text, Orientation& orientation);

// A -d value: converted whole by strtod, not negative, not NaN (0 and inf are
// valid), rounded to float. False when it is not valid.
bool parse_maxdist(const char* text, float& maxdist);

// A -shift value: "none", or three comma-separated fields each converted whole
// by strtod and finite. "0,0,0" is the same as "none". False when not valid.
bool parse_shift(const char* text, ShiftRule& shift);

// A -t value: a whole number from 1 to max_threads in decimal digits, nothing
// else. False when it is not valid.
inline constexpr int max_threads = 1024;
bool parse_thread_count(const char* text, int& threads);

// A -mem value: decimal digits, then optionally K, M or G (powers of 1024);
// more than 0 and at most 2^62. False when not valid.
bool parse_memory_size(const char* text, std::int64_t& bytes);

// Every argument is matched against the option words (those of `outputs`
// among them), values included; the last of a repeated option wins. An option
// word in the last position has no value and is treated as not given.
RunOptions parse_command_line(int argc, const char* const* argv,
                              std::span<const OptionalOutput> outputs = optional_outputs());

void print_banner();
// The help text, then the lines of the options added since (those of `outputs` among them).
void print_help(std::span<const OptionalOutput> outputs = optional_outputs());

}  // namespace ptdelta
