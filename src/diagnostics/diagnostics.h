// Messages on standard error, trace lines and hex dumps on standard output.
#pragma once

#include <cstddef>

namespace corvexd {

// One diagnostic on standard error; the format carries its own line end.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One trace line on standard output when tracing, flushed at once so that a
// trace read through a pipe or a log is current.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Titled hex dump, 16 bytes a row, on standard output; flushed at the end.
void dump(const char* title, const unsigned char* bytes, std::size_t count);

} // namespace corvexd
