// An arbitrary byte stream from the board, handed to the serial handler in
// chunks of every size. What must hold beyond "no crash": the peer receives exactly the
// complete frames of the stream that fit 400 bytes, each as one datagram,
// whole, unchanged and in order; stray bytes, headers declaring more than
// that (noise, after which a start byte among the header's own bytes begins
// the next frame) and a frame cut off by the end of the stream reach nobody.
// No time passes, so no frame meets its deadline.
#include "core/corvexd.h"
#include "seam.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <vector>

namespace {

using namespace corvexd;
using Bytes = std::vector<std::uint8_t>;

int peer = -1;
std::size_t whole = SIZE_MAX;

// The frames a correct bridge forwards, worked out apart from the daemon.
std::vector<Bytes> expectedFrames(const std::uint8_t* data, std::size_t size) {
  std::vector<Bytes> frames;
  std::size_t at = 0;
  while (at < size) {
    if (data[at] != 0x61) {
      ++at;
      continue;
    }
    if (size - at < 4) {
      break;
    }
    const std::size_t length = fuzz::declaredLength(data + at);
    if (length > 400) { // noise: the next start byte within the header begins a frame
      std::size_t skip = 1;
      while (skip < 4 && data[at + skip] != 0x61) {
        ++skip;
      }
      at += skip;
      continue;
    }
    if (size - at < length) {
      break;
    }
    frames.emplace_back(data + at, data + at + length);
    at += length;
  }
  return frames;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sockaddr_in bridge{};
  peer = fuzz::setUpRelay(bridge, sa);
  whole = fuzz::wholeRead(peer);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  // The first byte sets how the line hands the stream over: reads of at most
  // 1 to 15 bytes, or of whatever is asked; and whether tracing is on.
  const unsigned piece = data[0] & 0x0FU;
  fuzz::seam.piece = piece == 0 ? whole : piece;
  debug = data[0] >> 7U;
  fuzz::seam.input = data + 1;
  fuzz::seam.left = size - 1;
  resetRelay(); // no frame half-read from the last input

  std::vector<Bytes> sent;
  while (fuzz::seam.left > 0) { // the port is readable while bytes wait
    if (!processSerial()) {
      std::abort(); // nothing the board sends may end the bridge
    }
    for (auto& datagram : fuzz::drain(peer)) {
      sent.push_back(std::move(datagram));
    }
  }
  if (sent != expectedFrames(data + 1, size - 1)) {
    std::abort();
  }
  return 0;
}
