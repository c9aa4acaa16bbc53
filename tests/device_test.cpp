// Serial line settings, the UDP endpoint's start-up, and the hex dump.
#include "device/device.h"
#include "core/corvexd.h"
#include "diagnostics/diagnostics.h"
#include "support/support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace corvexd::test {
namespace {

TEST(SerialPort, LineIsFullyRawAt230400) {
  Pty board;
  const int probe = open(board.slavePath().c_str(), O_RDWR | O_NOCTTY);
  termios before{};
  ASSERT_EQ(tcgetattr(probe, &before), 0);
  // What a port may come up with: line editing, CR to LF, parity, flow control.
  before.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | BRKINT | IXON | IXOFF |
                    IXANY | IGNBRK | IMAXBEL;
  before.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_oflag |= OPOST | ONLCR;
  ASSERT_EQ(tcsetattr(probe, TCSANOW, &before), 0);

  debug = 1;
  CapturedFd out(STDOUT_FILENO);
  const int fd = openSerialAt(board.slavePath().c_str());
  debug = 0;
  ASSERT_GE(fd, 0);
  EXPECT_EQ(out.text(), "opened " + board.slavePath() + "\n");
  termios after{};
  ASSERT_EQ(tcgetattr(fd, &after), 0);
  EXPECT_EQ(cfgetispeed(&after), B230400);
  EXPECT_EQ(cfgetospeed(&after), B230400);
  EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD | CLOCAL),
            static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
  EXPECT_EQ(after.c_iflag, static_cast<tcflag_t>(IMAXBEL)) << "only unnamed flags stay as found";
  EXPECT_EQ(after.c_oflag, 0U);
  EXPECT_EQ(after.c_lflag, 0U);
  EXPECT_EQ(after.c_cc[VMIN], 0);
  EXPECT_EQ(after.c_cc[VTIME], 5);
  EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "the relay never waits on the line";
  close(fd);
  close(probe);
}

TEST(SerialPort, OpeningFailuresAreReported) {
  const struct {
    const char* path;
    const char* message;
  } cases[] = {
      {"/nonexistent/ttyAMA0", "corvexd: error when opening /nonexistent/ttyAMA0, errno=2\n"},
      {"/dev/null", "corvexd: error 25 from tcgetattr\n"},
  };
  for (const auto& c : cases) {
    CapturedFd err(STDERR_FILENO);
    EXPECT_LT(openSerialAt(c.path), 0);
    EXPECT_EQ(err.text(), c.message);
  }
}

TEST(SerialPort, TakenExclusively) {
  Pty board;
  const std::string& path = board.slavePath();
  const int fd = openSerialAt(path.c_str());
  ASSERT_GE(fd, 0);
  int exclusive = 0;
  if (ioctl(fd, TIOCGEXCL, &exclusive) == 0) { // qemu-user does not know this query
    EXPECT_EQ(exclusive, 1) << "programs without privilege are refused";
  }
  {
    CapturedFd err(STDERR_FILENO);
    EXPECT_LT(openSerialAt(path.c_str()), 0) << "a second daemon, even as root";
    EXPECT_EQ(err.text(), "corvexd: error when opening " + path + ", errno=16\n");
  }
  close(fd);
  const int again = openSerialAt(path.c_str());
  EXPECT_GE(again, 0) << "the lock ends with the descriptor";
  close(again);
}

TEST(UdpEndpoint, PortInUseIsReported) {
  UdpPeer taken("0.0.0.0");
  CapturedFd err(STDERR_FILENO);
  EXPECT_LT(openSocket(taken.port()), 0);
  EXPECT_EQ(err.text(), "corvexd: error when binding the socket to port " +
                            std::to_string(taken.port()) + ", errno=98\n");
}

TEST(PortArgument, OnlyDecimalNumbersInRange) {
  const struct {
    const char* text;
    bool valid;
    std::uint16_t port;
  } cases[] = {{"2460", true, 2460},
               {"0", true, 0},
               {"65535", true, 65535},
               {"00080", true, 80},
               {"65536", false, 0},
               {"70000", false, 0},
               {"-1", false, 0},
               {"+80", false, 0},
               {" 80", false, 0},
               {"24x", false, 0},
               {"abc", false, 0},
               {"", false, 0},
               {"99999999999999999999", false, 0}};
  for (const auto& c : cases) {
    std::uint16_t port = 1;
    EXPECT_EQ(parsePort(c.text, port), c.valid) << "'" << c.text << "'";
    EXPECT_EQ(port, c.valid ? c.port : 1) << "'" << c.text << "'";
  }
}

std::string hexRow(const char* offset, const Bytes& bytes, const std::string& chars) {
  std::string row = std::string(offset) + ":  ";
  char cell[4];
  for (const auto b : bytes) {
    std::snprintf(cell, sizeof cell, "%02X ", b);
    row += cell;
  }
  return row + std::string(3 * (16 - bytes.size()), ' ') + "   *" + chars + "*\n";
}

TEST(HexDump, RowsOfSixteen) {
  Bytes all(400);
  for (std::size_t i = 0; i < all.size(); ++i) {
    all[i] = static_cast<std::uint8_t>(i);
  }
  const Bytes high{0x7E, 0x7F, 0x80, 0xFF, 0x20, 0x1F};
  const struct {
    Bytes bytes;
    std::size_t lines;
    std::string last;
  } cases[] = {
      {{}, 1, "Serial data\n"},
      {{0x61, 0x00, 0x01, 0x00, 0x41}, 2, hexRow("0000", {0x61, 0x00, 0x01, 0x00, 0x41}, "a...A")},
      {Bytes(16, 0x41), 2, hexRow("0000", Bytes(16, 0x41), std::string(16, 'A'))},
      {Bytes(17, 0x41), 3, hexRow("0010", {0x41}, "A")},
      {all, 26, hexRow("0180", Bytes(all.end() - 16, all.end()), "................")},
      {high, 2, hexRow("0000", high, "~... .")},
  };
  for (const auto& c : cases) {
    CapturedFd out(STDOUT_FILENO);
    dump("Serial data", c.bytes.data(), c.bytes.size());
    const std::string text = out.text();
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), c.lines);
    ASSERT_GE(text.size(), c.last.size());
    EXPECT_EQ(text.substr(text.size() - c.last.size()), c.last);
    EXPECT_EQ(text.rfind("Serial data\n", 0), 0U);
  }
}

} // namespace
} // namespace corvexd::test
