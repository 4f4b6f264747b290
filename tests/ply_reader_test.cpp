// PLY files and lists: nine-field rows against the fscanf oracle, declared ASCII and binary bodies, lists of files.
#include "input/ply_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/exact.h"
#include "input/cloud_list.h"
#include "support/oracles.h"
#include "support/run_tool.h"

namespace ptdelta {
namespace {

using testing::read_ply_rows_fscanf;

using Point = std::array<float, 3>;

struct Read {
  Failure failure = Failure::none;
  PlyReadResult result;
  std::vector<Point> points;
  std::vector<std::array<std::uint32_t, 3>> bits;
};

Read collect(PlyReadResult result, const PointColumns& cloud) {
  Read r{result.failure, result, {}, {}};
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i) {
    r.points.push_back({cloud.x[i], cloud.y[i], cloud.z[i]});
    r.bits.push_back({std::bit_cast<std::uint32_t>(cloud.x[i]), std::bit_cast<std::uint32_t>(cloud.y[i]),
                      std::bit_cast<std::uint32_t>(cloud.z[i])});
  }
  return r;
}

// From memory in one piece, or (block > 0) from a stream in blocks of `block` bytes,
// so that fields, header lines and binary records straddle block ends.
Read read_ply(const std::string& bytes, std::size_t block = 0) {
  PointColumns cloud;
  if (block == 0 || bytes.empty()) {
    ByteSource in(bytes.data(), bytes.size());
    PointAppender out(cloud, no_progress());
    const PlyReadResult f = read_ply_cloud(in, out);
    return collect(f, cloud);
  }
  std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
  EXPECT_NE(file, nullptr);
  PlyReadResult f;
  {
    ByteSource in(file, block);
    PointAppender out(cloud, no_progress());
    f = read_ply_cloud(in, out);
  }
  std::fclose(file);
  return collect(f, cloud);
}

Read read_oracle(const std::string& bytes) {
  PointColumns cloud;
  if (bytes.empty()) return collect({}, cloud);
  std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
  EXPECT_NE(file, nullptr);
  const Failure f = read_ply_rows_fscanf(file, cloud);
  std::fclose(file);
  return collect({f, 0, 0, 0}, cloud);
}

// Binary bodies in either byte order.
struct Bytes {
  bool big_endian = false;
  std::string s;
  template <class T>
  Bytes& put(T value) {
    auto raw = std::bit_cast<std::array<unsigned char, sizeof(T)>>(value);
    if ((std::endian::native == std::endian::big) != big_endian) std::reverse(raw.begin(), raw.end());
    s.append(reinterpret_cast<const char*>(raw.data()), raw.size());
    return *this;
  }
};

const std::string xyz_float = "property float x\nproperty float y\nproperty float z\n";
const std::string nine_properties = xyz_float +
                                    "property float nx\nproperty float ny\nproperty float nz\n"
                                    "property uchar red\nproperty uchar green\nproperty uchar blue\n";

std::string ascii_header(int vertices, const std::string& properties = nine_properties,
                         const std::string& after = "") {
  return "ply\nformat ascii 1.0\nelement vertex " + std::to_string(vertices) + "\n" + properties + after +
         "end_header\n";
}

// ---- nine-field rows (headers without a usable declaration) ----

TEST(PlyNineFieldRows, RowsHeadersAndFacesAsBefore) {
  const std::string rows = "1 2 3 0 0 1 255 0 0\n4.5 -5 6e1 0 0 1 0 255 0\n";
  for (const char* end : {"end_header\n", "END_HEADER\n", "End_Header\n", "end_header and more\n"}) {
    const Read r = read_ply(std::string("ply\ncomment no declaration\n") + end + rows);
    EXPECT_EQ(r.points, (std::vector<Point>{{1, 2, 3}, {4.5f, -5, 60}})) << end;
  }
  // A line with blanks before end_header does not end the header: everything is header.
  EXPECT_TRUE(read_ply("ply\n  end_header\n" + rows).points.empty());
  // Rows of x y z r g b: the second row's x is the seventh field; its "." stops the eighth.
  EXPECT_TRUE(read_ply("ply\nend_header\n1.0 2.0 3.0 4 5 6\n7.0 8.0 9.0 1 2 3\n").points.empty());
  // Without a declared count, face rows whose integers convert in nines are points too.
  const Read faces = read_ply("ply\nend_header\n" + rows + "3 0 1 2\n3 1 2 0\n3 2 0 1\n3 0 1\n");
  EXPECT_EQ(faces.points.size(), 3u);
  EXPECT_EQ(faces.points[2], (Point{3, 0, 1}));
  // An ASCII header whose vertex element has no z falls back to the rows as well.
  EXPECT_EQ(read_ply(ascii_header(1, "property float x\nproperty float y\n") + rows).points.size(), 2u);
  EXPECT_TRUE(read_ply("").points.empty());
}

// Random bodies, friendly and hostile, against fscanf: same points, bit for bit.
TEST(PlyNineFieldRows, MatchesFscanfOnRandomBodies) {
  const std::vector<std::string> numbers = {"0",    "-0",    "+7",    "12",     "255",   "-2147483649", "99999999999",
                                            "1.5",  "-.5",   "5.",    "1e5",    "-2.25e-3", "1e+",  "1e",   "1e-",
                                            "inf",  "-Inf",  "nan",   "NAN(12)", "0x1p3", "0X.8P-1", "3.4028236e38",
                                            "1e-46", "7.0064923e-46", "0.1", "123456789012345678901234567890"};
  const std::vector<std::string> junk = {"abc", ",", "-", "+", ".", "e5", "x", "--1", "0x", "1,5"};
  const std::vector<std::string> blanks = {" ", "\n", "\t", "\r\n", "  ", "\v", "\f"};
  const std::vector<std::string> headers = {"ply\nformat ascii 1.0\nend_header\n", "ply\nEND_HEADERx\n",
                                            "ply\ncomment " + std::string(1500, 'h') + "\nend_header\n",
                                            "ply\nelement vertex 5\nend_header", "no end at all\n"};
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
    std::string body = pick(headers);
    const int fields = static_cast<int>(rng() % 60);
    for (int i = 0; i < fields; ++i) {
      const auto kind = static_cast<unsigned>(rng() % 20);
      if (kind == 0) {
        body += pick(junk);
      } else if (kind < 5) {
        body += pick(numbers);
      } else {
        // Mostly the well-formed fields a row would have in that place.
        body += (i % 9 < 6) ? std::to_string(static_cast<int>(rng() % 2001) - 1000) + "." + std::to_string(rng() % 1000)
                            : std::to_string(rng() % 256);
      }
      // Occasionally no blank: a following sign or "." may still start a new field.
      if (rng() % 10 != 0) body += pick(blanks);
    }
    const Read expected = read_oracle(body);
    for (const std::size_t block : {std::size_t{0}, std::size_t{1 + seed % 7}}) {
      const Read got = read_ply(body, block);
      ASSERT_EQ(got.failure, expected.failure) << "seed=" << seed;
      ASSERT_EQ(got.bits, expected.bits) << "seed=" << seed << " block=" << block << "\n" << body;
    }
  }
}

