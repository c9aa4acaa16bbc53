// Frame relay between the UDP socket and the serial port. Only the header is
// looked at; every frame passes byte for byte. Nothing here waits: frames for
// the board are queued and written as the line takes them, and the board's
// bytes are cut into frames as they come, so neither direction holds the
// other up.
#include "core/corvexd.h"
#include "core/syscall.h"
#include "diagnostics/diagnostics.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace corvexd {

RelayCounts counts{};

namespace {

using FrameBuffer = std::array<unsigned char, kFrameMax>;

// Board to network: the frame being gathered. `inLength` is 0 until its
// header is whole and accepted.
FrameBuffer inFrame;
std::size_t inHeld = 0;
std::size_t inLength = 0;
long long inDeadline = kNever;
std::array<unsigned char, kSerialReadMax> inChunk;

// Network to board: whole frames waiting for the line, oldest first, in a
// ring.
std::array<unsigned char, kSerialQueueMax> outQueue;
std::size_t outHead = 0;
std::size_t outSize = 0;

// Drops that would flood the log one by one under overload are reported at
// most once a second, with the count since the last report.
struct Throttled {
  void (*write)(unsigned count);
  unsigned pending;
  long long lastReport;
};
constexpr long long kLongAgo = -kReportIntervalMs;
Throttled busyDrops{
    [](unsigned n) { report("corvexd: serial line busy, %u frames from the socket dropped\n", n); },
    0, kLongAgo};
Throttled kernelDrops{
    [](unsigned n) { report("corvexd: %u datagrams dropped by the kernel\n", n); }, 0, kLongAgo};
std::uint32_t kernelDropTotal = 0; // the socket's own count, as last seen

void reportDue(Throttled& throttled, long long now) {
  if (throttled.pending > 0 && now - throttled.lastReport >= kReportIntervalMs) {
    throttled.write(throttled.pending);
    throttled.pending = 0;
    throttled.lastReport = now;
  }
}

void noteDrops(Throttled& throttled, unsigned count, long long now) {
  throttled.pending += count;
  reportDue(throttled, now);
}

[[nodiscard]] long long dueAt(const Throttled& throttled) {
  return throttled.pending > 0 ? throttled.lastReport + kReportIntervalMs : kNever;
}

// The socket's count of datagrams dropped for want of room, which the kernel
// attaches to each datagram received (SO_RXQ_OVFL).
void noteKernelDrops(msghdr& message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) {
      continue;
    }
    std::uint32_t total = 0;
    std::memcpy(&total, CMSG_DATA(c), sizeof total);
    if (total != kernelDropTotal) {
      const std::uint32_t dropped = total - kernelDropTotal;
      kernelDropTotal = total;
      counts.kernel += dropped;
      noteDrops(kernelDrops, dropped, monotonicMs());
    }
  }
}

[[nodiscard]] bool enqueue(const unsigned char* frame, std::size_t length) {
  if (kSerialQueueMax - outSize < length) {
    return false;
  }
  const std::size_t tail = (outHead + outSize) % kSerialQueueMax;
  const std::size_t first = std::min(length, kSerialQueueMax - tail);
  std::memcpy(outQueue.data() + tail, frame, first);
  std::memcpy(outQueue.data(), frame + first, length - first);
  outSize += length;
  return true;
}

void reportIncomplete(std::size_t gathered, std::size_t length) {
  report("corvexd: incomplete frame from the CORVEX, %u of %u bytes\n",
         static_cast<unsigned>(gathered), static_cast<unsigned>(length));
}

void sendToPeer(const unsigned char* frame, std::size_t length) {
  if (debug) {
    dump("Serial data", frame, length);
  }
  if (sa.sin_port == 0) {
    return; // no peer yet
  }
  errno = 0;
  // Not waiting for room in the socket's buffer: the board's side must not
  // stall behind a slow network.
  const ssize_t sent = sendToRetry(sockFd, frame, length, MSG_DONTWAIT,
                                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  if (sent != static_cast<ssize_t>(length)) {
    // The peer may be forged or out of reach for now; the bridge must go on.
    report("corvexd: error when writing to the socket, len=%d, errno=%d\n", static_cast<int>(sent),
           errno);
    return;
  }
  ++counts.fromBoard;
}

// A header whose length no frame of the board's has is text or line noise.
// Reading its "payload" would deafen the bridge for as long, so nothing more
// is consumed for it; a start byte among its last three bytes may begin the
// next frame, with a second of its own.
void rejectHeader(long long now) {
  report("corvexd: frame from the CORVEX too long, %u bytes\n", static_cast<unsigned>(inLength));
  ++counts.board;
  const auto headerEnd = inFrame.begin() + kHeaderSize;
  const auto next = std::find(inFrame.begin() + 1, headerEnd, kStartByte);
  inHeld = static_cast<std::size_t>(headerEnd - next);
  std::copy(next, headerEnd, inFrame.begin());
  inLength = 0;
  inDeadline = inHeld > 0 ? now + kFrameTimeLimitMs : kNever;
}

// Cuts the board's bytes into frames, by count, so that payload bytes equal
// to the start byte are never taken for one.
void parseSerial(const unsigned char* bytes, std::size_t count, long long now) {
  const unsigned char* const end = bytes + count;
  while (bytes < end) {
    if (inHeld == 0) {
      const unsigned char byte = *bytes++;
      if (byte != kStartByte) {
        report("corvexd: unknown byte from the CORVEX, 0x%02X\n", byte);
        ++counts.board;
        continue;
      }
      inFrame[0] = byte;
      inHeld = 1;
      inDeadline = now + kFrameTimeLimitMs;
      continue;
    }
    const std::size_t want = (inHeld < kHeaderSize ? kHeaderSize : inLength) - inHeld;
    const std::size_t take = std::min(want, static_cast<std::size_t>(end - bytes));
    std::memcpy(inFrame.data() + inHeld, bytes, take);
    bytes += take;
    inHeld += take;
    if (inHeld == kHeaderSize && inLength == 0) {
      inLength = declaredLength(inFrame.data(), kHeaderSize);
      if (inLength > kFrameMax) {
        rejectHeader(now);
        continue;
      }
    }
    if (inHeld == inLength) {
      sendToPeer(inFrame.data(), inLength);
      inHeld = 0;
      inLength = 0;
      inDeadline = kNever;
    }
  }
}

} // namespace

