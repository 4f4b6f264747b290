#include "input/cloud_list.h"

#include <climits>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "input/header_line.h"
#include "input/text_tokens.h"

namespace ptdelta {

namespace {

enum class ListLine { name, end, too_long };

// Takes one whole list line and leaves its first token in `name` (empty for a
// blank line). A NUL byte ends the token as it would end a C string. A line
// longer than any path (PATH_MAX bytes before its '\n') cannot name a file and is
// not read to its end, which may never come (/dev/zero given as a list).
ListLine read_list_line(ByteSource& list, std::string& line, std::string& name) {
  name.clear();
  HeaderLineLimits limits;
  limits.max_length = PATH_MAX;
  switch (read_header_line(list, line, limits).end) {
    case HeaderLineEnd::no_data:
      return ListLine::end;
    case HeaderLineEnd::over_limit:
      return ListLine::too_long;
    case HeaderLineEnd::line:
      break;
  }
  for_each_token(line, [&name](std::string_view token) {
    name.assign(token.substr(0, token.find('\0')));
    return false;
  });
  return ListLine::name;
}

// One opened file of a list: by its content, PLY when nothing is recognised.
Failure read_named_file(std::FILE* file, PointAppender& out, FormatTable formats, FileFacts& facts, int threads) {
  try {
    ByteSource source(file);
    const FormatRow* row = recognise_format(source, formats);
    return read_by_row(row != nullptr ? *row : ply_format, source, out, facts, threads);
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
}

}  // namespace

ReadOutcome read_cloud_list(ByteSource& list, PointAppender& out, FormatTable formats, int threads) {
  ReadOutcome outcome;
  outcome.list = true;
  try {
    std::string text, name;
    for (ListLine line; (line = read_list_line(list, text, name)) != ListLine::end;) {
      if (line == ListLine::too_long) {
        outcome.failure = Failure::read_error;  // about the list itself
        return outcome;
      }
      if (name.empty()) continue;
      // Had before the file is opened, so running out of memory leaves no file open.
      FileFacts& facts = outcome.files.emplace_back();
      facts.name = name;
      std::FILE* file = std::fopen(name.c_str(), "r");
      if (file == nullptr) {
        outcome.files.pop_back();
        outcome.failure = Failure::cannot_open;
        outcome.failed_name = name;
        return outcome;
      }
      const Failure failure = read_named_file(file, out, formats, facts, threads);
      // Closed at once, so a long list never runs out of file handles.
      std::fclose(file);
      if (failure != Failure::none) {
        outcome.failure = failure;
        outcome.failed_name = name;
        outcome.failed_format = facts.format;
        return outcome;
      }
    }
  } catch (const std::bad_alloc&) {
    outcome.failure = Failure::out_of_memory;
  }
  return outcome;
}

}  // namespace ptdelta
