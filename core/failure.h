// failure.h - how a stage of a run ended
// Stages return a Failure; only the driver turns it into a message and an exit status.
#pragma once

namespace ptdelta {

enum class Failure {
  none,
  cannot_open,        // "Couldn't open %s\n"
  out_of_memory,      // "Cannot allocate MEMORY. Sorry!\n"
  cd_out_of_memory,   // "Cannot allocate MEMORY for Cd. Sorry!\n"
  read_error,         // "Couldn't read %s\n"
  write_error,        // "Couldn't write %s\n"
  unsupported,        // "Unsupported %s file %s\n": the format's name, then the file's
  refused_overwrite,  // "Refusing to overwrite input file %s\n"
};

}  // namespace ptdelta
