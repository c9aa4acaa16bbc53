#include "frames.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvex {

BoardLine openBoardLine(const char* program) {
  BoardLine line{posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), -1, ""};
  termios t{};
  if (line.master >= 0 && grantpt(line.master) == 0 && unlockpt(line.master) == 0) {
    line.slavePath = ptsname(line.master);
    line.slave = open(line.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  if (line.slave < 0 || tcgetattr(line.slave, &t) != 0) {
    std::fprintf(stderr, "%s: cannot create a pseudo-terminal: %s\n", program,
                 std::strerror(errno));
    std::exit(1);
  }
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B230400);
  cfsetospeed(&t, B230400);
  if (tcsetattr(line.slave, TCSANOW, &t) != 0) {
    std::fprintf(stderr, "%s: cannot set up %s: %s\n", program, line.slavePath.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
  return line;
}

Bytes makeFrame(const Bytes& payload, std::uint8_t fourth) {
  Bytes frame(kHeaderSize + payload.size());
  frame[0] = kStartByte;
  frame[1] = static_cast<std::uint8_t>(payload.size() >> 8U);
  frame[2] = static_cast<std::uint8_t>(payload.size() & 0xFFU);
  frame[3] = fourth;
  std::copy(payload.begin(), payload.end(), frame.begin() + kHeaderSize);
  return frame;
}

std::optional<Bytes> parseHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == ':' || c == '-' || c == '\t') {
      if (high >= 0) {
        return std::nullopt; // a lone digit
      }
      continue;
    }
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return std::nullopt;
    }
    const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) {
    return std::nullopt;
  }
  return out;
}

std::string toHex(const Bytes& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (const auto b : bytes) {
    if (!out.empty()) {
      out += ' ';
    }
    out += digits[b >> 4U];
    out += digits[b & 0x0FU];
  }
  return out;
}

std::vector<FrameReader::Event> FrameReader::feed(const std::uint8_t* data, std::size_t count) {
  std::vector<Event> events;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = data[i];
    if (pending_.empty() && byte != kStartByte) {
      events.push_back({true, {byte}});
      continue;
    }
    pending_.push_back(byte);
    if (pending_.size() >= kHeaderSize &&
        pending_.size() == kHeaderSize + (std::size_t{pending_[1]} << 8U | pending_[2])) {
      events.push_back({false, std::move(pending_)});
      pending_.clear();
    }
  }
  return events;
}

} // namespace corvex
