// The board emulator's framing and the client's exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "frames.h"
#include "support/support.h"

namespace corvexd::test {
namespace {

TEST(FrameReader, SplitsTheStreamLikeTheDaemon) {
  const struct {
    const char* name;
    std::vector<Bytes> pieces;
    std::vector<std::pair<bool, Bytes>> events; // stray?, bytes
  } cases[] = {
      {"in pieces",
       {{0x61}, {0x00}, {0x02, 0x0A}, {0x12}, {0x34}},
       {{false, {0x61, 0x00, 0x02, 0x0A, 0x12, 0x34}}}},
      {"stray bytes first",
       {{0x00, 0x0D, 0x61, 0x00, 0x00, 0x07}},
       {{true, {0x00}}, {true, {0x0D}}, {false, {0x61, 0x00, 0x00, 0x07}}}},
      {"start bytes in the payload, two frames at once",
       {{0x61, 0x00, 0x02, 0x61, 0x61, 0x61, 0x61, 0x00, 0x00, 0x61}},
       {{false, {0x61, 0x00, 0x02, 0x61, 0x61, 0x61}}, {false, {0x61, 0x00, 0x00, 0x61}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    corvex::FrameReader reader;
    std::vector<std::pair<bool, Bytes>> events;
    for (const auto& piece : c.pieces) {
      for (auto& e : reader.feed(piece.data(), piece.size())) {
        events.emplace_back(e.stray, e.bytes);
      }
    }
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(reader.pending(), 0U);
  }
}

TEST(Hex, PairsOfDigitsWithSeparators) {
  EXPECT_EQ(corvex::parseHex("61 00:02-0a12"), (Bytes{0x61, 0x00, 0x02, 0x0A, 0x12}));
  EXPECT_EQ(corvex::parseHex(""), Bytes{});
  for (const char* bad : {"6", "61 0", "6 1", "0x61", "zz"}) {
    EXPECT_FALSE(corvex::parseHex(bad)) << bad;
  }
}

class Board : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/dev/shm/corvex-board-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = dir_ + "/tty";
  }
  void TearDown() override {
    board_.reset();
    unlink(link_.c_str());
    rmdir(dir_.c_str());
  }
  // Starts the emulator and opens its line as the daemon would.
  int start(std::vector<std::string> args) {
    args.insert(args.begin(), CORVEX_BOARD);
    args.push_back(link_);
    board_ = std::make_unique<Process>(args);
    EXPECT_TRUE(board_->waitForOutput("serving on", milliseconds(3000)));
    const int fd = open(link_.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    return fd;
  }
  Bytes readFrom(int fd, std::size_t count) {
    Bytes out;
    for (int i = 0; i < 100 && out.size() < count; ++i) {
      std::uint8_t buf[512];
      const ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
      if (n > 0) {
        out.insert(out.end(), buf, buf + n);
      } else {
        std::this_thread::sleep_for(milliseconds(20));
      }
    }
    return out;
  }

  std::string dir_;
  std::string link_;
  std::unique_ptr<Process> board_;
};

TEST_F(Board, AnswersEachFrameAndRemovesItsLink) {
  const int fd = start({});
  fcntl(fd, F_SETFL, O_NONBLOCK);
  const Bytes request = frame({0x61, 0x0D, 0x0A}, 0x0A);
  ASSERT_EQ(write(fd, "\x00\x07", 2), 2); // stray bytes first
  for (const auto byte : request) {       // then a frame a byte at a time
    ASSERT_EQ(write(fd, &byte, 1), 1);
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(readFrom(fd, request.size()), request);
  close(fd);
  board_->signal(SIGTERM);
  EXPECT_EQ(board_->wait(milliseconds(3000)), 0);
  EXPECT_NE(board_->out().find("stray byte 00\n"), std::string::npos);
  struct stat st {};
  EXPECT_NE(lstat(link_.c_str(), &st), 0) << "the link is removed on exit";
}

TEST_F(Board, FixedReplyAndFramesOfItsOwn) {
  const int fd = start({"--reply", "BEEF", "--type", "05", "--every", "300", "--send", "long"});
  fcntl(fd, F_SETFL, O_NONBLOCK);
  const Bytes request = frame({1, 2, 3});
  ASSERT_EQ(write(fd, request.data(), request.size()), 7);
  EXPECT_EQ(readFrom(fd, 6), (Bytes{0x61, 0x00, 0x02, 0x05, 0xBE, 0xEF}));
  const Bytes longFrame = readFrom(fd, 504);
  ASSERT_EQ(longFrame.size(), 504U);
  EXPECT_EQ(Bytes(longFrame.begin(), longFrame.begin() + 3), (Bytes{0x61, 0x01, 0xF4}));
  close(fd);
}

TEST(Client, ExitStatus) {
  UdpPeer bridge;
  std::thread echo([&] { // answers one datagram, as a bridge with an echoing board would
    pollfd p{bridge.fd(), POLLIN, 0};
    if (poll(&p, 1, 3000) > 0) {
      std::uint8_t buf[512];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          recvfrom(bridge.fd(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &length);
      sendto(bridge.fd(), buf, static_cast<std::size_t>(std::max<ssize_t>(n, 0)), 0,
             reinterpret_cast<sockaddr*>(&from), length);
    }
  });
  const std::string port = std::to_string(bridge.port());
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;
  } cases[] = {
      {{"-p", "1234", "127.0.0.1", port}, 0, "Answer\n0000:  61 00 02 00 12 34 "},
      {{"-w", "200", "127.0.0.1", port}, 1, ""},
      {{"-a", "0", "-r", "62", "127.0.0.1", port}, 0, ""},
      {{"-p", "zz"}, 2, ""},
      {{"-n", "0"}, 2, ""},
      {{"127.0.0.1", "70000"}, 2, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{CORVEX_CLIENT};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process client(argv);
    EXPECT_EQ(client.wait(milliseconds(3000)), c.status) << c.args[0] << " " << client.err();
    EXPECT_EQ(client.out().rfind(c.out, 0), 0U) << client.out();
  }
  echo.join();
}

} // namespace
} // namespace corvexd::test
