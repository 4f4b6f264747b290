// fuzz_support.h - shared pieces of the fuzz targets
// Each target defines LLVMFuzzerTestOneInput; a crash, a sanitizer report or a
// failed check() is a finding. The targets build with libFuzzer (clang) or with
// replay_main.cpp (any compiler) to replay the committed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define PTDELTA_FUZZ_CHECK(condition)                                                  \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
