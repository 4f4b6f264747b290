#include "report/fixed_format.h"

#include <cstdarg>
#include <cstdio>

namespace ptdelta {

__attribute__((format(printf, 1, 2))) std::string format_text(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(size), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace ptdelta
