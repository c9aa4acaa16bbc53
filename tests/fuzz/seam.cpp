#include "seam.h"

#include "core/corvexd.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace corvexd::fuzz {

SerialSeam seam;

namespace {

int openLoopbackSocket(sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::abort();
  }
  return fd;
}

} // namespace

int setUpRelay(sockaddr_in& bridge, sockaddr_in& other) {
  serialFd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (serialFd < 0) {
    std::abort();
  }
  seam.fd = serialFd;
  sockFd = openLoopbackSocket(bridge);
  const int fd = openLoopbackSocket(other);
  // One read of the line can hold a thousand 4-byte frames, all sent before
  // the target drains them; a receive buffer of the default size would drop
  // the tail. Root may go past rmem_max, others get what it allows.
  const int size = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  return fd;
}

std::size_t wholeRead(int fd) {
  int size = 0;
  socklen_t length = sizeof size;
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
  // A queued datagram costs the buffer its payload and about a kilobyte more.
  const std::size_t frames = static_cast<std::size_t>(size) / 1280;
  return frames >= 1024 ? SIZE_MAX : frames * 4;
}

std::vector<std::vector<std::uint8_t>> drain(int fd) {
  std::vector<std::vector<std::uint8_t>> datagrams;
  static std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) {
      return datagrams;
    }
    datagrams.emplace_back(buffer.begin(), buffer.begin() + n);
  }
}

} // namespace corvexd::fuzz

using corvexd::fuzz::seam;

extern "C" {
ssize_t __real_read(int fd, void* buf, size_t count);
ssize_t __real_write(int fd, const void* buf, size_t count);

ssize_t __wrap_read(int fd, void* buf, size_t count) {
  if (fd != seam.fd) {
    return __real_read(fd, buf, count);
  }
  const std::size_t n = std::min({count, seam.left, seam.piece});
  std::memcpy(buf, seam.input, n);
  seam.input += n;
  seam.left -= n;
  return static_cast<ssize_t>(n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t count) {
  if (fd != seam.fd) {
    return __real_write(fd, buf, count);
  }
  const std::size_t n = std::min(count, seam.piece);
  const auto* bytes = static_cast<const std::uint8_t*>(buf);
  seam.written.insert(seam.written.end(), bytes, bytes + n);
  return static_cast<ssize_t>(n);
}
}