// ---- ASCII bodies read by their declaration ----

TEST(PlyAsciiDeclared, WellFormedNineFieldFilesReadAsTheRows) {
  for (std::uint32_t seed = 1; seed <= 50; ++seed) {
    std::mt19937 rng(seed);
    const int n = static_cast<int>(rng() % 40);
    std::string body;
    for (int i = 0; i < n; ++i) {
      for (int k = 0; k < 6; ++k)
        body += std::to_string(static_cast<int>(rng() % 20001) - 10000) + "." + std::to_string(rng() % 100000) + "e" +
                std::to_string(static_cast<int>(rng() % 9) - 4) + " ";
      body += std::to_string(rng() % 256) + " " + std::to_string(rng() % 256) + " " + std::to_string(rng() % 256) +
              (seed % 2 ? "\r\n" : "\n");
    }
    const std::string file = ascii_header(n) + body;
    const Read expected = read_oracle(file);
    ASSERT_EQ(expected.bits.size(), static_cast<std::size_t>(n)) << "seed=" << seed;
    ASSERT_EQ(read_ply(file).bits, expected.bits) << "seed=" << seed;
  }
}

TEST(PlyAsciiDeclared, ReadsByDeclarationAndStopsAfterTheVertices) {
  // Any order, integer and double types, a list inside the vertex, an element
  // before the vertices (with a list), faces after them, CRLF line ends.
  const std::string header =
      "ply\r\nformat ascii 1.0\r\ncomment scanner\r\nelement camera 2\r\nproperty float f\r\n"
      "property list uchar int ids\r\nelement vertex 3\r\nproperty uchar quality\r\nproperty double z\r\n"
      "property list int float extra\r\nproperty int x\r\nproperty float y\r\nelement face 2\r\n"
      "property list uchar int vertex_indices\r\nend_header\r\n";
  const std::string body =
      "1.5 2 7 8\r\n0.5 0\r\n"
      "9 3.25 0 -4 1e1\r\n"
      "255 -1e-2 2 0.5 0.25 2147483647 +2.\r\n"
      "0 0.1 1 9 -0 -0\r\n"
      "3 0 1 2\r\n3 2 1 0\r\n";
  const Read r = read_ply(header + body);
  EXPECT_EQ(r.failure, Failure::none);
  EXPECT_EQ(r.points, (std::vector<Point>{{-4, 10, 3.25f}, {2147483648.0f, 2, -0.01f}, {0, -0.0f, 0.1f}}));
  EXPECT_TRUE(std::signbit(r.points[2][1]));
  // The same through tiny blocks.
  EXPECT_EQ(read_ply(header + body, 3).bits, r.bits);
}

