#include "input/field_groups.h"

#include "core/exact.h"
#include "core/parallel.h"
#include "input/scan_number.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

// One chunk of a window: its tokens, then the groups that begin in it.
struct Chunk {
  std::size_t begin = 0, end = 0;  // in the window
  std::int64_t tokens = 0;         // white-space-separated tokens in [begin, end)
  std::int64_t first_token = 0;    // the window's tokens before the chunk
  std::vector<float> single;       // x y z of every group read, as the precision asks
  std::vector<double> wide;
  std::int64_t groups = 0;
  // The first group not read: it did not convert token by token (broken), or
  // it runs past the window's cut (open); `stopped_at` is its first byte.
  bool broken = false, open = false, out_of_memory = false;
  std::size_t stopped_at = 0;
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

struct Job {
  const char* base;  // the window
  std::size_t cut;
  const std::vector<GroupField>* fields;
  bool wide;
  std::int64_t most_groups;  // in this window
};

// Reads the groups whose first token lies in the chunk (the last one may run on
// into later chunks, up to the cut).
void parse_chunk(const Job& job, Chunk& c) {
  const auto size = static_cast<std::int64_t>(job.fields->size());
  // Tokens of a group begun in an earlier chunk come first.
  std::int64_t skip = (size - c.first_token % size) % size;
  std::int64_t group = (c.first_token + skip) / size;
  const char* p = job.base + c.begin;
  const char* const cut = job.base + job.cut;
  for (; skip > 0; --skip) {
    while (p != cut && is_text_space(*p)) ++p;
    while (p != cut && !is_text_space(*p)) ++p;
  }
  ByteSource in(p, static_cast<std::size_t>(cut - p));
  const auto token_ends = [&in] {
    const int next = in.peek();
    return next < 0 || is_text_space(static_cast<char>(next));
  };
  for (; group < job.most_groups; ++group) {
    if (!in.skip_space()) return;
    const auto start = static_cast<std::size_t>(in.cursor() - job.base);
    if (start >= c.end) return;  // the next group begins in a later chunk
    float single[3] = {0.0f, 0.0f, 0.0f};
    double wide[3] = {0.0, 0.0, 0.0};
    for (const GroupField& f : *job.fields) {
      if (!in.skip_space()) {
        c.open = true;
        c.stopped_at = start;
        return;
      }
      bool converted = false;
      if (f.integer) {
        int value = 0;
        converted = scan_int(in, value);
        if (converted && f.axis >= 0) {
          single[f.axis] = single_of(static_cast<double>(value));
          wide[f.axis] = static_cast<double>(value);
        }
      } else if (f.axis < 0) {
        float ignored = 0.0f;
        converted = scan_float(in, ignored);
      } else {
        converted = job.wide ? scan_double(in, wide[f.axis]) : scan_float(in, single[f.axis]);
      }
      if (!converted || !token_ends()) {
        c.broken = true;
        c.out_of_memory = in.out_of_memory();
        c.stopped_at = start;
        return;
      }
    }
    if (job.wide) {
      c.wide.insert(c.wide.end(), wide, wide + 3);
    } else {
      c.single.insert(c.single.end(), single, single + 3);
    }
    ++c.groups;
  }
}

}  // namespace

FieldGroupsEnd read_field_groups(ByteSource& in, PointAppender& out, const std::vector<GroupField>& fields,
                                 std::int64_t most_groups, int threads, std::size_t window_bytes) {
  FieldGroupsEnd end;
  if (fields.empty() || most_groups <= 0) return end;
  const bool wide = out.precision() == ReadPrecision::shifted;
  const int workers = threads < 1 ? 1 : threads;
  TextWindows window(in, window_bytes, WindowCut::space);
  std::vector<Chunk> chunks;
  for (;;) {
    if (const Failure f = window.fill(); f != Failure::none) return {f, end.groups};
    const std::vector<std::size_t>& ends = window.chunk_ends();
    chunks.assign(ends.size(), Chunk{});
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      chunks[k].begin = window.chunk_begin(k);
      chunks[k].end = ends[k];
    }
    const auto chunk_count = static_cast<std::int64_t>(chunks.size());
    run_chunks(chunk_count, workers, [&](std::int64_t k) {
      Chunk& c = chunks[static_cast<std::size_t>(k)];
      c.tokens = count_tokens(window.data() + c.begin, window.data() + c.end);
    });
    for (std::size_t k = 1; k < chunks.size(); ++k)
      chunks[k].first_token = chunks[k - 1].first_token + chunks[k - 1].tokens;
    const Job job{window.data(), window.cut(), &fields, wide, most_groups - end.groups};
    run_chunks(chunk_count, workers, [&](std::int64_t k) { parse_chunk(job, chunks[static_cast<std::size_t>(k)]); });

    // Join in order, up to the first group not read.
    std::size_t next = window.cut();  // where the next window begins
    for (const Chunk& c : chunks) {
      const auto groups = static_cast<std::size_t>(c.groups);
      if (!(wide ? out.add_double_block(c.wide.data(), groups) : out.add_block(c.single.data(), groups)))
        return {Failure::out_of_memory, end.groups};
      end.groups += c.groups;
      if (c.out_of_memory) return {Failure::out_of_memory, end.groups};
      if (c.broken) {
        window.put_back(c.stopped_at);
        return end;
      }
      if (c.open) {
        next = c.stopped_at;
        break;
      }
    }
    if (end.groups == most_groups) return end;
    if (window.at_end()) {
      // A group the data ends inside: the one-thread reader finds where it stops.
      if (next < window.size()) window.put_back(next);
      return end;
    }
    window.drop_before(next);
  }
}

}  // namespace ptdelta
