#include "input/number_stream.h"

#include <vector>

#include "input/room_for_rest.h"
#include "input/scan_number.h"
#include "input/text_windows.h"

namespace ptdelta {

namespace {

// Parses the numbers of each chunk on its own, then joins them three at a time.
class NumberReader {
 public:
  // What one chunk held: its numbers in order up to the first token that does
  // not convert, and where its last two numbers and that token start.
  struct Chunk {
    std::size_t begin = 0, end = 0;  // in the window
    std::vector<float> single;
    std::vector<double> wide;
    std::size_t count = 0;
    std::size_t last_starts[2] = {0, 0};  // [0] the last number's start, [1] the one before
    bool failed = false;                  // a token did not convert
    std::size_t failed_at = 0;            // that token's first byte
    bool out_of_memory = false;

    void start(std::size_t b, std::size_t e) {
      begin = b;
      end = e;
      single.clear();
      wide.clear();
      count = 0;
      failed = out_of_memory = false;
    }
  };

  NumberReader(ByteSource& in, PointAppender& out)
      : in_(in), out_(out), wide_(out.precision() == ReadPrecision::shifted), room_(in, out) {}

  void parse(const TextWindows& window, Chunk& c) const {
    const char* const base = window.data();
    const char* p = base + c.begin;
    const char* const end = base + c.end;
    for (;;) {
      while (p != end && is_text_space(*p)) ++p;
      if (p == end) return;
      const auto start = static_cast<std::size_t>(p - base);
      ScanResult r;
      if (wide_) {
        double v = 0.0;
        r = scan_double(p, end, v);
        if (r.converted) c.wide.push_back(v);
      } else {
        float v = 0.0f;
        r = scan_float(p, end, v);
        if (r.converted) c.single.push_back(v);
      }
      if (!r.converted) {
        c.failed = true;
        c.failed_at = start;
        c.out_of_memory = r.out_of_memory;
        return;
      }
      p = r.end;
      c.last_starts[1] = c.last_starts[0];
      c.last_starts[0] = start;
      ++c.count;
    }
  }

  // Every complete group is appended, up to the first chunk that did not
  // convert to its end.
  WindowStep join(const Chunk& c, const TextWindows& window) {
    // The group left open by the chunks before, then whole groups, then what is left.
    std::size_t i = 0;
    while (in_group_ > 0 && i < c.count)
      if (!take(c, i++)) return WindowStep::done(Failure::out_of_memory);
    const std::size_t whole = (c.count - i) / 3;
    if (!(wide_ ? out_.add_double_block(c.wide.data() + i, whole) : out_.add_block(c.single.data() + i, whole)))
      return WindowStep::done(Failure::out_of_memory);
    i += 3 * whole;
    for (; i < c.count; ++i)
      if (!take(c, i)) return WindowStep::done(Failure::out_of_memory);
    // A group still open at the end of the chunk began at one of its last two
    // numbers, unless it began in an earlier chunk (where it is then known).
    if (in_group_ > 0 && static_cast<std::size_t>(in_group_) <= c.count) group_at_ = c.last_starts[in_group_ - 1];
    if (!c.failed) return WindowStep::go_on();
    if (c.out_of_memory) return WindowStep::done(Failure::out_of_memory);
    stopped_at_line_ = window.line_of(in_group_ > 0 ? group_at_ : c.failed_at);
    return WindowStep::done();
  }

  // A group open at the window's end is read again, whole, from the next
  // window: where it starts is then always in the window at hand.
  WindowStep end_window(const TextWindows& window) {
    room_.check(in_, out_);
    if (in_group_ == 0) return WindowStep::go_on();
    if (window.at_end()) {
      stopped_at_line_ = window.line_of(group_at_);
      return WindowStep::done();
    }
    in_group_ = 0;
    return WindowStep::carry(group_at_);
  }

  std::int64_t stopped_at_line() const { return stopped_at_line_; }

 private:
  bool take(const Chunk& c, std::size_t i) {
    if (wide_) {
      wide_group_[in_group_] = c.wide[i];
    } else {
      single_group_[in_group_] = c.single[i];
    }
    if (++in_group_ < 3) return true;
    in_group_ = 0;
    return wide_ ? out_.add_double(wide_group_[0], wide_group_[1], wide_group_[2])
                 : out_.add(single_group_[0], single_group_[1], single_group_[2]);
  }

  ByteSource& in_;
  PointAppender& out_;
  bool wide_;
  RoomForRest room_;
  float single_group_[3] = {0.0f, 0.0f, 0.0f};
  double wide_group_[3] = {0.0, 0.0, 0.0};
  int in_group_ = 0;
  std::size_t group_at_ = 0;  // the open group's first byte in the window
  std::int64_t stopped_at_line_ = 0;
};

}  // namespace

NumberStreamEnd read_number_stream(ByteSource& in, PointAppender& out, int threads, std::size_t window_bytes) {
  NumberReader reader(in, out);
  // A window without white space is one long token: it grows until the token ends.
  const Failure f = read_in_windows(in, {window_bytes, WindowCut::space}, threads, reader);
  return {f, f == Failure::none ? reader.stopped_at_line() : 0};
}

}  // namespace ptdelta
