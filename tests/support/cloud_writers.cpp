#include "support/cloud_writers.h"

#include <algorithm>
#include <bit>
#include <cstdio>

namespace ptdelta::testing {

ReadBack read_back(const FormatRow& format, const std::string& bytes, CoordinateShift shift, bool normals) {
  ReadBack r;
  PointColumns cloud;
  StoredNormals kept;
  ByteSource source(bytes.data(), bytes.size());
  PointAppender out(cloud, no_progress(), {false, shift});
  if (normals) out.keep_normals(kept);
  r.failure = read_by_row(format, source, out, r.facts, 1);
  if (r.failure == Failure::none && !out.finish()) r.failure = Failure::out_of_memory;
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    r.points.push_back({cloud.x[i], cloud.y[i], cloud.z[i]});
  for (std::size_t i = 0; i < kept.x.size(); ++i) r.normals.push_back({kept.x[i], kept.y[i], kept.z[i]});
  return r;
}

template <class T>
void put_le(std::string& s, T value) {
  std::uint64_t bits = 0;
  if constexpr (sizeof(T) == 8) bits = std::bit_cast<std::uint64_t>(value);
  if constexpr (sizeof(T) == 4) bits = std::bit_cast<std::uint32_t>(value);
  if constexpr (sizeof(T) == 2) bits = std::bit_cast<std::uint16_t>(value);
  if constexpr (sizeof(T) == 1) bits = std::bit_cast<std::uint8_t>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) s.push_back(static_cast<char>((bits >> (8 * i)) & 0xFFU));
}

template void put_le<std::int8_t>(std::string&, std::int8_t);
template void put_le<std::uint8_t>(std::string&, std::uint8_t);
template void put_le<std::int16_t>(std::string&, std::int16_t);
template void put_le<std::uint16_t>(std::string&, std::uint16_t);
template void put_le<std::int32_t>(std::string&, std::int32_t);
template void put_le<std::uint32_t>(std::string&, std::uint32_t);
template void put_le<std::int64_t>(std::string&, std::int64_t);
template void put_le<std::uint64_t>(std::string&, std::uint64_t);
template void put_le<float>(std::string&, float);
template void put_le<double>(std::string&, double);

namespace {

double field_value(const PcdField& f, const Xyz& p, std::size_t index) {
  if (f.name == "x") return p.x;
  if (f.name == "y") return p.y;
  if (f.name == "z") return p.z;
  // Normals are the point's coordinates turned round, so each shows which point it came with.
  if (f.name == "normal_x") return p.y;
  if (f.name == "normal_y") return p.z;
  if (f.name == "normal_z") return p.x;
  return static_cast<double>(index % 100);
}

void put_binary(std::string& s, const PcdField& f, double v) {
  if (f.type == 'F') {
    if (f.size == 8) put_le<double>(s, v);
    else put_le<float>(s, static_cast<float>(v));
    return;
  }
  const auto i = static_cast<std::int64_t>(v);
  switch (f.size) {
    case 1:
      put_le<std::int8_t>(s, static_cast<std::int8_t>(i));
      break;
    case 2:
      put_le<std::int16_t>(s, static_cast<std::int16_t>(i));
      break;
    case 4:
      put_le<std::int32_t>(s, static_cast<std::int32_t>(i));
      break;
    default:
      put_le<std::int64_t>(s, i);
      break;
  }
}

std::string ascii_value(const PcdField& f, double v) {
  if (f.type != 'F') return std::to_string(static_cast<long long>(v));
  // Enough digits to read back to the value the binary bodies store.
  char text[64];
  if (f.size == 4) std::snprintf(text, sizeof text, "%.9g", static_cast<double>(static_cast<float>(v)));
  else std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

}  // namespace

std::string lzf_literals(const std::string& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 32) {
    const std::size_t n = std::min<std::size_t>(32, bytes.size() - i);
    out.push_back(static_cast<char>(n - 1));
    out.append(bytes, i, n);
  }
  return out;
}