TEST(PlyAsciiDeclared, StopsSilentlyAtTheFirstFieldThatDoesNotConvert) {
  const std::string header = ascii_header(5, xyz_float + "property uchar red\n");
  EXPECT_EQ(read_ply(header + "1 2 3 4\n5 6 7 8\n9 10 x 12\n13 14 15 16\n").points,
            (std::vector<Point>{{1, 2, 3}, {5, 6, 7}}));
  // An integer field written with a decimal point: "%d" takes 4, and ".0" is the next vertex's x.
  EXPECT_EQ(read_ply(header + "1 2 3 4.0\n5 6 7 8\n").points, (std::vector<Point>{{1, 2, 3}, {0, 5, 6}}));
  // Fewer vertices than declared: the complete ones.
  EXPECT_EQ(read_ply(header + "1 2 3 4\n5 6 7").points.size(), 1u);
  // A negative list count ends the body.
  EXPECT_EQ(read_ply(ascii_header(3, xyz_float + "property list char int l\n") + "1 2 3 0\n4 5 6 -1\n7 8 9 0\n")
                .points.size(),
            1u);
  // Declared count 0, or an element before the vertices that runs out: no point.
  EXPECT_TRUE(read_ply(ascii_header(0) + "1 2 3 4 5 6 7 8 9\n").points.empty());
  EXPECT_TRUE(read_ply("ply\nformat ascii 1.0\nelement face 3\nproperty int a\nelement vertex 1\n" + xyz_float +
                       "end_header\n1 2\n")
                  .points.empty());
}

// ---- binary bodies ----

std::string binary_header(bool big_endian, const std::string& declarations) {
  return std::string("ply\nformat ") + (big_endian ? "binary_big_endian" : "binary_little_endian") + " 1.0\n" +
         declarations + "end_header\n";
}

TEST(PlyBinary, BothByteOrdersFloatAndDoubleWithExtrasBeforeAndAfter) {
  for (const bool big : {false, true}) {
    const std::string header = binary_header(
        big, "element material 2\nproperty uchar r\nproperty double s\n"
             "element vertex 3\nproperty ushort flags\nproperty double z\nproperty list uint8 int32 rings\n"
             "property float x\nproperty float64 y\nproperty int8 q\n"
             "element face 1\nproperty list uchar int vertex_indices\n");
    Bytes b{big, ""};
    b.put<std::uint8_t>(1).put(2.5).put<std::uint8_t>(3).put(4.5);                      // materials
    b.put<std::uint16_t>(7).put(0.1).put<std::uint8_t>(2).put<std::int32_t>(5).put<std::int32_t>(6);
    b.put(1.5f).put(-2.0).put<std::int8_t>(-1);                                          // vertex 0
    b.put<std::uint16_t>(0).put(1e300).put<std::uint8_t>(0).put(-0.0f).put(3.0).put<std::int8_t>(0);
    b.put<std::uint16_t>(9).put(-1e-300).put<std::uint8_t>(1).put<std::int32_t>(2).put(7.0f).put(1e-50).put<std::int8_t>(5);
    b.put<std::uint8_t>(3).put<std::int32_t>(0).put<std::int32_t>(1).put<std::int32_t>(2);  // the face
    const Read r = read_ply(header + b.s);
    EXPECT_EQ(r.failure, Failure::none);
    ASSERT_EQ(r.points.size(), 3u) << big;
    EXPECT_EQ(r.points[0], (Point{1.5f, -2.0f, static_cast<float>(0.1)}));
    EXPECT_EQ(r.points[1], (Point{-0.0f, 3.0f, std::numeric_limits<float>::infinity()}));
    EXPECT_EQ(r.bits[2][1], 0u);            // 1e-50 rounds to +0
    EXPECT_EQ(r.bits[2][2], 0x80000000u);   // -1e-300 rounds to -0
    EXPECT_EQ(r.points[2][0], 7.0f);
    for (const std::size_t block : std::initializer_list<std::size_t>{1, 5, 13}) EXPECT_EQ(read_ply(header + b.s, block).bits, r.bits) << block;
  }
}

