#include "input/laz_reader.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/parallel.h"
#include "input/las_reader.h"
#include "input/laz_file.h"

namespace ptdelta {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// One chunk's decoded x y z, scaled in double, waiting to be joined in file order.
struct DecodedChunk {
  std::unique_ptr<std::uint8_t[]> records;  // the chunk's records (uninitialised room)
  std::size_t room = 0;                     // records' size in bytes
  std::vector<double> xyz;
  bool whole = false;
};

// Decodes `chunk` and scales its coordinates. Room for the records is had
// without being cleared: a chunk's count cannot be trusted, and only the bytes
// the decoder writes are touched.
void decode_chunk(std::span<const std::uint8_t> file, const laz::LazLayout& layout, const LasHeader& header,
                  const laz::LazChunk& chunk, DecodedChunk& into) {
  into.whole = false;
  into.xyz.clear();
  const std::size_t bytes = static_cast<std::size_t>(chunk.points) * layout.record_length;
  if (into.room < bytes) {
    into.records.reset();
    into.room = 0;
    into.records.reset(new std::uint8_t[bytes]);
    into.room = bytes;
  }
  if (laz::decode_laz_chunk(file, layout, chunk, laz::xyz_layers, into.records.get()) != laz::ChunkFailure::none)
    return;
  into.xyz.resize(static_cast<std::size_t>(chunk.points) * 3);
  const auto* record = reinterpret_cast<const char*>(into.records.get());
  for (std::size_t i = 0; i < chunk.points; ++i, record += layout.record_length)
    for (std::size_t axis = 0; axis < 3; ++axis) into.xyz[3 * i + axis] = las_coordinate(record + 4 * axis, header, axis);
  into.whole = true;
}

// Chunks decoded per thread at a time: enough to keep the threads busy while
// the points of the batch before are joined, few enough to keep the memory small.
constexpr std::size_t chunks_per_thread = 2;

// Joins one batch's chunks to the cloud in file order; stops at the first chunk
// that did not decode.
Failure join_batch(const std::vector<DecodedChunk>& decoded, std::size_t n, PointAppender& out, std::int64_t& read,
                   bool& ended_early) {
  for (std::size_t k = 0; k < n; ++k) {
    const DecodedChunk& d = decoded[k];
    if (!d.whole) {
      ended_early = true;
      return Failure::none;
    }
    const std::size_t points = d.xyz.size() / 3;
    for (std::size_t i = 0; i < points; ++i)
      if (!out.add_exact(d.xyz[3 * i], d.xyz[3 * i + 1], d.xyz[3 * i + 2])) return Failure::out_of_memory;
    read += static_cast<std::int64_t>(points);
  }
  return Failure::none;
}

// Batch b decodes while batch b - 1 is joined: the join is the first task of the
// round (one thread takes it, the others decode), so only one thread ever appends.
Failure read_chunks(std::span<const std::uint8_t> file, const laz::LazLayout& layout, const LasHeader& header,
                    const std::vector<laz::LazChunk>& chunks, int threads, PointAppender& out, std::int64_t& read,
                    bool& ended_early) {
  const std::size_t batch = chunks_per_thread * static_cast<std::size_t>(std::max(threads, 1));
  const std::size_t batches = (chunks.size() + batch - 1) / batch;
  std::vector<DecodedChunk> decoded[2];
  for (std::vector<DecodedChunk>& d : decoded) d.resize(std::min(batch, chunks.size()));
  std::uint64_t planned = 0;  // points of the chunks decoded so far
  Failure failure = Failure::none;
  bool stopped = false;
  for (std::size_t b = 0; b <= batches && !stopped; ++b) {
    const std::size_t first = b * batch;
    const std::size_t n = b < batches ? std::min(batch, chunks.size() - first) : 0;
    // The cloud holds at most INT32_MAX points: a larger count is refused before
    // room for its records is asked for.
    for (std::size_t k = 0; k < n; ++k) planned += chunks[first + k].points;
    if (planned > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return Failure::out_of_memory;
    const std::size_t joined = b > 0 ? 1 : 0;
    std::vector<DecodedChunk>& into = decoded[b % 2];
    const std::vector<DecodedChunk>& previous = decoded[(b + 1) % 2];
    const std::size_t previous_n = b > 0 ? std::min(batch, chunks.size() - (b - 1) * batch) : 0;
    run_chunks(static_cast<std::int64_t>(n + joined), threads, [&](std::int64_t task) {
      const auto k = static_cast<std::size_t>(task);
      if (k < joined) {
        failure = join_batch(previous, previous_n, out, read, stopped);
      } else {
        decode_chunk(file, layout, header, chunks[first + k - joined], into[k - joined]);
      }
    });
    if (failure != Failure::none) return failure;
  }
  if (stopped) ended_early = true;
  return Failure::none;
}

}  // namespace

bool is_laz_file(std::string_view first_bytes) { return laz::marks_compression(as_bytes(first_bytes)); }

Failure read_laz_cloud(ByteSource& in, PointAppender& out, FileFacts& facts, int threads) {
  try {
    std::string bytes;
    if (const Failure f = read_rest(in, bytes); f != Failure::none) return f;
    const std::span<const std::uint8_t> file = as_bytes(bytes);
    LasHeader header;
    laz::LazLayout layout;
    if (!parse_las_header(bytes.data(), std::min(bytes.size(), las_header_1_4_size), header) ||
        laz::parse_laz_layout(file, layout) != laz::LazRefusal::none)
      return Failure::unsupported;
    if (layout.point_count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return Failure::unsupported;
    const auto declared = static_cast<std::int64_t>(layout.point_count);
    std::vector<laz::LazChunk> chunks;
    const laz::TableFailure table = laz::list_laz_chunks(file, layout, chunks);
    if (table == laz::TableFailure::bad_version || table == laz::TableFailure::unsupported) return Failure::unsupported;
    std::int64_t read = 0;
    bool ended_early = table != laz::TableFailure::none;
    if (const Failure f = read_chunks(file, layout, header, chunks, threads, out, read, ended_early);
        f != Failure::none)
      return f;
    if (ended_early || read != declared) facts.shortfall = Shortfall{read, declared, "points"};
    return Failure::none;
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

// Compressed files are named as LAS files in messages: they are LAS files to a
// user, and a file that cannot be decoded is an unsupported LAS file.
extern const FormatRow laz_format = {
    .name = "LAS",
    .key = "laz",
    .recognise = is_laz_file,
    .read = read_laz_cloud,
    .help = "LASF with a compressed point format and its LASzip record: LAZ 1.0 to 1.4 (COPC too), x y z",
    // The reader takes the whole input into memory itself and never seeks, so a
    // pipe is copied once, not first by the table and again by the reader.
    .seeks = false};

}  // namespace ptdelta
