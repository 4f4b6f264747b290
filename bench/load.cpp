// load.cpp - loads one cloud file the way the tool does, and says how long it took
//
//   load FILE [THREADS]
//
// Opens FILE, recognises its format by content and reads it through the tool's
// readers (an unrecognised file as text) on THREADS threads (1 when not
// given), then prints "key value" lines on standard output: format, points,
// seconds (the read alone, steady clock).
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/cloud_reader.h"

int main(int argc, char** argv) {
  using namespace ptdelta;
  const int threads = argc == 3 ? std::atoi(argv[2]) : 1;
  if (argc < 2 || argc > 3 || threads < 1) {
    std::fputs("usage: load FILE [THREADS]\n", stderr);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "r");
  if (in == nullptr) {
    std::fprintf(stderr, "load: cannot open %s\n", argv[1]);
    return 1;
  }
  PointColumns cloud;
  const auto start = std::chrono::steady_clock::now();
  ReadOutcome outcome;
  {
    ByteSource source(in);
    PointAppender out(cloud, no_progress());
    outcome = read_cloud(InputKind::text, source, out, threads);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fclose(in);
  if (outcome.failure != Failure::none) {
    std::fprintf(stderr, "load: %s was not read\n", argv[1]);
    return 1;
  }
  std::printf("format %s\npoints %d\nseconds %.4f\n", input_format_name(outcome), cloud.count, seconds);
  return 0;
}
