// Frame relay between the UDP socket and the serial port. Only the header is
// looked at; every frame passes byte for byte.
#include "core/corvexd.h"
#include "core/syscall.h"
#include "diagnostics/diagnostics.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace corvexd {

namespace {

using FrameBuffer = std::array<unsigned char, kFrameMax>;

constexpr unsigned kEmptyReadPauseMs = 5;

enum class Gather { complete, stalled, failed };

void reportSerialReadError(int error) {
  report("corvexd: error when reading from the serial port, errno=%d\n", error);
}

// Reads exactly `want` bytes, by count, so payload bytes equal to the start
// byte are never mistaken for one. Each read waits up to the port's 0.5 s
// time-out; two empty reads in a row mean the board stopped mid-frame.
[[nodiscard]] Gather gather(unsigned char* into, std::size_t want, std::size_t& got) {
  got = 0;
  bool idle = false;
  while (got < want) {
    const ssize_t n = readRetry(serialFd, into + got, want - got);
    if (n < 0) {
      reportSerialReadError(errno);
      return Gather::failed;
    }
    if (n == 0) {
      if (idle) {
        return Gather::stalled;
      }
      idle = true;
      sleepMs(kEmptyReadPauseMs);
      continue;
    }
    idle = false;
    got += static_cast<std::size_t>(n);
  }
  return Gather::complete;
}

void reportIncomplete(std::size_t gathered, std::size_t length) {
  report("corvexd: incomplete frame from the CORVEX, %u of %u bytes\n",
         static_cast<unsigned>(gathered), static_cast<unsigned>(length));
}

// A frame that cannot fit the buffer is read by count and thrown away, so the
// stream stays in step with the board.
[[nodiscard]] bool discardFrame(FrameBuffer& frame, std::size_t length) {
  std::size_t discarded = kHeaderSize;
  while (discarded < length) {
    const std::size_t piece = std::min(length - discarded, kPayloadMax);
    std::size_t got = 0;
    const Gather result = gather(frame.data() + kHeaderSize, piece, got);
    discarded += got;
    if (result == Gather::failed) {
      return false;
    }
    if (result == Gather::stalled) {
      reportIncomplete(discarded, length);
      return true;
    }
  }
  report("corvexd: frame from the CORVEX too long, %u bytes\n", static_cast<unsigned>(length));
  return true;
}

} // namespace

bool processSocket() {
  FrameBuffer frame;
  ssize_t received;
  do {
    socklen_t addressLength = sizeof sa;
    // MSG_TRUNC yields the datagram's true length even when it is longer
    // than the buffer, so an oversized frame is never forwarded cut short.
    received = recvfrom(sockFd, frame.data(), frame.size(), MSG_TRUNC,
                        reinterpret_cast<sockaddr*>(&sa), &addressLength);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    report("corvexd: error when reading from the socket, errno=%d\n", errno);
    return false;
  }
  const auto length = static_cast<std::size_t>(received);
  const std::size_t held = std::min(length, frame.size());
  if (debug) {
    dump("Socket data", frame.data(), held);
  }
  if (held > 0 && frame[0] != kStartByte) {
    report("corvexd: invalid start byte when reading from the socket, 0x%02X\n", frame[0]);
    return true;
  }
  const std::size_t expected = declaredLength(frame.data(), held);
  if (length != expected) {
    report("corvexd: invalid length when reading from the socket, %u=%d\n",
           static_cast<unsigned>(expected), static_cast<int>(length));
    return true;
  }
  if (length > held) {
    report("corvexd: frame too long when reading from the socket, %d bytes\n",
           static_cast<int>(length));
    return true;
  }
  if (!writeAll(serialFd, frame.data(), length)) {
    report("corvexd: error when writing to the serial port, errno=%d\n", errno);
    return false;
  }
  return true;
}

bool processSerial() {
  FrameBuffer frame;
  const ssize_t first = readRetry(serialFd, frame.data(), 1);
  if (first != 1) {
    // Nothing within the read time-out although the port was readable.
    reportSerialReadError(first == 0 ? 0 : errno);
    return false;
  }
  if (frame[0] != kStartByte) {
    report("corvexd: unknown byte from the CORVEX, 0x%02X\n", frame[0]);
    return true;
  }

  std::size_t got = 0;
  switch (gather(frame.data() + 1, kHeaderSize - 1, got)) {
  case Gather::failed:
    return false;
  case Gather::stalled:
    reportIncomplete(1 + got, kHeaderSize);
    return true;
  case Gather::complete:
    break;
  }

  const std::size_t length = declaredLength(frame.data(), kHeaderSize);
  if (length > kFrameMax) {
    return discardFrame(frame, length);
  }
  switch (gather(frame.data() + kHeaderSize, length - kHeaderSize, got)) {
  case Gather::failed:
    return false;
  case Gather::stalled:
    reportIncomplete(kHeaderSize + got, length);
    return true;
  case Gather::complete:
    break;
  }

  if (debug) {
    dump("Serial data", frame.data(), length);
  }
  if (sa.sin_port == 0) {
    return true; // no peer yet
  }
  errno = 0;
  const ssize_t sent =
      sendToRetry(sockFd, frame.data(), length, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (sent != static_cast<ssize_t>(length)) {
    // The peer may be forged or out of reach for now; the bridge must go on.
    report("corvexd: error when writing to the socket, len=%d, errno=%d\n", static_cast<int>(sent),
           errno);
  }
  return true;
}

} // namespace corvexd
