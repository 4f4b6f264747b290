#include "driver/tile_files.h"

#include <sys/stat.h>

#include <bit>
#include <cstring>

namespace ptdelta {

std::uint64_t checksum(const void* bytes, std::size_t size, std::uint64_t hash) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= p[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

InputStamp stamp_input(const std::string& name) {
  InputStamp s{name, -1, -1};
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    s.size = static_cast<std::int64_t>(st.st_size);
    s.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + static_cast<std::int64_t>(st.st_mtim.tv_nsec);
  }
  return s;
}

namespace {

constexpr std::string_view plan_magic = "ptdelta tile plan 1\n";
constexpr std::string_view result_magic = "ptdelta tile result 1\n";

// Fields one after another: numbers as 8 bytes, strings and lists with their length first.
class Writer {
 public:
  void number(std::int64_t v) { bytes_.append(reinterpret_cast<const char*>(&v), sizeof v); }
  void real(double v) { number(std::bit_cast<std::int64_t>(v)); }
  void text(const std::string& s) {
    number(static_cast<std::int64_t>(s.size()));
    bytes_ += s;
  }
  void texts(const std::vector<std::string>& list) {
    number(static_cast<std::int64_t>(list.size()));
    for (const std::string& s : list) text(s);
  }
  std::string& bytes() { return bytes_; }

