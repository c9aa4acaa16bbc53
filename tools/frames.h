// Frames and hex text for the programs around the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvex {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kStartByte = 0x61;
constexpr std::size_t kHeaderSize = 4;

// Start byte, big-endian payload length, fourth header byte, payload.
Bytes makeFrame(const Bytes& payload, std::uint8_t fourth = 0);

// Hex digits in pairs, optionally separated by spaces, ':' or '-'.
std::optional<Bytes> parseHex(const std::string& text);
std::string toHex(const Bytes& bytes);

// A pseudo-terminal set up as the board's line (raw, 230400 8N1, no flow
// control), its master non-blocking; the slave is held open so that nothing
// is echoed or translated while no daemon has it. Ends the program with a
// message when it cannot.
struct BoardLine {
  int master;
  int slave;
  std::string slavePath;
};
BoardLine openBoardLine(const char* program);

// Splits a serial byte stream into frames the way the daemon does: a byte
// that is not a start byte where a frame should begin is stray; once a start
// byte is seen, the rest of the frame is taken by count.
class FrameReader {
 public:
  struct Event {
    bool stray;
    Bytes bytes;
  };
  std::vector<Event> feed(const std::uint8_t* data, std::size_t count);
  [[nodiscard]] std::size_t pending() const { return pending_.size(); }

 private:
  Bytes pending_;
};

} // namespace corvex