TEST(PlyBinary, EveryScalarTypeAsACoordinate) {
  for (const bool big : {false, true}) {
    Bytes b{big, ""};
    b.put<std::int8_t>(-128).put<std::uint8_t>(255).put<std::int16_t>(-32768)
        .put<std::uint16_t>(65535).put<std::int32_t>(-2147483647 - 1).put<std::uint32_t>(4294967295u)
        .put(0.3f).put(0.3);
    const std::string header =
        binary_header(big, "element vertex 2\nproperty char x\nproperty uchar y\nproperty short z\n"
                           "property ushort a\nproperty int b\nproperty uint c\nproperty float d\nproperty double e\n");
    // The second vertex reuses the record with x y z moved onto the other five.
    const std::string other =
        binary_header(big, "element vertex 1\nproperty char p\nproperty uchar q\nproperty short r\n"
                           "property ushort x\nproperty int y\nproperty uint z\nproperty float s\nproperty double t\n");
    const std::string doubles =
        binary_header(big, "element vertex 1\nproperty int8 p\nproperty uint8 q\nproperty int16 r\n"
                           "property uint16 u\nproperty int32 v\nproperty uint32 y\nproperty float32 z\nproperty float64 x\n");
    EXPECT_EQ(read_ply(header + b.s).points, (std::vector<Point>{{-128, 255, -32768}}));  // second one truncated
    EXPECT_EQ(read_ply(other + b.s).points, (std::vector<Point>{{65535, -2147483648.0f, 4294967296.0f}}));
    EXPECT_EQ(read_ply(doubles + b.s).points, (std::vector<Point>{{static_cast<float>(0.3), 4294967296.0f, 0.3f}}));
  }
}

TEST(PlyBinary, TruncatedBodiesKeepTheCompleteVertices) {
  Bytes b{false, ""};
  for (int i = 0; i < 4; ++i) b.put(static_cast<float>(i)).put(1.0f).put(2.0f);
  const std::string header = binary_header(false, "element vertex 4\n" + xyz_float);
  for (std::size_t cut = 0; cut <= b.s.size(); ++cut)
    EXPECT_EQ(read_ply(header + b.s.substr(0, cut)).points.size(), cut / 12) << cut;
  // A list count that is negative or beyond the signed 32-bit range ends the body.
  const std::string listed = binary_header(false, "element vertex 3\n" + xyz_float + "property list int uint8 l\n");
  Bytes l{false, ""};
  l.put(1.0f).put(2.0f).put(3.0f).put<std::int32_t>(1).put<std::uint8_t>(9);
  l.put(4.0f).put(5.0f).put(6.0f).put<std::int32_t>(-1);
  l.put(7.0f).put(8.0f).put(9.0f).put<std::int32_t>(0);
  EXPECT_EQ(read_ply(listed + l.s).points, (std::vector<Point>{{1, 2, 3}}));
  const std::string huge = binary_header(false, "element vertex 2\n" + xyz_float + "property list uint uint8 l\n");
  Bytes h{false, ""};
  h.put(1.0f).put(2.0f).put(3.0f).put<std::uint32_t>(0).put(4.0f).put(5.0f).put(6.0f).put<std::uint32_t>(0x80000000u);
  EXPECT_EQ(read_ply(huge + h.s).points, (std::vector<Point>{{1, 2, 3}}));
}

TEST(PlyDeclared, HugeCountsNeitherLoopNorOverflow) {
  // An element without properties takes nothing, however many items it declares;
  // a vertex count beyond any store ends at the end of the data.
  EXPECT_EQ(read_ply("ply\nformat ascii 1.0\nelement nothing 9223372036854775807\nelement vertex "
                     "9223372036854775807\n" + xyz_float + "end_header\n1 2 3\n4 5 6\n").points,
            (std::vector<Point>{{1, 2, 3}, {4, 5, 6}}));
  Bytes b{true, ""};
  b.put(1.0f).put(2.0f).put(3.0f);
  EXPECT_EQ(read_ply(binary_header(true, "element nothing 9223372036854775807\nelement vertex 9223372036854775807\n" +
                                             xyz_float) + b.s)
                .points,
            (std::vector<Point>{{1, 2, 3}}));
  // Skipping count * stride bytes beyond 64 bits ends the data.
  EXPECT_TRUE(read_ply(binary_header(true, "element big 9223372036854775807\nproperty double a\nelement vertex 1\n" +
                                               xyz_float) + b.s)
                  .points.empty());
}

