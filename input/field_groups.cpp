#include "input/field_groups.h"

#include <algorithm>

#include "core/exact.h"
#include "core/parallel.h"
#include "input/scan_number.h"
#include "input/text_tokens.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

// One chunk of a window: its tokens, then the groups that begin in it.
struct GroupChunk {
  std::size_t begin = 0, end = 0;  // in the window
  std::int64_t tokens = 0;         // white-space-separated tokens in [begin, end)
  std::int64_t first_token = 0;    // the window's tokens before the chunk
  std::vector<float> single;       // x y z of every group read, as the precision asks
  std::vector<double> wide;
  std::vector<float> normal;       // nx ny nz of every group read, when the fields have them
  std::int64_t groups = 0;
  // The first group not read: it did not convert token by token (broken), or
  // it runs past the window's cut (open); `stopped_at` is its first byte.
  bool broken = false, open = false, out_of_memory = false;
  std::size_t stopped_at = 0;

  void start(std::size_t b, std::size_t e) {
    begin = b;
    end = e;
    tokens = first_token = groups = 0;
    single.clear();
    wide.clear();
    normal.clear();
    broken = open = out_of_memory = false;
  }
};

// The chunk starts after white space (or where a window starts), so a token
// begins at every byte that is not white space and follows white space or the
// chunk's start. Written without a carried state, so that it vectorises.
std::int64_t count_tokens(const char* b, const char* e) {
  if (b == e) return 0;
  const auto n = static_cast<std::size_t>(e - b);
  std::int64_t tokens = is_text_space(b[0]) ? 0 : 1;
  for (std::size_t i = 1; i < n; ++i)
    tokens += static_cast<std::int64_t>(is_text_space(b[i - 1]) & !is_text_space(b[i]));
  return tokens;
}

// One field converted whole from the token at `p`, as its type asks.
bool convert_field(const GroupField& f, bool wide_values, const char* p, const char* cut, float* single,
                   double* wide, float* normal, ScanResult& r) {
  if (f.integer) {
    int value = 0;
    r = scan_int(p, cut, value);
    if (r.converted && f.axis >= 0) {
      single[f.axis] = single_of(static_cast<double>(value));
      wide[f.axis] = static_cast<double>(value);
    }
    if (r.converted && f.normal >= 0) normal[f.normal] = single_of(static_cast<double>(value));
  } else if (f.normal >= 0) {
    r = scan_float(p, cut, normal[f.normal]);
  } else if (f.axis < 0) {
    float ignored = 0.0f;
    r = scan_float(p, cut, ignored);
  } else {
    r = wide_values ? scan_double(p, cut, wide[f.axis]) : scan_float(p, cut, single[f.axis]);
  }
  // The next field must start after white space, as it does token by token.
  return r.converted && (r.end == cut || is_text_space(*r.end));
}

class GroupReader {
 public:
  using Chunk = GroupChunk;

  GroupReader(PointAppender& out, const std::vector<GroupField>& fields, std::int64_t most_groups, int threads)
      : out_(out),
        fields_(fields),
        wide_(out.precision() == ReadPrecision::shifted),
        normals_(std::any_of(fields.begin(), fields.end(), [](const GroupField& f) { return f.normal >= 0; })),
        most_groups_(most_groups),
        threads_(threads) {}

  // Tokens are counted on the threads first, so that each chunk knows the
  // place in a group of its first token.
  void prepare(std::vector<Chunk>& chunks, const TextWindows& window) {
    run_chunks(static_cast<std::int64_t>(chunks.size()), threads_, [&](std::int64_t k) {
      Chunk& c = chunks[static_cast<std::size_t>(k)];
      c.tokens = count_tokens(window.data() + c.begin, window.data() + c.end);
    });
    for (std::size_t k = 1; k < chunks.size(); ++k)
      chunks[k].first_token = chunks[k - 1].first_token + chunks[k - 1].tokens;
  }

  // Reads the groups whose first token lies in the chunk (the last one may run
  // on into later chunks, up to the cut).
  void parse(const TextWindows& window, Chunk& c) const {
    const auto size = static_cast<std::int64_t>(fields_.size());
    const char* const base = window.data();
    // Tokens of a group begun in an earlier chunk come first.
    std::int64_t skip = (size - c.first_token % size) % size;
    std::int64_t group = (c.first_token + skip) / size;
    const char* p = base + c.begin;
    const char* const cut = base + window.cut();
    for (; skip > 0; --skip) {
      while (p != cut && is_text_space(*p)) ++p;
      while (p != cut && !is_text_space(*p)) ++p;
    }
    const std::int64_t most = most_groups_ - groups_;  // in this window
    for (; group < most; ++group) {
      while (p != cut && is_text_space(*p)) ++p;
      if (p == cut) return;
      const auto start = static_cast<std::size_t>(p - base);
      if (start >= c.end) return;  // the next group begins in a later chunk
      float single[3] = {0.0f, 0.0f, 0.0f};
      double wide[3] = {0.0, 0.0, 0.0};
      float normal[3] = {0.0f, 0.0f, 0.0f};
      for (const GroupField& f : fields_) {
        while (p != cut && is_text_space(*p)) ++p;
        if (p == cut) {
          c.open = true;
          c.stopped_at = start;
          return;
        }
        ScanResult r;
        if (!convert_field(f, wide_, p, cut, single, wide, normal, r)) {
          c.broken = true;
          c.out_of_memory = r.out_of_memory;
          c.stopped_at = start;
          return;
        }
        p = r.end;
      }
      if (wide_) {
        c.wide.insert(c.wide.end(), wide, wide + 3);
      } else {
        c.single.insert(c.single.end(), single, single + 3);
      }
      if (normals_) c.normal.insert(c.normal.end(), normal, normal + 3);
      ++c.groups;
    }
  }

  // In order, up to the first group not read.
  WindowStep join(const Chunk& c, const TextWindows&) {
    const auto groups = static_cast<std::size_t>(c.groups);
    if (!(wide_ ? out_.add_double_block(c.wide.data(), groups) : out_.add_block(c.single.data(), groups)))
      return WindowStep::done(Failure::out_of_memory);
    if (normals_ && !out_.add_normal_block(c.normal.data(), groups)) return WindowStep::done(Failure::out_of_memory);
    groups_ += c.groups;
    if (c.out_of_memory) return WindowStep::done(Failure::out_of_memory);
    if (c.broken) return WindowStep::put_back(c.stopped_at);
    // A group the data ends inside goes back too: the one-thread reader finds where it stops.
    if (c.open) return WindowStep::carry(c.stopped_at);
    // The bytes read after the last group are dropped.
    if (groups_ == most_groups_) return WindowStep::done();
    return WindowStep::go_on();
  }

  std::int64_t groups() const { return groups_; }

 private:
  PointAppender& out_;
  const std::vector<GroupField>& fields_;
  bool wide_;
  bool normals_;  // the fields hold nx ny nz
  std::int64_t most_groups_;
  int threads_;
  std::int64_t groups_ = 0;  // appended so far
};

}  // namespace

FieldGroupsEnd read_field_groups(ByteSource& in, PointAppender& out, const std::vector<GroupField>& fields,
                                 std::int64_t most_groups, int threads, std::size_t window_bytes) {
  if (fields.empty() || most_groups <= 0) return {};
  GroupReader reader(out, fields, most_groups, threads < 1 ? 1 : threads);
  const Failure f = read_in_windows(in, {window_bytes, WindowCut::space}, threads, reader);
  return {f, reader.groups()};
}

}  // namespace ptdelta
