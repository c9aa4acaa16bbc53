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
// A whole frame takes 17.4 ms on the wire; one still arriving a second after
// its start byte is trickling, and the network side has waited long enough.
constexpr long long kFrameTimeLimitMs = 1000;

enum class Gather { complete, stalled, failed };

void reportSerialReadError(int error) {
  report("corvexd: error when reading from the serial port, errno=%d\n", error);
}

// Reads exactly `want` bytes, by count, so payload bytes equal to the start
// byte are never mistaken for one. Each read waits up to the port's 0.5 s
// time-out; two empty reads in a row mean the board stopped mid-frame, and
// the deadline bounds a frame that trickles in. The clock is looked at only
// after a read that came short.
[[nodiscard]] Gather gather(unsigned char* into, std::size_t want, std::size_t& got,
                            long long deadline) {
  got = 0;
  bool idle = false;
  while (got < want) {
    const ssize_t n = readRetry(serialFd, into + got, want - got);
    if (n < 0) {
      reportSerialReadError(errno);
      return Gather::failed;
    }
    got += static_cast<std::size_t>(n);
    if (got == want) {
      break;
    }
    if (n == 0 && idle) {
      return Gather::stalled;
    }
    if (monotonicMs() >= deadline) {
      return Gather::stalled;
    }
    idle = n == 0;
    if (idle) {
      sleepMs(kEmptyReadPauseMs);
    }
  }
  return Gather::complete;
}

void reportIncomplete(std::size_t gathered, std::size_t length) {
  report("corvexd: incomplete frame from the CORVEX, %u of %u bytes\n",
         static_cast<unsigned>(gathered), static_cast<unsigned>(length));
}

// Reads the frame on from byte `from` up to byte `to`; a stall is reported as
// an incomplete frame of `to` bytes.
[[nodiscard]] Gather gatherFrame(FrameBuffer& frame, std::size_t from, std::size_t to,
                                 long long deadline) {
  std::size_t got = 0;
  const Gather result = gather(frame.data() + from, to - from, got, deadline);
  if (result == Gather::stalled) {
    reportIncomplete(from + got, to);
  }
  return result;
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
  const long long deadline = monotonicMs() + kFrameTimeLimitMs;

  std::size_t held = 1; // start byte and the header bytes after it
  std::size_t length = 0;
  for (;;) {
    // A stalled frame is dropped and the relay goes on; a failed read ends it.
    if (const Gather header = gatherFrame(frame, held, kHeaderSize, deadline);
        header != Gather::complete) {
      return header == Gather::stalled;
    }
    length = declaredLength(frame.data(), kHeaderSize);
    if (length <= kFrameMax) {
      break;
    }
    // No frame of the board's is that long: this header is text or line
    // noise. Reading its "payload" would deafen the bridge for as long, so
    // nothing more is consumed for it; a start byte among its last three
    // bytes may begin the next frame.
    report("corvexd: frame from the CORVEX too long, %u bytes\n", static_cast<unsigned>(length));
    const unsigned char* const headerEnd = frame.data() + kHeaderSize;
    const unsigned char* const next =
        std::find(headerEnd - (kHeaderSize - 1), headerEnd, kStartByte);
    if (next == headerEnd) {
      return true;
    }
    held = static_cast<std::size_t>(headerEnd - next);
    std::copy(next, headerEnd, frame.data());
    // A line that keeps sending start bytes must not hold the call for good.
    if (monotonicMs() >= deadline) {
      reportIncomplete(held, kHeaderSize);
      return true;
    }
  }

  if (const Gather payload = gatherFrame(frame, kHeaderSize, length, deadline);
      payload != Gather::complete) {
    return payload == Gather::stalled;
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
