#include "input/cloud_format.h"

#include <cstring>
#include <string_view>

#include "input/text_tokens.h"

namespace ptdelta {

namespace {

// `line` starts with `word` as a whole word (followed by white space or nothing).
bool starts_with_word(std::string_view line, std::string_view word) {
  return line.starts_with(word) && (line.size() == word.size() || is_text_space(line[word.size()]));
}

bool is_ply_magic_line(std::string_view line) {
  if (!line.starts_with("ply")) return false;
  for (const char c : line.substr(3))
    if (!is_text_space(c)) return false;
  return true;
}

}  // namespace

const char* format_name(CloudFormat format) {
  switch (format) {
    case CloudFormat::text:
      return "text";
    case CloudFormat::ply:
      return "ply";
    case CloudFormat::pcd:
      return "pcd";
    case CloudFormat::las:
      return "las";
    case CloudFormat::list:
      return "list";
  }
  return "text";
}

std::optional<CloudFormat> recognise_format(ByteSource& in) {
  if (!in.refill()) return std::nullopt;
  const std::string_view bytes(in.cursor(), static_cast<std::size_t>(in.buffer_end() - in.cursor()));
  if (bytes.starts_with("LASF")) return CloudFormat::las;
  std::string_view rest = bytes;
  bool first = true;
  while (!rest.empty()) {
    const std::size_t nl = rest.find('\n');
    // A line cut off by the end of the block is still judged by its start.
    const std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
    if (first) {
      if (is_ply_magic_line(line)) return CloudFormat::ply;
      if (line.starts_with("# .PCD")) return CloudFormat::pcd;
      first = false;
    }
    const std::string_view content = skip_text_space(line);
    if (content.empty() || content.front() == '#') continue;
    if (starts_with_word(content, "VERSION") || starts_with_word(content, "FIELDS")) return CloudFormat::pcd;
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace ptdelta