std::string pcd_file(const PcdFileShape& shape, const std::vector<Xyz>& points) {
  const auto n = static_cast<std::int64_t>(points.size());
  std::string names, sizes, types, counts;
  for (const PcdField& f : shape.fields) {
    names.append(" ").append(f.name);
    sizes.append(" ").append(std::to_string(f.size));
    types.append(" ").push_back(f.type);
    counts.append(" ").append(std::to_string(f.count));
  }
  std::string s = "# .PCD v" + shape.version + " - Point Cloud Data file format\n";
  if (!shape.version.empty()) s += "VERSION " + shape.version + "\n";
  s += "FIELDS" + names + "\nSIZE" + sizes + "\nTYPE" + types + "\nCOUNT" + counts + "\n";
  s += "WIDTH " + std::to_string(shape.width < 0 ? n : shape.width) + "\nHEIGHT " + std::to_string(shape.height) + "\n";
  if (!shape.version.empty()) s += "VIEWPOINT 0 0 0 1 0 0 0\n";
  if (shape.declared != -2) s += "POINTS " + std::to_string(shape.declared < 0 ? n : shape.declared) + "\n";
  s += "DATA " + shape.data + "\n";
  if (shape.data == "ascii") {
    for (std::size_t i = 0; i < points.size(); ++i) {
      std::string line;
      for (const PcdField& f : shape.fields)
        for (int k = 0; k < f.count; ++k) {
          if (!line.empty()) line.push_back(' ');
          line.append(ascii_value(f, field_value(f, points[i], i)));
        }
      s += line + "\n";
    }
  } else if (shape.data == "binary_compressed") {
    // One column per field, each holding that field for every point.
    std::string columns;
    for (const PcdField& f : shape.fields)
      for (std::size_t i = 0; i < points.size(); ++i)
        for (int k = 0; k < f.count; ++k) put_binary(columns, f, field_value(f, points[i], i));
    const std::string packed = lzf_literals(columns);
    put_le<std::uint32_t>(s, static_cast<std::uint32_t>(packed.size()));
    put_le<std::uint32_t>(s, static_cast<std::uint32_t>(columns.size()));
    s += packed;
  } else {
    for (std::size_t i = 0; i < points.size(); ++i)
      for (const PcdField& f : shape.fields)
        for (int k = 0; k < f.count; ++k) put_binary(s, f, field_value(f, points[i], i));
  }
  return s;
}

std::string las_file(const LasFileShape& shape, const std::vector<RawXyz>& records) {
  static constexpr int min_length[] = {20, 28, 26, 34, 57, 63, 30, 36, 38, 59, 67};
  const int base_format = shape.format & 0x3F;
  const int record_length =
      shape.record_length >= 0 ? shape.record_length : min_length[base_format <= 10 ? base_format : 0];
  const std::uint16_t header_size = shape.minor >= 4 ? 375 : shape.minor == 3 ? 235 : 227;
  const auto n = static_cast<std::uint64_t>(records.size());
  std::uint32_t legacy = shape.legacy_count;
  if (legacy == 0xFFFFFFFF) legacy = shape.minor >= 4 && base_format >= 6 ? 0 : static_cast<std::uint32_t>(n);

  std::string h = "LASF";
  put_le<std::uint16_t>(h, 0);  // file source id
  put_le<std::uint16_t>(h, 0);  // global encoding
  h.append(16, '\0');           // project id
  h.push_back(1);
  h.push_back(static_cast<char>(shape.minor));
  h.append(64, ' ');            // system identifier, generating software
  put_le<std::uint16_t>(h, 1);  // creation day of year
  put_le<std::uint16_t>(h, 2024);
  put_le<std::uint16_t>(h, header_size);
  put_le<std::uint32_t>(h, header_size + shape.gap);
  put_le<std::uint32_t>(h, shape.gap > 0 ? 1 : 0);  // variable-length records
  h.push_back(static_cast<char>(shape.format));
  put_le<std::uint16_t>(h, static_cast<std::uint16_t>(record_length));
  put_le<std::uint32_t>(h, legacy);
  for (int i = 0; i < 5; ++i) put_le<std::uint32_t>(h, 0);
  for (const double v : shape.scale) put_le<double>(h, v);
  for (const double v : shape.offset) put_le<double>(h, v);
  for (int i = 0; i < 6; ++i) put_le<double>(h, 0.0);  // bounds: not read
  if (shape.minor >= 3) put_le<std::uint64_t>(h, 0);     // waveform data
  if (shape.minor >= 4) {
    put_le<std::uint64_t>(h, 0);                        // first extended record
    put_le<std::uint32_t>(h, 0);
    put_le<std::uint64_t>(h, shape.count_64 == UINT64_MAX ? n : shape.count_64);
    for (int i = 0; i < 15; ++i) put_le<std::uint64_t>(h, 0);
  }
  h.append(shape.gap, '\x55');
  for (const RawXyz& r : records) {
    std::string record;
    put_le<std::int32_t>(record, r.x);
    put_le<std::int32_t>(record, r.y);
    put_le<std::int32_t>(record, r.z);
    record.resize(static_cast<std::size_t>(std::max(record_length, 12)), '\x7F');
    record.resize(static_cast<std::size_t>(record_length));
    h += record;
  }
  return h;
}

}  // namespace ptdelta::testing
