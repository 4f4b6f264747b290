// main.cpp - entry point of the ptdelta command
// Everything happens in run(); its result is the exit status.
#include "driver/run.h"

int main(int argc, char** argv) { return ptdelta::run(argc, argv); }