TEST(PlyBinary, WithoutAVertexDeclarationIsUnsupported) {
  const std::string body = "\x01\x02\x03\x04 1 2 3 4 5 6 7 8 9\n";
  for (const std::string& declarations :
       std::vector<std::string>{"", "element vertex 1\nproperty float x\nproperty float y\n",
        "element face 1\nproperty list uchar\nelement vertex 1\n" + xyz_float,
        "element vertex 1\nproperty list uchar float x\nproperty float y\nproperty float z\n"}) {
    EXPECT_EQ(read_ply(binary_header(false, declarations) + body).failure, Failure::unsupported) << declarations;
    EXPECT_EQ(read_ply(binary_header(true, declarations) + body).failure, Failure::unsupported) << declarations;
  }
  EXPECT_EQ(read_ply("ply\nformat binary_little_endian 1.1\nelement vertex 1\n" + xyz_float + "end_header\n" + body)
                .failure,
            Failure::unsupported);
  // No end_header: the whole file is header, and there is no body to refuse.
  const Read r = read_ply("ply\nformat binary_little_endian 1.0\n" + body);
  EXPECT_EQ(r.failure, Failure::none);
  EXPECT_TRUE(r.points.empty());
}

// ---- how a body ended, and reading under a shift ----

TEST(PlyEnd, StopLineOfRowsAndCountsOfDeclaredVertices) {
  struct Case {
    const char* name;
    std::string bytes;
    std::int64_t stopped_at_line, declared, read;
  };
  const std::string rows_header = "ply\ncomment rows\nend_header\n";  // lines 1-3
  const std::string row = "1 2 3 0 0 1 9 9 9\n";
  const std::vector<Case> cases = {
      {"rows to the end", rows_header + row + row + "\n \n", 0, 0, 0},
      {"rows: incomplete group", rows_header + row + row + "1 2 3 0 0 1\n", 6, 0, 0},
      {"rows: a word after a blank line", rows_header + row + "\n  faces\n", 6, 0, 0},
      {"rows: nothing converts", rows_header + "x\n", 4, 0, 0},
      {"header only", "ply\nend_hea", 0, 0, 0},
      {"declared, all read", ascii_header(2, xyz_float) + "1 2 3\n4 5 6\n", 0, 2, 2},
      {"declared, body short", ascii_header(3, xyz_float) + "1 2 3\n4 5", 0, 3, 1},
      {"declared, a field that does not convert", ascii_header(3, xyz_float) + "1 2 3\nx 5 6\n7 8 9\n", 0, 3, 1},
      {"declared, an element before the vertices runs out",
       "ply\nformat ascii 1.0\nelement face 2\nproperty int a\nelement vertex 1\n" + xyz_float + "end_header\n1\n",
       0, 1, 0},
      {"declared binary, truncated", binary_header(false, "element vertex 2\n" + xyz_float) + std::string(20, '\0'), 0,
       2, 1},
  };
  for (const Case& c : cases) {
    for (const std::size_t block : {std::size_t{0}, std::size_t{2}, std::size_t{5}}) {
      const Read r = read_ply(c.bytes, block);
      EXPECT_EQ(r.result.stopped_at_line, c.stopped_at_line) << c.name << " block=" << block;
      EXPECT_EQ(r.result.vertices_declared, c.declared) << c.name;
      EXPECT_EQ(r.result.vertices_read, c.read) << c.name;
      if (c.declared > 0) {
        EXPECT_EQ(static_cast<std::int64_t>(r.points.size()), c.read) << c.name;
      }
    }
  }
}

