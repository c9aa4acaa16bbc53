// Process-wide state and frame limits shared by the bridge's parts.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace corvexd {

// Frame: start byte, 16-bit big-endian payload length, one more header byte, payload.
constexpr unsigned char kStartByte = 0x61;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kFrameMax = 400;
constexpr std::size_t kPayloadMax = kFrameMax - kHeaderSize;

constexpr std::uint16_t kDefaultPort = 2460;

constexpr const char* kVersionText = "corvexd: version 2014-05-31\n";
constexpr const char* kUsageText = "Usage: corvexd [-d] [-p port] [-v] [-x]\n";

extern int debug;      // trace lines and hex dumps on standard output
extern int sockFd;     // the UDP socket
extern int serialFd;   // the serial port to the board
extern sockaddr_in sa; // newest sender; port 0 means no peer yet

// Serial device the daemon opens; each executable defines it at build time.
extern const char* const serialDevicePath;

// Full length (header included) that a frame's header declares. Header bytes
// beyond `held` have not arrived and count as zero.
[[nodiscard]] constexpr std::size_t declaredLength(const unsigned char* frame, std::size_t held) {
  const std::size_t high = held > 1 ? frame[1] : 0U;
  const std::size_t low = held > 2 ? frame[2] : 0U;
  return (high << 8U | low) + kHeaderSize;
}

// Start-up and event loop.
[[nodiscard]] bool parsePort(const char* text, std::uint16_t& port);
[[nodiscard]] int openSocket(std::uint16_t port);
[[nodiscard]] bool runPass();
[[nodiscard]] int runEventLoop();
[[nodiscard]] int runDaemon(int argc, char** argv);

// Frame relay: true to carry on, false after a fatal error.
[[nodiscard]] bool processSocket();
[[nodiscard]] bool processSerial();

} // namespace corvexd
