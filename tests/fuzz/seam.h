// A serial line for the fuzz targets, seamed in at link time
// (-Wl,--wrap=read,--wrap=write): reads on `fd` come from a buffer in pieces
// of at most `piece` bytes, and writes to `fd` are collected, taken in
// pieces of at most `piece` bytes too. Every other descriptor goes to the
// real calls.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvexd::fuzz {

struct SerialSeam {
  int fd = -1;
  const std::uint8_t* input = nullptr;
  std::size_t left = 0;
  std::size_t piece = SIZE_MAX;
  std::vector<std::uint8_t> written;
};

extern SerialSeam seam;

// Sets the relay up for a target: `serialFd` is the seam (a real descriptor,
// so it collides with nothing), `sockFd` a loopback UDP socket bound to a
// free port (its address in `bridge`). Returns another such socket, the
// client or the peer, and its address in `other`.
int setUpRelay(sockaddr_in& bridge, sockaddr_in& other);

// Full length of the frame whose four header bytes these are; worked out
// apart from the daemon, to check it.
inline std::size_t declaredLength(const std::uint8_t* header) {
  return 4U + (std::size_t{header[1]} << 8U) + header[2];
}
// The most a read may hand over at once for all its frames to fit the
// receive buffer of `fd` (SIZE_MAX: whatever is asked).
std::size_t wholeRead(int fd);
// Everything waiting on a non-blocking socket, one entry per datagram.
std::vector<std::vector<std::uint8_t>> drain(int fd);

} // namespace corvexd::fuzz