// Under a shift every body goes through double: ASCII floats "%lf", integers and
// binary fields widened; the shift is added in double and the sum rounded once.
TEST(PlyShift, EveryKindOfBodyReadsThroughDouble) {
  const CoordinateShift shift{-512000.0, -5412000.0, 0.0};
  const Point expected = {shifted_single(512345.678, shift.x), shifted_single(5412345.3, shift.y),
                          shifted_single(250.1, shift.z)};
  Bytes b{true, ""};
  b.put(512345.678).put(5412345.3).put(250.1);
  Bytes f{false, ""};
  f.put(512345.678f).put<std::int32_t>(5412345).put(250.1f);
  const std::vector<std::pair<std::string, Point>> files = {
      {ascii_header(1, "property double x\nproperty float y\nproperty double z\n") + "512345.678 5412345.3 250.1\n",
       expected},
      {"ply\nend_header\n512345.678 5412345.3 250.1 0 0 1 9 9 9\n", expected},
      {binary_header(true, "element vertex 1\nproperty double x\nproperty double y\nproperty double z\n") + b.s,
       expected},
      {binary_header(false, "element vertex 1\nproperty float x\nproperty int y\nproperty float z\n") + f.s,
       {shifted_single(static_cast<double>(512345.678f), shift.x), 345.0f, 250.1f}},
  };
  for (const auto& [bytes, point] : files) {
    for (const ShiftRule rule : {ShiftRule{false, shift}, ShiftRule{true, {}}}) {
      PointColumns cloud;
      PointAppender out(cloud, no_progress(), rule);
      ByteSource in(bytes.data(), bytes.size());
      EXPECT_EQ(read_ply_cloud(in, out).failure, Failure::none);
      EXPECT_EQ(out.shift().x, shift.x);
      EXPECT_EQ(out.shift().y, shift.y);
      ASSERT_EQ(cloud.count, 1) << bytes;
      EXPECT_EQ((Point{cloud.x[0], cloud.y[0], cloud.z[0]}), point) << bytes;
    }
  }
}

// ---- ASCII bodies on several threads ----

// The whole outcome of one read, coordinates as bits.
struct Outcome {
  PlyReadResult result;
  std::vector<std::array<std::uint32_t, 3>> bits;
  bool operator==(const Outcome& o) const {
    return result.failure == o.result.failure && result.stopped_at_line == o.result.stopped_at_line &&
           result.vertices_declared == o.result.vertices_declared && result.vertices_read == o.result.vertices_read &&
           bits == o.bits;
  }
};

// From memory, or (block > 0) from a stream in blocks of `block` bytes, so that
// the bytes the threads put back meet block ends too.
Outcome read_with(const std::string& bytes, PlyReadOptions options, ShiftRule rule, std::size_t block = 0) {
  PointColumns cloud;
  PointAppender out(cloud, no_progress(), rule);
  Outcome o;
  if (block == 0 || bytes.empty()) {
    ByteSource in(bytes.data(), bytes.size());
    o.result = read_ply_cloud(in, out, options);
  } else {
    std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
    EXPECT_NE(file, nullptr);
    {
      ByteSource in(file, block);
      o.result = read_ply_cloud(in, out, options);
    }
    std::fclose(file);
  }
  EXPECT_TRUE(out.finish());
  o.bits = collect(o.result, cloud).bits;
  return o;
}

// Every body on 2 and 3 threads in windows from one byte up (so that windows,
// chunks and groups meet at every kind of place), undecided, automatic and fixed
// shifts: the same points bit for bit, stop line and vertex counts as one thread.
void expect_threads_change_nothing(const std::string& file, const std::string& what,
                                   const std::vector<std::size_t>& windows = {1, 5, 13, 64, std::size_t{16} << 20}) {
  const ShiftRule rules[] = {ShiftRule{}, ShiftRule{true, {}}, ShiftRule{false, {-1000.0, 0.5, 0.0}}};
  for (const ShiftRule& rule : rules) {
    const Outcome one = read_with(file, {}, rule);
    for (const int threads : {2, 3}) {
      for (const std::size_t window : windows) {
        const std::size_t block = window == 5 ? 7 : 0;
        ASSERT_TRUE(read_with(file, {threads, window}, rule, block) == one)
            << what << ": threads " << threads << ", window " << window << ", automatic " << rule.automatic << "\n"
            << file;
      }
    }
  }
}

