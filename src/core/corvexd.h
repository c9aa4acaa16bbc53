// Process-wide state and frame limits shared by the bridge's parts.
#pragma once

#include <netinet/in.h>

#include <climits>
#include <cstddef>
#include <cstdint>

namespace corvexd {

// Frame: start byte, 16-bit big-endian payload length, one more header byte, payload.
constexpr unsigned char kStartByte = 0x61;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kFrameMax = 400;
constexpr std::size_t kPayloadMax = kFrameMax - kHeaderSize;

// Frames for the board wait here while the line is busy: about a quarter of a
// second of line time at 230400 baud (23,040 bytes a second). A datagram
// whose frame does not fit is dropped whole.
constexpr std::size_t kSerialQueueMax = 6144;
// What one read of the board's side takes at most: all that is there.
constexpr std::size_t kSerialReadMax = 4096;
// A frame from the board must be whole this long after its start byte (a
// whole frame takes 17.4 ms on the wire).
constexpr long long kFrameTimeLimitMs = 1000;
// Drops are reported, and systemd's status line is sent, at most this often.
constexpr long long kReportIntervalMs = 1000;

constexpr std::uint16_t kDefaultPort = 2460;

constexpr const char* kVersionText = "corvexd: version 2014-05-31\n";
constexpr const char* kUsageText = "Usage: corvexd [-d] [-p port] [-v] [-x]\n";

extern int debug;      // trace lines and hex dumps on standard output
extern int sockFd;     // the UDP socket
extern int serialFd;   // the serial port to the board
extern sockaddr_in sa; // newest sender; port 0 means no peer yet

// What the relay has done, for systemd's status line.
struct RelayCounts {
  unsigned long long toBoard;   // frames queued for the board
  unsigned long long fromBoard; // frames sent to the peer
  unsigned long long invalid;   // datagrams dropped for their framing
  unsigned long long board;     // stray bytes, noise headers, incomplete frames
  unsigned long long busy;      // frames dropped because the line was busy
  unsigned long long kernel;    // datagrams the kernel dropped for the socket
};
extern RelayCounts counts;

// Serial device the daemon opens; each executable defines it at build time.
extern const char* const serialDevicePath;

// Full length (header included) that a frame's header declares. Header bytes
// beyond `held` have not arrived and count as zero.
[[nodiscard]] constexpr std::size_t declaredLength(const unsigned char* frame, std::size_t held) {
  const std::size_t high = held > 1 ? frame[1] : 0U;
  const std::size_t low = held > 2 ? frame[2] : 0U;
  return (high << 8U | low) + kHeaderSize;
}

// Start-up and event loop. One pass waits at most `maxWaitMs` (-1: until
// something is due), then serves what is ready.
[[nodiscard]] bool parsePort(const char* text, std::uint16_t& port);
[[nodiscard]] int openSocket(std::uint16_t port);
[[nodiscard]] bool runPass(int maxWaitMs = -1);
[[nodiscard]] int runEventLoop();
[[nodiscard]] int runDaemon(int argc, char** argv);

// Frame relay: true to carry on, false after a fatal error. None of them
// waits: the serial port is non-blocking.
[[nodiscard]] bool processSocket(); // one datagram into the line's queue
[[nodiscard]] bool processSerial(); // what the board sent, cut into frames
[[nodiscard]] bool flushSerial();   // the queue to the line, as it takes it
[[nodiscard]] bool serialQueued();  // bytes wait for the line
// When the relay next has something to do without any descriptor being
// ready (a frame's deadline, a report), on the monotonic clock in ms; or
// kNever. runRelayTimers does what is due.
constexpr long long kNever = LLONG_MAX;
[[nodiscard]] long long relayDueAt();
void runRelayTimers(long long now);
// Forgets every frame in progress, the queue, the counts and the reports.
void resetRelay();

} // namespace corvexd