bool processSocket() {
  FrameBuffer frame;
  alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(std::uint32_t))> control;
  iovec content{frame.data(), frame.size()};
  msghdr message{};
  message.msg_name = &sa;
  message.msg_iov = &content;
  message.msg_iovlen = 1;
  ssize_t received;
  do {
    message.msg_namelen = sizeof sa;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    // MSG_TRUNC yields the datagram's true length even when it is longer
    // than the buffer, so an oversized frame is never forwarded cut short.
    received = recvmsg(sockFd, &message, MSG_TRUNC);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    report("corvexd: error when reading from the socket, errno=%d\n", errno);
    return false;
  }
  noteKernelDrops(message);
  const auto length = static_cast<std::size_t>(received);
  const std::size_t held = std::min(length, frame.size());
  if (debug) {
    dump("Socket data", frame.data(), held);
  }
  if (held > 0 && frame[0] != kStartByte) {
    report("corvexd: invalid start byte when reading from the socket, 0x%02X\n", frame[0]);
    ++counts.invalid;
    return true;
  }
  const std::size_t expected = declaredLength(frame.data(), held);
  if (length != expected) {
    report("corvexd: invalid length when reading from the socket, %u=%d\n",
           static_cast<unsigned>(expected), static_cast<int>(length));
    ++counts.invalid;
    return true;
  }
  if (length > held) {
    report("corvexd: frame too long when reading from the socket, %d bytes\n",
           static_cast<int>(length));
    ++counts.invalid;
    return true;
  }
  if (!enqueue(frame.data(), length)) {
    ++counts.busy;
    noteDrops(busyDrops, 1, monotonicMs());
    return true;
  }
  ++counts.toBoard;
  // An idle line takes the frame at once; a busy one when the wait says so.
  return outSize != length || flushSerial();
}

bool flushSerial() {
  while (outSize > 0) {
    const std::size_t run = std::min(outSize, kSerialQueueMax - outHead);
    const ssize_t written = ::write(serialFd, outQueue.data() + outHead, run);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true; // the line's own buffer is full: later
    }
    if (written < 0) {
      report("corvexd: error when writing to the serial port, errno=%d\n", errno);
      return false;
    }
    const auto taken = static_cast<std::size_t>(written);
    outHead = (outHead + taken) % kSerialQueueMax;
    outSize -= taken;
    if (taken < run) {
      return true;
    }
  }
  outHead = 0; // the next frame in one piece
  return true;
}

bool serialQueued() { return outSize > 0; }

bool processSerial() {
  const ssize_t got = readRetry(serialFd, inChunk.data(), inChunk.size());
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    return true;
  }
  if (got <= 0) {
    // Readable but nothing to read (a hang-up), or the port failed.
    report("corvexd: error when reading from the serial port, errno=%d\n", got == 0 ? 0 : errno);
    return false;
  }
  parseSerial(inChunk.data(), static_cast<std::size_t>(got), monotonicMs());
  return true;
}

long long relayDueAt() { return std::min({inDeadline, dueAt(busyDrops), dueAt(kernelDrops)}); }

void runRelayTimers(long long now) {
  if (inHeld > 0 && now >= inDeadline) {
    reportIncomplete(inHeld, inHeld < kHeaderSize ? kHeaderSize : inLength);
    ++counts.board;
    inHeld = 0;
    inLength = 0;
    inDeadline = kNever;
  }
  reportDue(busyDrops, now);
  reportDue(kernelDrops, now);
}

void resetRelay() {
  inHeld = 0;
  inLength = 0;
  inDeadline = kNever;
  outHead = 0;
  outSize = 0;
  counts = RelayCounts{};
  busyDrops.pending = 0;
  busyDrops.lastReport = kLongAgo;
  kernelDrops.pending = 0;
  kernelDrops.lastReport = kLongAgo;
  kernelDropTotal = 0;
}

} // namespace corvexd
