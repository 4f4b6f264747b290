// laz_decode.cpp - decodes every chunk of a compressed LAS file on one thread, and says how fast
//
//   laz_decode FILE [ROUNDS]
//
// Reads FILE whole, lists its chunks, then decodes them all into one chunk-sized buffer, once
// with every layer and once with x y z alone (the same for pointwise chunks), ROUNDS times
// (default 3), and prints "key value" lines: the best ns per point of each choice (the
// thread's CPU time, so that other work on the machine disturbs it less) and a
// checksum of the last records of each (so that a faster decoder can be checked for the same
// bytes by eye as well). Not a test: the timings vary with the machine and its load.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "input/laz_file.h"

namespace {

std::vector<std::uint8_t> read_file(const char* path) {
  std::vector<std::uint8_t> bytes;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return bytes;
  std::uint8_t block[1 << 16];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, f)) > 0;) bytes.insert(bytes.end(), block, block + n);
  std::fclose(f);
  return bytes;
}

// The CPU time of this thread: steadier than the wall clock on a machine shared with other work.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Pass {
  double ns_per_point = 0.0;
  std::uint64_t checksum = 0;
  bool ok = true;
};

Pass decode_all(std::span<const std::uint8_t> file, const ptdelta::laz::LazLayout& layout,
                const std::vector<ptdelta::laz::LazChunk>& chunks, ptdelta::laz::LayerSet wanted,
                std::vector<std::uint8_t>& records) {
  Pass pass;
  std::uint64_t points = 0;
  double seconds = 0.0;
  for (const ptdelta::laz::LazChunk& chunk : chunks) {
    const double start = thread_seconds();
    if (ptdelta::laz::decode_laz_chunk(file, layout, chunk, wanted, records.data()) != ptdelta::laz::ChunkFailure::none)
      pass.ok = false;
    seconds += thread_seconds() - start;
    points += chunk.points;
    // FNV-1a over the chunk's records (not timed), so the decode cannot be left out.
    for (std::size_t i = 0; i < chunk.points * layout.record_length; ++i)
      pass.checksum = (pass.checksum ^ records[i]) * 0x100000001b3ULL;
  }
  pass.ns_per_point = points == 0 ? 0.0 : seconds * 1e9 / static_cast<double>(points);
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ptdelta::laz;
  const int rounds = argc == 3 ? std::atoi(argv[2]) : 3;
  if (argc < 2 || argc > 3 || rounds < 1) {
    std::fputs("usage: laz_decode FILE [ROUNDS]\n", stderr);
    return 2;
  }
  const std::vector<std::uint8_t> file = read_file(argv[1]);
  LazLayout layout;
  std::vector<LazChunk> chunks;
  if (parse_laz_layout(file, layout) != LazRefusal::none || list_laz_chunks(file, layout, chunks) != TableFailure::none) {
    std::fprintf(stderr, "laz_decode: %s is not a readable compressed LAS file\n", argv[1]);
    return 1;
  }
  std::uint64_t largest = 0;
  for (const LazChunk& c : chunks) largest = std::max(largest, c.points);
  std::vector<std::uint8_t> records(largest * layout.record_length);
  std::printf("points %llu\nchunks %zu\nformat %u\n", static_cast<unsigned long long>(layout.point_count), chunks.size(),
              unsigned{layout.point_format});
  const struct {
    const char* name;
    LayerSet wanted;
  } choices[] = {{"all", all_layers}, {"xyz", xyz_layers}};
  for (const auto& choice : choices) {
    Pass best;
    for (int r = 0; r < rounds; ++r) {
      const Pass p = decode_all(file, layout, chunks, choice.wanted, records);
      if (r == 0 || p.ns_per_point < best.ns_per_point) best = p;
      if (!p.ok) best.ok = false;
    }
    if (!best.ok) {
      std::fprintf(stderr, "laz_decode: a chunk failed to decode (%s)\n", choice.name);
      return 1;
    }
    std::printf("ns_per_point_%s %.1f\nchecksum_%s %016llx\n", choice.name, best.ns_per_point, choice.name,
                static_cast<unsigned long long>(best.checksum));
  }
  return 0;
}