 private:
  std::string bytes_;
};

// The reverse of Writer; every read is bounded, and the first that runs past the end fails the rest.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  std::int64_t number() {
    std::int64_t v = 0;
    if (bytes_.size() - at_ < sizeof v) {
      ok_ = false;
      return 0;
    }
    std::memcpy(&v, bytes_.data() + at_, sizeof v);
    at_ += sizeof v;
    return v;
  }
  double real() { return std::bit_cast<double>(number()); }
  std::string text() {
    const std::int64_t n = number();
    if (n < 0 || static_cast<std::uint64_t>(n) > bytes_.size() - at_) {
      ok_ = false;
      return {};
    }
    std::string s(bytes_.substr(at_, static_cast<std::size_t>(n)));
    at_ += static_cast<std::size_t>(n);
    return s;
  }
  std::vector<std::string> texts() {
    const std::int64_t n = number();
    std::vector<std::string> list;
    // Each entry takes 8 bytes at least: a count beyond that is damage, not a size to reserve.
    if (n < 0 || static_cast<std::uint64_t>(n) > (bytes_.size() - at_) / 8) {
      ok_ = false;
      return list;
    }
    for (std::int64_t i = 0; i < n && ok_; ++i) list.push_back(text());
    return list;
  }
  bool ok() const { return ok_; }
  void fail() { ok_ = false; }
  bool at_end() const { return at_ == bytes_.size(); }
  std::size_t left() const { return bytes_.size() - at_; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void write_input(Writer& w, const InputReport& input) {
  w.text(input.option);
  w.text(input.name);
  w.text(input.format);
  w.texts(input.files);
  w.texts(input.file_formats);
  w.number(input.point_count);
}

void read_input(Reader& r, InputReport& input) {
  input.option = r.text();
  input.name = r.text();
  input.format = r.text();
  input.files = r.texts();
  input.file_formats = r.texts();
  const std::int64_t n = r.number();
  if (n < 0 || n > max_point_count) r.fail();
  input.point_count = static_cast<std::int32_t>(std::clamp<std::int64_t>(n, 0, max_point_count));
}

}  // namespace

std::string encode_plan(const TilePlan& plan) {
  Writer w;
  w.bytes() = plan_magic;
  w.texts(plan.arguments);
  w.text(plan.folder);
  write_input(w, plan.reference);
  write_input(w, plan.test);
  w.texts(plan.warnings);
  w.real(plan.shift.x);
  w.real(plan.shift.y);
  w.real(plan.shift.z);
  w.number(static_cast<std::int64_t>(plan.method));
  w.number(std::bit_cast<std::int32_t>(plan.maxdist));
  w.real(plan.tile_size);
  w.number(static_cast<std::int64_t>(plan.inputs.size()));
  for (const InputStamp& s : plan.inputs) {
    w.text(s.name);
    w.number(s.size);
    w.number(s.modified);
  }
  w.number(static_cast<std::int64_t>(plan.tasks.size()));
  for (const TileTask& t : plan.tasks) {
    w.number(t.column);
    w.number(t.row);
    w.number(t.reference_points);
    w.number(t.test_points);
  }
  w.number(plan.non_finite_points);
  const std::uint64_t sum = checksum(w.bytes().data(), w.bytes().size());
  w.number(static_cast<std::int64_t>(sum));
  return std::move(w.bytes());
}

bool decode_plan(std::string_view bytes, TilePlan& plan) {
  if (bytes.size() < plan_magic.size() + 8 || bytes.substr(0, plan_magic.size()) != plan_magic) return false;
  std::uint64_t stored = 0;
  std::memcpy(&stored, bytes.data() + bytes.size() - 8, 8);
  if (checksum(bytes.data(), bytes.size() - 8) != stored) return false;
  Reader r(bytes.substr(plan_magic.size(), bytes.size() - 8 - plan_magic.size()));
  plan = TilePlan{};
  plan.arguments = r.texts();
  plan.folder = r.text();
  read_input(r, plan.reference);
  read_input(r, plan.test);
  plan.warnings = r.texts();
  plan.shift.x = r.real();
  plan.shift.y = r.real();
  plan.shift.z = r.real();
  const std::int64_t method = r.number();
  if (method != static_cast<std::int64_t>(Method::nearest_point) && method != static_cast<std::int64_t>(Method::plane))
    return false;
  plan.method = static_cast<Method>(method);
  plan.maxdist = std::bit_cast<float>(static_cast<std::int32_t>(r.number()));
  plan.tile_size = r.real();
  const std::int64_t inputs = r.number();
  if (inputs < 0 || static_cast<std::uint64_t>(inputs) > r.left() / 24) return false;
  for (std::int64_t i = 0; i < inputs && r.ok(); ++i) {
    InputStamp s;
    s.name = r.text();
    s.size = r.number();
    s.modified = r.number();
    plan.inputs.push_back(s);
  }
  const std::int64_t tasks = r.number();
  if (tasks < 0 || static_cast<std::uint64_t>(tasks) > r.left() / 32) return false;
  for (std::int64_t i = 0; i < tasks && r.ok(); ++i) {
    TileTask t;
    t.column = r.number();
    t.row = r.number();
    t.reference_points = r.number();
    t.test_points = r.number();
    if (t.reference_points < 0 || t.test_points < 0) return false;
    plan.tasks.push_back(t);
  }
  plan.non_finite_points = r.number();
  return r.ok() && r.at_end() && plan.non_finite_points >= 0 && plan.tile_size > 0.0;
}

std::string plan_path(const std::string& dir) { return dir + "/plan"; }
std::string tasks_path(const std::string& dir) { return dir + "/tasks"; }
std::string test_points_path(const std::string& dir) { return dir + "/test-points"; }
std::string non_finite_path(const std::string& dir) { return dir + "/non-finite.test"; }
std::string tile_path(const std::string& dir, const TileTask& tile, bool reference) {
  return dir + "/tile_" + std::to_string(tile.column) + "_" + std::to_string(tile.row) + (reference ? ".ref" : ".test");
}
std::string result_path(const std::string& dir, std::int64_t task) { return dir + "/result-" + std::to_string(task); }

bool is_work_file(std::string_view name) {
  for (const std::string_view whole : {"plan", "tasks", "test-points", "non-finite.test"})
    if (name == whole) return true;
  // Tiles, results, and a temporary of either.
  for (const std::string_view start : {"tile_", "result-", ".ptdelta"})
    if (name.substr(0, start.size()) == start) return true;
  return false;
}

void append_point_record(std::string& buffer, std::int32_t index, float x, float y, float z) {
  char r[point_record_size];
  std::memcpy(r, &index, 4);
  std::memcpy(r + 4, &x, 4);
  std::memcpy(r + 8, &y, 4);
  std::memcpy(r + 12, &z, 4);
  buffer.append(r, sizeof r);
}

bool read_point_records(const std::string& path, std::int64_t count, PointColumns& cloud,
                        std::vector<std::int32_t>& index) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  constexpr std::int64_t batch = 8192;
  std::vector<char> buffer(static_cast<std::size_t>(batch) * point_record_size);
  bool ok = true;
  std::int32_t previous = index.empty() ? -1 : index.back();
  for (std::int64_t done = 0; ok && done < count;) {
    const auto n = static_cast<std::size_t>(std::min(batch, count - done));
    if (std::fread(buffer.data(), point_record_size, n, f) != n) {
      ok = false;
      break;
    }
    for (std::size_t k = 0; k < n; ++k) {
      const char* r = buffer.data() + k * point_record_size;
      std::int32_t i = 0;
      float x = 0.0f, y = 0.0f, z = 0.0f;
      std::memcpy(&i, r, 4);
      std::memcpy(&x, r + 4, 4);
      std::memcpy(&y, r + 8, 4);
      std::memcpy(&z, r + 12, 4);
      if (i <= previous || !cloud.append(x, y, z)) {
        ok = false;
        break;
      }
      previous = i;
      index.push_back(i);
    }
    done += static_cast<std::int64_t>(n);
  }
  ok = ok && std::fgetc(f) == EOF && !std::ferror(f);
  std::fclose(f);
  return ok;
}

