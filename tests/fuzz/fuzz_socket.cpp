// One datagram, as anyone on the network could send it, handed to the socket
// handler. What must hold beyond "no crash": exactly a valid frame reaches the
// serial line, whole and unchanged (also when the line takes it in pieces),
// and anything else reaches nothing; the sender becomes the peer either way.
#include "core/corvexd.h"
#include "seam.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace corvexd;

int client = -1;
sockaddr_in clientAddress{};
sockaddr_in bridgeAddress{};

// Deliberately written apart from the daemon's own checks.
bool isValidFrame(const std::uint8_t* data, std::size_t size) {
  return size >= 4 && size <= 400 && data[0] == 0x61 && size == fuzz::declaredLength(data);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  client = fuzz::setUpRelay(bridgeAddress, clientAddress);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 65507) { // the largest UDP payload over IPv4
    return 0;
  }
  // The serial line takes each write in pieces of a size the input picks, so
  // the continuation of a write cut short is fuzzed too.
  unsigned sum = 0;
  for (std::size_t i = 0; i < size; ++i) {
    sum += data[i];
  }
  fuzz::seam.piece = sum % 5 == 0 ? SIZE_MAX : 1 + sum % 13;
  fuzz::seam.written.clear();
  debug = static_cast<int>(sum & 1U);
  std::memset(&sa, 0, sizeof sa);

  if (sendto(client, data, size, 0, reinterpret_cast<const sockaddr*>(&bridgeAddress),
             sizeof bridgeAddress) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  if (!processSocket()) {
    std::abort(); // nothing a datagram holds may end the bridge
  }
  while (serialQueued()) { // the line's room, as the wait would report it
    if (!flushSerial()) {
      std::abort();
    }
  }
  if (sa.sin_port != clientAddress.sin_port ||
      sa.sin_addr.s_addr != clientAddress.sin_addr.s_addr) {
    std::abort(); // the sender is the peer, valid frame or not
  }
  const auto& out = fuzz::seam.written;
  if (isValidFrame(data, size)) {
    if (out.size() != size || std::memcmp(out.data(), data, size) != 0) {
      std::abort();
    }
  } else if (!out.empty()) {
    std::abort();
  }
  return 0;
}
