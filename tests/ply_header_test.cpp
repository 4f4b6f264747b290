// PLY headers: where they end, which declarations are understood, where x y z are.
#include "input/ply_header.h"

#include <gtest/gtest.h>

#include <string>

namespace ptdelta {
namespace {

PlyHeader parse(const std::string& text) {
  ByteSource in(text.data(), text.size());
  PlyHeader header;
  EXPECT_TRUE(read_ply_header(in, header));
  return header;
}

bool has_layout(const std::string& text) { return find_vertex_layout(parse(text)).has_value(); }

TEST(PlyHeader, EndHeaderIsTheFirstTenCharactersInAnyCase) {
  for (const char* line : {"end_header", "end_header\n", "END_HEADER\r\n", "End_Header", "end_headerXYZ\n"})
    EXPECT_TRUE(is_end_header_line(line)) << line;
  for (const char* line : {" end_header\n", "\tend_header", "end_heade\n", "end-header", "end_headr", ""})
    EXPECT_FALSE(is_end_header_line(line)) << line;
}

TEST(PlyHeader, SourceStandsAfterTheEndHeaderLine) {
  const std::string text = "ply\ncomment x\nEnd_HeaderAnything\r\nBODY";
  ByteSource in(text.data(), text.size());
  PlyHeader header;
  ASSERT_TRUE(read_ply_header(in, header));
  EXPECT_TRUE(header.end_found);
  EXPECT_EQ(in.get(), 'B');
}

TEST(PlyHeader, LongLinesAreOneLineEach) {
  // A long comment whose 1023rd character starts "end_header" is still one line:
  // the header must not end inside it.
  const std::string text = "ply\ncomment " + std::string(1014, 'a') + "end_header\nend_header\nB";
  ASSERT_EQ(text.find("end_header") - 4, 1022u);
  ByteSource in(text.data(), text.size());
  PlyHeader header;
  ASSERT_TRUE(read_ply_header(in, header));
  EXPECT_TRUE(header.end_found);
  EXPECT_EQ(in.get(), 'B');

  // Lines longer than what is kept are consumed whole; a declaration among them is not understood.
  const std::string huge(ply_header_line_limit + 10, 'c');
  EXPECT_TRUE(has_layout("ply\nformat ascii 1.0\ncomment " + huge +
                         "\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\nend_header\n"));
  const PlyHeader h = parse("ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                            "property float z\nproperty float " + huge + "\nend_header\n");
  EXPECT_FALSE(h.understood);
}

TEST(PlyHeader, WithoutEndHeaderTheWholeSourceIsHeader) {
  const std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex 3\n  end_header\n\x01\x02";
  ByteSource in(text.data(), text.size());
  PlyHeader header;
  ASSERT_TRUE(read_ply_header(in, header));
  EXPECT_FALSE(header.end_found);
  EXPECT_EQ(in.peek(), -1);
  EXPECT_EQ(header.format, PlyFormat::binary_little_endian);
}

TEST(PlyHeader, DeclarationsParseWithCrlfCommentsAndAliases) {
  const PlyHeader h = parse(
      "ply\r\nformat binary_big_endian 1.0\r\ncomment made by hand\r\nobj_info anything\r\n"
      "element material 2\r\nproperty uint8 r\r\n"
      "element vertex 12\r\nproperty double z\r\nproperty int16 y\r\nproperty list uchar int vertex_indices\r\n"
      "property float32 x\r\nsomething unknown here\r\nelement face 0\r\nend_header\r\n");
  EXPECT_TRUE(h.understood);
  EXPECT_EQ(h.format, PlyFormat::binary_big_endian);
  ASSERT_EQ(h.elements.size(), 3u);
  EXPECT_EQ(h.elements[0].count, 2);
  const PlyProperty& list = h.elements[1].properties.at(2);
  EXPECT_TRUE(list.is_list && list.count_type == ScalarType::uint8 && list.type == ScalarType::int32);
  const auto layout = find_vertex_layout(h);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->element, 1u);
  EXPECT_EQ(layout->x, 3u);
  EXPECT_EQ(layout->y, 1u);
  EXPECT_EQ(layout->z, 0u);
}

TEST(PlyHeader, VertexLayoutNeedsAnUnderstoodDeclaration) {
  const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
  const std::string head = "ply\nformat ascii 1.0\n";
  EXPECT_TRUE(has_layout(head + "element vertex 3\n" + xyz + "end_header\n"));
  EXPECT_TRUE(has_layout(head + "element face 007\nproperty list uchar int i\nelement vertex 0\n" + xyz +
                         "element edge 1\nproperty bogus e\nend_header\n"));  // what follows the vertices is not read
  // The format line.
  EXPECT_FALSE(has_layout("ply\nelement vertex 3\n" + xyz + "end_header\n"));
  EXPECT_FALSE(has_layout("ply\nformat ascii 2.0\nelement vertex 3\n" + xyz + "end_header\n"));
  EXPECT_FALSE(has_layout("ply\nformat text 1.0\nelement vertex 3\n" + xyz + "end_header\n"));
  EXPECT_FALSE(has_layout(head + "format ascii 1.0\nelement vertex 3\n" + xyz + "end_header\n"));
  // A binary kind is kept even when its line is not understood: its bytes must never be read as text.
  EXPECT_EQ(parse("ply\nformat binary_big_endian\nend_header\n").format, PlyFormat::binary_big_endian);
  EXPECT_EQ(parse(head + "format binary_little_endian 1.0\nend_header\n").format, PlyFormat::binary_little_endian);
  // Counts that do not parse, are negative, or leave the signed 64-bit range.
  for (const char* count : {"-1", "abc", "3.0", "", "9223372036854775808", "3 4"})
    EXPECT_FALSE(has_layout(head + "element vertex " + count + "\n" + xyz + "end_header\n")) << count;
  EXPECT_TRUE(has_layout(head + "element vertex 9223372036854775807\n" + xyz + "end_header\n"));
  // Properties.
  EXPECT_FALSE(has_layout(head + "element vertex 3\n" + xyz + "property float128 w\nend_header\n"));
  EXPECT_FALSE(has_layout(head + "element vertex 3\n" + xyz + "property list float int w\nend_header\n"));
  EXPECT_FALSE(has_layout(head + "element vertex 3\n" + xyz + "property float w extra\nend_header\n"));
  EXPECT_FALSE(has_layout(head + "property float w\nelement vertex 3\n" + xyz + "end_header\n"));
  EXPECT_FALSE(has_layout(head + "element vertex 3\nproperty float x\nproperty float y\nend_header\n"));
  EXPECT_FALSE(has_layout(head + "element vertex 3\nproperty list uchar float x\nproperty float y\n"
                                 "property float z\nend_header\n"));
  EXPECT_FALSE(has_layout(head + "element Vertex 3\n" + xyz + "end_header\n"));
  // An element before the vertices that cannot be skipped by its declaration.
  EXPECT_FALSE(has_layout(head + "element face 2\nproperty list uchar w\nelement vertex 3\n" + xyz + "end_header\n"));
  EXPECT_FALSE(has_layout(head + "element face x\nelement vertex 3\n" + xyz + "end_header\n"));
}

}  // namespace
}  // namespace ptdelta