TEST(PlyThreads, AdversarialBodiesReadAsOnOneThread) {
  const std::string xyz_int = "property int x\nproperty int y\nproperty int z\n";
  // Axes out of order among fields of both kinds, an integer coordinate among them.
  const std::string mixed = "property uchar red\nproperty float z\nproperty int x\nproperty double nx\n"
                            "property double y\n";
  const std::string faces_first = "element face 2\nproperty list uchar int vertex_indices\n";
  const struct {
    const char* name;
    std::string file;
  } cases[] = {
      {"plain", ascii_header(3, xyz_float) + "1 2 3\n4 5 6\n7 8 9\n"},
      {"rows of nine", ascii_header(2) + "1 2 3 0 0 1 9 9 9\n4 5 6 0 0 1 9 9 9\n"},
      {"CRLF, tabs, blank lines", ascii_header(3, xyz_float) + "\r\n1\t2 3\r\n\r\n\v4 5 6\r\n  \f7 8 9\r\n"},
      {"fields across line breaks", ascii_header(3, xyz_float) + "1\n2\n3 4\n5 6\n7\n\n8\n9"},
      {"%d takes 1 of 1.5, %f then takes .5", ascii_header(2, xyz_int + "property float s\n") + "1.5 2 3\n4 5 6 7\n"},
      {"%d stops at 1.5 mid-body", ascii_header(3, "property float x\nproperty int y\nproperty float z\n") +
                                       "1 2 3\n4 5.5 6\n7 8 9\n"},
      {"%f takes 1.5 of 1.5abc, the next field fails", ascii_header(3, xyz_float) + "1 2 3\n1.5abc 5 6\n7 8 9\n"},
      {"a bad token in the last vertex's place", ascii_header(2, xyz_float) + "1 2 3\n4 5 x\n"},
      {"junk after the declared vertices", ascii_header(2, xyz_float) + "1 2 3\n4 5 6\njunk 1.5 ,\n"},
      {"fewer vertices than declared", ascii_header(5, xyz_float) + "1 2 3\n4 5 6\n7 8"},
      {"body ends inside a token", ascii_header(2, xyz_float) + "1 2 3\n4 5 6e"},
      {"no body", ascii_header(2, xyz_float)},
      {"mixed kinds and axis order", ascii_header(3, mixed) + "255 3.5 -7 1e300 2.25\n0 -0 +12 nan 1e-3\n"
                                                              "7 1e+ 99999999999 inf -.5\n"},
      {"scanf quirks", ascii_header(4, xyz_float) + "1e+ 5 .5\n-.5e3 0x1p3 inf\nnan(7) 4 -Inf\n1e 2e- 3\n"},
      {"a NUL byte inside a field", ascii_header(2, xyz_float) + std::string("1 2 3\n4 5\0 6\n", 13)},
      {"faces first", "ply\nformat ascii 1.0\n" + faces_first + "element vertex 2\n" + xyz_float +
                          "end_header\n3 0 1 2\n0\n1 2 3\n4 5 6\n"},
      {"a list in the vertex", ascii_header(2, xyz_float + "property list uchar float l\n") + "1 2 3 1 9\n4 5 6 0\n"},
      {"large coordinates", ascii_header(3, "property double x\nproperty double y\nproperty float z\n") +
                                "512345.678 5412345.3 250.1\n512346.5 5412344.25 251\n512347 5412343 252.75\n"},
      {"nine-field rows, no vertex element", "ply\nformat ascii 1.0\nend_header\n1 2 3 0 0 1 9 9 9\n4 5 6 0 0 1 9 "
                                             "9 9\n\n7 8 9 0 0 1 9 9 9\n"},
      {"nine-field rows stopping mid-way", "ply\nformat ascii 1.0\nend_header\n1 2 3 0 0 1 9 9 9\n4 5\n6 0 0 1 1.5 9 "
                                           "9\n7 8 9 0 0 1 9 9 9\n"},
      {"nine-field rows ending inside a row", "ply\nformat ascii 1.0\nend_header\n1 2 3 0 0 1 9 9 9\n4 5 6 0\n"},
      {"a token longer than a window", ascii_header(2, xyz_float) + std::string(300, '7') + " 1 2\n3 4 5\n"},
      // The group is carried to the next window, which must grow past the token
      // rather than stop again at the group's own white space.
      {"a group open before a long token", ascii_header(3, xyz_float) + "1 2 " + std::string(20000, '7') +
                                                 "\n4 5 6\n7 8 9\n"},
  };
  for (const auto& c : cases) expect_threads_change_nothing(c.file, c.name);
}

TEST(PlyThreads, SeededRandomBodiesReadAsOnOneThread) {
  const std::vector<std::string> odd = {"1.5", "x", "-", ".5", "1e+", "inf", "0x1p3", "99999999999", "+7", "1,5"};
  const std::vector<std::string> blanks = {" ", "\n", "\t", "\r\n", "  ", " \n\n"};
  const std::vector<std::string> headers = {
      ascii_header(40, xyz_float), ascii_header(25), ascii_header(30, "property int x\nproperty float y\n"
                                                                     "property uchar q\nproperty float z\n"),
      "ply\nformat ascii 1.0\nend_header\n"};
  for (std::uint32_t seed = 1; seed <= 60; ++seed) {
    std::mt19937 rng(seed);
    std::string file = headers[seed % headers.size()];
    const int fields = static_cast<int>(rng() % 250);
    for (int i = 0; i < fields; ++i) {
      const auto kind = rng() % 60;
      if (kind == 0 && seed % 3 != 0) {
        file += odd[rng() % odd.size()];
      } else if (kind < 20) {
        file += std::to_string(rng() % 256);
      } else {
        file += std::to_string(static_cast<int>(rng() % 2001) - 1000) + "." + std::to_string(rng() % 1000);
      }
      file += blanks[rng() % blanks.size()];
    }
    // Windows of a few bytes start threads for every few fields: the table above has them.
    expect_threads_change_nothing(file, "seed " + std::to_string(seed), {5, 29, 200});
  }
}

