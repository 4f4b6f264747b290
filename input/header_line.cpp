#include "input/header_line.h"

#include <algorithm>
#include <cstring>

namespace ptdelta {

HeaderLine read_header_line(ByteSource& in, std::string& line, HeaderLineLimits& limits) {
  line.clear();
  HeaderLine result;
  std::size_t length = 0;  // bytes of the line before its '\n', kept or not
  while (in.refill()) {
    result.end = HeaderLineEnd::line;
    // What the buffer holds of the line: up to and including its '\n', or all of it.
    const char* cur = in.cursor();
    const auto available = static_cast<std::size_t>(in.buffer_end() - cur);
    const auto* nl = static_cast<const char*>(std::memchr(cur, '\n', available));
    const std::size_t content = nl ? static_cast<std::size_t>(nl - cur) : available;
    const std::size_t n = nl ? content + 1 : content;
    // Both limits are checked before the bytes are taken.
    if (content > limits.max_length - length || n > limits.allowance) {
      line.clear();
      result.end = HeaderLineEnd::over_limit;
      return result;
    }
    length += content;
    limits.allowance -= n;
    const std::size_t room = limits.keep - std::min(limits.keep, line.size());
    if (n > room) result.cut = true;
    line.append(cur, std::min(n, room));
    in.skip(n);
    if (nl) break;
  }
  return result;
}

}  // namespace ptdelta
