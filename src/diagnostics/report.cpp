#include "core/corvexd.h"
#include "diagnostics/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace corvexd {

void report(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void trace(const char* format, ...) {
  if (!debug) {
    return;
  }
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

} // namespace corvexd