// ---- lists ----

std::string ascii_file(int first, int n) {
  std::string s = ascii_header(n);
  for (int i = 0; i < n; ++i) s += std::to_string(first + i) + " 0 0 0 0 1 255 0 0\n";
  return s;
}

ReadOutcome read_list(const std::string& text, PointColumns& cloud) {
  ByteSource in(text.data(), text.size());
  PointAppender out(cloud, no_progress());
  return read_cloud_list(in, out);
}

TEST(PlyList, FilesInOrderCountsRunOn) {
  testing::TempDir dir;
  testing::write_file(dir / "a.ply", ascii_file(0, 300));
  testing::write_file(dir / "b.ply", ascii_file(300, 300));
  // Blank lines are skipped, text after a name is ignored, CRLF and a last line without '\n' are fine.
  const std::string list = dir / "a.ply" + "  first\r\n\n \t \r\n" + dir / "b.ply";
  PointColumns cloud;
  const ReadOutcome outcome = read_list(list, cloud);
  EXPECT_EQ(outcome.failure, Failure::none);
  EXPECT_EQ(listed_files(outcome), (std::vector<std::string>{dir / "a.ply", dir / "b.ply"}));
  ASSERT_EQ(cloud.count, 600);
  for (std::size_t i = 0; i < 600; ++i) ASSERT_EQ(cloud.x[i], static_cast<float>(i)) << i;

  PointColumns empty;
  EXPECT_EQ(read_list("", empty).failure, Failure::none);
  EXPECT_EQ(empty.count, 0);
}

TEST(PlyList, FailuresOfNamedFilesCarryTheirNames) {
  testing::TempDir dir;
  testing::write_file(dir / "a.ply", ascii_file(0, 1));
  testing::write_file(dir / "bin.ply", "ply\nformat binary_big_endian 1.0\nend_header\n\x01\x02");
  // A missing third file stops the list; what was read before stays.
  PointColumns cloud;
  ReadOutcome outcome =
      read_list(dir / "a.ply" + "\n" + dir / "a.ply\n" + dir / "c.ply\n" + dir / "a.ply\n", cloud);
  EXPECT_EQ(outcome.failure, Failure::cannot_open);
  EXPECT_EQ(outcome.failed_name, dir / "c.ply");
  EXPECT_EQ(outcome.files.size(), 2u);
  EXPECT_EQ(cloud.count, 2);
  PointColumns cloud1;
  outcome = read_list(dir / "a.ply" + "\n" + dir / "bin.ply\n" + dir / "a.ply\n", cloud1);
  EXPECT_EQ(outcome.failure, Failure::unsupported);
  EXPECT_EQ(outcome.failed_name, dir / "bin.ply");
  EXPECT_EQ(outcome.failed_format, &ply_format);
  EXPECT_EQ(cloud1.count, 1);
  // A directory opens for reading but cannot be read.
  PointColumns cloud2;
  outcome = read_list(dir.path() + "\n", cloud2);
  EXPECT_EQ(outcome.failure, Failure::read_error);
  EXPECT_EQ(outcome.failed_name, dir.path());
}

TEST(PlyList, LongNamesAndManyFiles) {
  testing::TempDir dir;
  // A name well past 511 characters.
  std::string path = dir.path();
  for (int i = 0; i < 3; ++i) {
    path += "/" + std::string(200, static_cast<char>('a' + i));
    ASSERT_TRUE(std::filesystem::create_directory(path));
  }
  path += "/p.ply";
  ASSERT_GT(path.size(), 600u);
  testing::write_file(path, ascii_file(7, 1));
  // Each file is closed once read: far more entries than a process may hold open.
  std::string list;
  for (int i = 0; i < 1500; ++i) list += path + "\n";
  PointColumns cloud;
  const ReadOutcome outcome = read_list(list, cloud);
  EXPECT_EQ(outcome.failure, Failure::none);
  EXPECT_EQ(cloud.count, 1500);
  EXPECT_EQ(outcome.files.size(), 1500u);
  EXPECT_EQ(cloud.x[1499], 7.0f);
}

}  // namespace
}  // namespace ptdelta
