// A serial line for the fuzz targets, seamed in at link time
// (-Wl,--wrap=read,--wrap=write,--wrap=nanosleep): reads on `fd` come from a
// buffer in pieces of at most `piece` bytes and 0 once it is used up (the
// port's read time-out), writes to `fd` are collected, and the relay's pauses
// take no time. Every other descriptor and thread goes to the real calls.
#pragma once

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

// Descriptor that stands for the serial port (a real one, so it collides
// with nothing), and a loopback UDP socket bound to a free port.
int openSeamFd();
int openLoopbackSocket();
// Everything waiting on a non-blocking socket, one entry per datagram.
std::vector<std::vector<std::uint8_t>> drain(int fd);

} // namespace corvexd::fuzz
