// Stored normals: kept beside the points in every PLY and PCD encoding, aligned with the points stored, only when asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "core/point_cloud.h"
#include "input/byte_source.h"
#include "input/pcd_reader.h"
#include "input/ply_reader.h"
#include "support/cloud_writers.h"

namespace ptdelta {
namespace {

using Triple = std::array<float, 3>;
using Bits = std::array<std::uint32_t, 3>;

Bits bits(const Triple& t) {
  return {std::bit_cast<std::uint32_t>(t[0]), std::bit_cast<std::uint32_t>(t[1]), std::bit_cast<std::uint32_t>(t[2])};
}

// ---- PLY ----

struct PlyProperty {
  std::string name;  // x y z nx ny nz take the vertex's values, others its index
  std::string type;  // PLY type name (of a list's items)
  bool is_list = false;  // a list of two items: the index and 7
};

struct PlyVertex {
  double x, y, z, nx, ny, nz;
};

bool is_integer_type(const std::string& type) { return type != "float" && type != "double"; }

// Text as a writer would give it: integers whole, floats with enough digits.
std::string ascii_text(const std::string& type, double v) {
  char text[64];
  if (is_integer_type(type)) std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v));
  else if (type == "float") std::snprintf(text, sizeof text, "%.9g", static_cast<double>(static_cast<float>(v)));
  else std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

void put(std::string& s, const std::string& type, double v, bool big) {
  std::array<unsigned char, 8> raw{};
  std::size_t n = 0;
  const auto store = [&](auto value) {
    const auto b = std::bit_cast<std::array<unsigned char, sizeof value>>(value);
    std::copy(b.begin(), b.end(), raw.begin());
    n = sizeof value;
  };
  if (type == "float") store(static_cast<float>(v));
  else if (type == "double") store(v);
  else if (type == "uchar") store(static_cast<std::uint8_t>(v));
  else if (type == "char") store(static_cast<std::int8_t>(v));
  else if (type == "short") store(static_cast<std::int16_t>(v));
  else store(static_cast<std::int32_t>(v));
  if ((std::endian::native == std::endian::big) != big) std::reverse(raw.begin(), raw.begin() + static_cast<long>(n));
  s.append(reinterpret_cast<const char*>(raw.data()), n);
}

double value_of(const PlyProperty& p, const PlyVertex& v, std::size_t index) {
  if (p.name == "x") return v.x;
  if (p.name == "y") return v.y;
  if (p.name == "z") return v.z;
  if (p.name == "nx") return v.nx;
  if (p.name == "ny") return v.ny;
  if (p.name == "nz") return v.nz;
  return static_cast<double>(index % 50);
}

// A whole file: a face element first (skipped by its declaration), then the vertices.
std::string ply_file(const std::string& format, const std::vector<PlyProperty>& properties,
                     const std::vector<PlyVertex>& vertices) {
  std::string s = "ply\nformat " + format + " 1.0\nelement face 1\nproperty list uchar int vertex_indices\n";
  s += "element vertex " + std::to_string(vertices.size()) + "\n";
  for (const PlyProperty& p : properties)
    s += (p.is_list ? "property list uchar " : "property ") + p.type + " " + p.name + "\n";
  s += "end_header\n";
  const bool ascii = format == "ascii", big = format == "binary_big_endian";
  if (ascii) {
    s += "3 0 1 2\n";
  } else {
    put(s, "uchar", 3, big);
    for (int k = 0; k < 3; ++k) put(s, "int", k, big);
  }
  for (std::size_t i = 0; i < vertices.size(); ++i) {
    std::string line;
    for (const PlyProperty& p : properties) {
      if (p.is_list) {
        if (ascii) {
          line += "2 " + std::to_string(i) + " 7 ";
        } else {
          put(s, "uchar", 2, big);
          put(s, p.type, static_cast<double>(i), big);
          put(s, p.type, 7, big);
        }
        continue;
      }
      const double v = value_of(p, vertices[i], i);
      if (ascii) line += ascii_text(p.type, v) + " ";
      else put(s, p.type, v, big);
    }
    if (ascii) s += line + "\n";
  }
  return s;
}

// A normal component as the file stores it, rounded once to float: "%f" of
// the ASCII text, "%d" then float for integers, the binary value to float.
float expected_component(const std::string& type, double v, bool ascii) {
  if (is_integer_type(type)) return static_cast<float>(static_cast<long long>(v));
  if (!ascii) return static_cast<float>(v);  // a float stored is float(v) already
  float f = 0.0f;
  EXPECT_EQ(std::sscanf(ascii_text(type, v).c_str(), "%f", &f), 1);
  return f;
}

struct PlyRead {
  Failure failure = Failure::none;
  std::vector<Triple> points, normals;
};

PlyRead read_ply(const std::string& bytes, bool keep, PlyReadOptions options = {}, ShiftRule shift = {}) {
  PointColumns cloud;
  StoredNormals normals;
  ByteSource in(bytes.data(), bytes.size());
  PointAppender out(cloud, no_progress(), shift);
  if (keep) out.keep_normals(normals);
  PlyRead r;
  r.failure = read_ply_cloud(in, out, options).failure;
  EXPECT_TRUE(out.finish());
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    r.points.push_back({cloud.x[i], cloud.y[i], cloud.z[i]});
  for (std::size_t i = 0; i < normals.x.size(); ++i) r.normals.push_back({normals.x[i], normals.y[i], normals.z[i]});
  return r;
}

std::vector<PlyVertex> vertices(bool integers) {
  std::vector<PlyVertex> v;
  for (int i = 0; i < 40; ++i) {
    if (integers)
      v.push_back({i * 1.0, 3.0 - i, 2.0 * i, i % 5 * 50.0, 255.0 - i, i * 3.0});
    else
      v.push_back({i * 0.25, -1.5 * i, 10.0 + i, 0.1 * i - 1.0, std::sqrt(0.5 + i), -1.0 / (i + 3.0)});
  }
  return v;
}

TEST(StoredNormals, PlyKeepsNormalsInEveryEncodingAndType) {
  struct Case {
    const char* what;
    std::vector<PlyProperty> properties;
    bool integers;      // the normals (and coordinates) are whole numbers
    bool has_normals;   // all three normal properties are scalars
  };
  const Case cases[] = {
      {"float normals after x y z", {{"x", "float"}, {"y", "float"}, {"z", "float"}, {"nx", "float"},
                                     {"ny", "float"}, {"nz", "float"}, {"red", "uchar"}}, false, true},
      {"double normals, reordered, among a list", {{"nz", "double"}, {"x", "double"}, {"indices", "int", true},
                                                   {"ny", "double"}, {"y", "float"}, {"nx", "double"},
                                                   {"z", "float"}}, false, true},
      {"uchar and short normals before the coordinates", {{"nx", "uchar"}, {"ny", "uchar"}, {"nz", "short"},
                                                          {"x", "int"}, {"y", "char"}, {"z", "int"}}, true, true},
      {"no nz", {{"x", "float"}, {"y", "float"}, {"z", "float"}, {"nx", "float"}, {"ny", "float"}}, false, false},
      {"nz is a list", {{"x", "float"}, {"y", "float"}, {"z", "float"}, {"nx", "float"}, {"ny", "float"},
                        {"nz", "float", true}}, false, false},
  };
  for (const Case& c : cases) {
    const std::vector<PlyVertex> v = vertices(c.integers);
    for (const char* format : {"ascii", "binary_little_endian", "binary_big_endian"}) {
      const std::string file = ply_file(format, c.properties, v);
      const bool ascii = std::string(format) == "ascii";
      const PlyRead plain = read_ply(file, false);
      ASSERT_EQ(plain.failure, Failure::none) << c.what << ", " << format;
      ASSERT_EQ(plain.points.size(), v.size()) << c.what << ", " << format;
      EXPECT_TRUE(plain.normals.empty()) << "not asked: " << c.what;
      // ASCII bodies also on three threads in small windows, so groups straddle the chunks.
      for (const PlyReadOptions options : {PlyReadOptions{}, PlyReadOptions{3, 64}}) {
        const PlyRead kept = read_ply(file, true, options);
        ASSERT_EQ(kept.failure, Failure::none);
        EXPECT_EQ(kept.points, plain.points) << "normals change no point: " << c.what << ", " << format;
        if (!c.has_normals) {
          EXPECT_TRUE(kept.normals.empty()) << c.what << ", " << format;
          continue;
        }
        ASSERT_EQ(kept.normals.size(), v.size()) << c.what << ", " << format;
        const auto type_of = [&](const char* name) {
          return std::find_if(c.properties.begin(), c.properties.end(),
                              [&](const PlyProperty& p) { return p.name == name; })->type;
        };
        for (std::size_t i = 0; i < v.size(); ++i) {
          const Triple want = {expected_component(type_of("nx"), v[i].nx, ascii),
                               expected_component(type_of("ny"), v[i].ny, ascii),
                               expected_component(type_of("nz"), v[i].nz, ascii)};
          EXPECT_EQ(bits(kept.normals[i]), bits(want))
              << c.what << ", " << format << ", threads " << options.threads << ", vertex " << i;
        }
      }
    }
  }
}

TEST(StoredNormals, PlyNormalsAreNeverShiftedAndFollowPointsThatWaitForTheShift) {
  // The first vertex has no finite coordinate, so the automatic shift waits for
  // the second; each normal still belongs to its own vertex, unshifted.
  const std::string file =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty double x\nproperty double y\nproperty double z\n"
      "property float nx\nproperty float ny\nproperty float nz\nend_header\n"
      "nan 1 2 0.5 0.25 1\n500000.5 4000000.25 12.5 0 0 -1\n500001 4000001 13 0.1 0.2 0.3\n";
  for (const PlyReadOptions options : {PlyReadOptions{}, PlyReadOptions{2, 32}}) {
    const PlyRead r = read_ply(file, true, options, ShiftRule{true, {}});
    ASSERT_EQ(r.failure, Failure::none);
    ASSERT_EQ(r.points.size(), 3u);
    EXPECT_TRUE(std::isnan(r.points[0][0]));
    EXPECT_NE(r.points[1][0], 500000.5f);  // shifted
    const std::vector<Triple> want = {{0.5f, 0.25f, 1.0f}, {0.0f, 0.0f, -1.0f}, {0.1f, 0.2f, 0.3f}};
    EXPECT_EQ(r.normals, want);
  }
  // Nine-field rows have no declaration: no normals, though their fields 4 to 6 may be.
  const PlyRead rows = read_ply("ply\nend_header\n1 2 3 0 0 1 255 0 0\n", true);
  EXPECT_EQ(rows.points.size(), 1u);
  EXPECT_TRUE(rows.normals.empty());
}

TEST(StoredNormals, AppenderDropsNormalsThatDoNotCoverEveryPoint) {
  PointColumns cloud;
  StoredNormals normals;
  PointAppender out(cloud, no_progress());
  out.keep_normals(normals);
  ASSERT_TRUE(out.add(1, 2, 3) && out.add_normal(0, 0, 1));
  ASSERT_TRUE(out.add(4, 5, 6));  // as from a second file without normals
  ASSERT_TRUE(out.finish());
  EXPECT_EQ(cloud.count, 2);
  EXPECT_FALSE(normals.present());
  EXPECT_TRUE(normals.y.empty() && normals.z.empty());
}

// ---- PCD ----

using testing::PcdField;
using testing::PcdFileShape;
using testing::Xyz;

const char* const data_kinds[] = {"ascii", "binary", "binary_compressed"};

TEST(StoredNormals, PcdKeepsNormalsInEveryDataKindAlignedPastSkippedPoints) {
  struct Case {
    const char* what;
    std::vector<PcdField> fields;
    bool integers;
    bool has_normals;
  };
  const Case cases[] = {
      {"float normals after x y z", {{"x"}, {"y"}, {"z"}, {"normal_x"}, {"normal_y"}, {"normal_z"}, {"curvature"}},
       false, true},
      {"double normals first, one of two values", {{"normal_z", 'F', 8}, {"normal_y", 'F', 8, 2}, {"rgb", 'U', 4},
                                                   {"x", 'F', 8}, {"normal_x", 'F', 8}, {"y"}, {"z"}}, false, true},
      {"unsigned byte and short normals", {{"x", 'I', 2}, {"y", 'I', 2}, {"z", 'I', 4}, {"normal_x", 'U', 1},
                                           {"normal_y", 'I', 2}, {"normal_z", 'U', 1}}, true, true},
      {"no normal_z", {{"x"}, {"y"}, {"z"}, {"normal_x"}, {"normal_y"}}, false, false},
      {"normal_z of no value", {{"x"}, {"y"}, {"z"}, {"normal_x"}, {"normal_y"}, {"normal_z", 'F', 4, 0}}, false,
       false},
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Case& c : cases) {
    std::vector<Xyz> points;
    for (int i = 0; i < 30; ++i) {
      if (c.integers) points.push_back({i * 1.0, 2.0 * i + 1, 250.0 - i});
      else points.push_back({0.1 * i - 1.0, 1.0 / (i + 1), 1000.0 + 0.3 * i});
    }
    // Points without coordinates are skipped, their normals with them (integer
    // fields have no NaN).
    if (!c.integers) {
      points[3].x = nan;
      points[17].z = nan;
    }
    for (const char* kind : data_kinds) {
      const std::string file = testing::pcd_file(PcdFileShape{c.fields, kind}, points);
      const testing::ReadBack plain = testing::read_back(pcd_format, file);
      const testing::ReadBack kept = testing::read_back(pcd_format, file, {}, true);
      ASSERT_EQ(kept.failure, Failure::none) << c.what << ", " << kind;
      EXPECT_EQ(kept.points, plain.points) << c.what << ", " << kind;
      EXPECT_EQ(kept.facts.skipped_points, c.integers ? 0 : 2) << c.what << ", " << kind;
      EXPECT_TRUE(plain.normals.empty());
      if (!c.has_normals) {
        EXPECT_TRUE(kept.normals.empty()) << c.what << ", " << kind;
        continue;
      }
      ASSERT_EQ(kept.normals.size(), kept.points.size()) << c.what << ", " << kind;
      std::size_t stored = 0;
      for (const Xyz& p : points) {
        if (std::isnan(p.x) || std::isnan(p.z)) continue;
        // The writer gives each point the normal (y, z, x) of its own coordinates.
        const Triple want = {static_cast<float>(p.y), static_cast<float>(p.z), static_cast<float>(p.x)};
        EXPECT_EQ(bits(kept.normals[stored]), bits(want)) << c.what << ", " << kind << ", point " << stored;
        ++stored;
      }
    }
  }
}

TEST(StoredNormals, PcdAsciiNormalThatDoesNotConvertIsNoNumberAndKeepsItsPoint) {
  const std::string file =
      "FIELDS x y z normal_x normal_y normal_z\nSIZE 4 4 4 4 4 4\nTYPE F F F F F F\nWIDTH 3\nHEIGHT 1\n"
      "POINTS 3\nDATA ascii\n1 2 3 0 0 1\n4 5 6 abc 0 1\n7 8 9 0 -1 0\n";
  const testing::ReadBack r = testing::read_back(pcd_format, file, {}, true);
  ASSERT_EQ(r.failure, Failure::none);
  ASSERT_EQ(r.points.size(), 3u);
  ASSERT_EQ(r.normals.size(), 3u);
  EXPECT_EQ(r.normals[0], (Triple{0, 0, 1}));
  EXPECT_TRUE(std::isnan(r.normals[1][0]));
  EXPECT_EQ(r.normals[1][2], 1.0f);
  EXPECT_EQ(r.normals[2], (Triple{0, -1, 0}));
}

}  // namespace
}  // namespace ptdelta
