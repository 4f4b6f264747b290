// main.cpp - entry point of the ptdelta command
// Everything happens in run(); its result is the exit status.
#include <cstdio>
#include <new>

#include "driver/run.h"
#include "report/output_file.h"

int main(int argc, char** argv) {
  // Before anything is opened: closed standard descriptors on /dev/null, and
  // SIGPIPE and SIGXFSZ as write errors rather than silent deaths.
  ptdelta::prepare_process_io();
  // Stages report their own allocation failures; this catches any other
  // (a reader's block buffer, a message) so a run never ends in an abort.
  try {
    return ptdelta::run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("Cannot allocate MEMORY. Sorry!\n", stderr);
    return ptdelta::exit_failure;
  }
}
