#include "diagnostics/diagnostics.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace corvexd {

namespace {

constexpr std::size_t kRowBytes = 16;
constexpr std::array<char, 16> kHexDigits{'0', '1', '2', '3', '4', '5', '6', '7',
                                          '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

[[nodiscard]] bool printable(unsigned char byte) { return byte >= 0x20 && byte <= 0x7E; }

} // namespace

void dump(const char* title, const unsigned char* bytes, std::size_t count) {
  std::fputs(title, stdout);
  std::fputc('\n', stdout);
  // Longest row: offset (up to 16 digits), hex column, separator, characters.
  std::array<char, 24 + kRowBytes * 3 + 4 + kRowBytes + 2> line{};
  for (std::size_t offset = 0; offset < count; offset += kRowBytes) {
    const std::size_t row = std::min(kRowBytes, count - offset);
    int used = std::snprintf(line.data(), line.size(), "%04zX:  ", offset);
    auto pos = static_cast<std::size_t>(used);
    for (std::size_t i = 0; i < kRowBytes; ++i) {
      if (i < row) {
        const unsigned char byte = bytes[offset + i];
        line[pos++] = kHexDigits[byte >> 4U];
        line[pos++] = kHexDigits[byte & 0x0FU];
      } else {
        line[pos++] = ' ';
        line[pos++] = ' ';
      }
      line[pos++] = ' ';
    }
    for (const char c : {' ', ' ', ' ', '*'}) {
      line[pos++] = c;
    }
    for (std::size_t i = 0; i < row; ++i) {
      const unsigned char byte = bytes[offset + i];
      line[pos++] = printable(byte) ? static_cast<char>(byte) : '.';
    }
    line[pos++] = '*';
    line[pos++] = '\n';
    std::fwrite(line.data(), 1, pos, stdout);
  }
  std::fflush(stdout);
}

} // namespace corvexd