std::string encode_result(std::uint64_t plan_hash, std::int64_t task, const std::vector<std::int32_t>& index,
                          const std::vector<float>& cd, const std::vector<PointOutcome>& outcome) {
  Writer w;
  w.bytes() = result_magic;
  w.number(static_cast<std::int64_t>(plan_hash));
  w.number(task);
  w.number(static_cast<std::int64_t>(index.size()));
  std::string& b = w.bytes();
  b.reserve(b.size() + index.size() * result_record_size + 8);
  for (std::size_t k = 0; k < index.size(); ++k) {
    char r[result_record_size];
    std::memcpy(r, &index[k], 4);
    std::memcpy(r + 4, &cd[k], 4);  // the float's bits, NaN payloads included
    r[8] = static_cast<char>(outcome[k]);
    b.append(r, sizeof r);
  }
  w.number(static_cast<std::int64_t>(checksum(b.data(), b.size())));
  return std::move(b);
}

namespace tile_detail {

bool ResultReader::open_and_check_header(const std::string& path, std::uint64_t plan_hash, std::int64_t task,
                                         std::int64_t count, ResultState& state) {
  file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    state = ResultState::missing;
    return false;
  }
  char header[result_magic.size() + 24];
  std::int64_t fields[3] = {0, 0, 0};
  if (std::fread(header, 1, sizeof header, file) != sizeof header ||
      std::string_view(header, result_magic.size()) != result_magic) {
    std::fclose(file);
    state = ResultState::damaged;
    return false;
  }
  std::memcpy(fields, header + result_magic.size(), sizeof fields);
  hash = checksum(header, sizeof header);
  if (static_cast<std::uint64_t>(fields[0]) != plan_hash || fields[1] != task || fields[2] != count) {
    std::fclose(file);
    state = ResultState::damaged;
    return false;
  }
  return true;
}

bool ResultReader::next(char* buffer, std::size_t n) {
  if (std::fread(buffer, result_record_size, n, file) != n) {
    std::fclose(file);
    return false;
  }
  hash = checksum(buffer, n * result_record_size, hash);
  return true;
}

bool ResultReader::finish() {
  std::uint64_t stored = 0;
  const bool ok = std::fread(&stored, 1, 8, file) == 8 && stored == hash && std::fgetc(file) == EOF;
  std::fclose(file);
  return ok;
}

}  // namespace tile_detail

}  // namespace ptdelta
