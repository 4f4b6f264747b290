// ply_header_fuzz.cpp - the PLY header parser on arbitrary bytes
// Whatever the header, parsing ends, a found layout names real properties, and counts are never negative.
#include "fuzz_support.h"
#include "input/byte_source.h"
#include "input/ply_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ptdelta;
  ByteSource source(data, size);
  PlyHeader header;
  if (!read_ply_header(source, header)) return 0;
  // Without an end_header line the whole source is consumed.
  if (!header.end_found) PTDELTA_FUZZ_CHECK(source.peek() == -1);
  for (const PlyElement& element : header.elements) {
    if (element.understood) PTDELTA_FUZZ_CHECK(element.count >= 0);
  }
  if (const auto layout = find_vertex_layout(header)) {
    PTDELTA_FUZZ_CHECK(layout->element < header.elements.size());
    const PlyElement& vertex = header.elements[layout->element];
    PTDELTA_FUZZ_CHECK(layout->x < vertex.properties.size());
    PTDELTA_FUZZ_CHECK(layout->y < vertex.properties.size());
    PTDELTA_FUZZ_CHECK(layout->z < vertex.properties.size());
  }
  return 0;
}
