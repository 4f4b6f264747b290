// text_tokens.h - white space and tokens as every text reader sees them
// One white-space predicate (the classic locale's isspace) and one tokenizer, so no two readers split a line differently.
#pragma once

#include <cstddef>
#include <string_view>

namespace ptdelta {

// ' ', '\t', '\n', '\v', '\f', '\r': the classic locale's isspace, written out so
// that a locale set elsewhere in the process cannot change what separates
// tokens. Branch-free, so that loops over many bytes vectorise.
inline bool is_text_space(char c) { return (c == ' ') | (static_cast<unsigned char>(c - '\t') <= '\r' - '\t'); }

// `text` from its first byte that is not white space on (empty when there is none).
inline std::string_view skip_text_space(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_text_space(text[i])) ++i;
  return text.substr(i);
}

// Calls take(token) for each run of non-white-space bytes of `text`, in order,
// until it returns false.
template <class Take>
void for_each_token(std::string_view text, Take take) {
  for (;;) {
    text = skip_text_space(text);
    if (text.empty()) return;
    std::size_t n = 1;
    while (n < text.size() && !is_text_space(text[n])) ++n;
    if (!take(text.substr(0, n))) return;
    text.remove_prefix(n);
  }
}

}  // namespace ptdelta
