// The relay handlers against a loopback UDP socket and a pseudo-terminal
// whose master end plays the board.
#include "core/corvexd.h"
#include "device/device.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace corvexd::test {
namespace {

constexpr milliseconds kQuiet{100};
constexpr milliseconds kWait{3000};

Bytes filled(std::size_t count, std::uint8_t value) { return Bytes(count, value); }

class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    debug = 0;
    serialFd = openSerialAt(board.slavePath().c_str());
    sockFd = openSocket(0);
    ASSERT_GE(serialFd, 0);
    ASSERT_GE(sockFd, 0);
    std::memset(&sa, 0, sizeof sa);
  }
  void TearDown() override {
    close(serialFd);
    close(sockFd);
  }
  [[nodiscard]] std::uint16_t port() const { return boundPort(sockFd); }

  Pty board;
  UdpPeer client;
};

struct SocketCase {
  const char* name;
  Bytes datagram;
  bool forwarded;
  const char* message;
};

TEST_F(Relay, DatagramsAreCheckedThenForwardedWhole) {
  Bytes oversized = frame(filled(396, 0x61));
  oversized.resize(405, 0x61); // header says 400, 405 arrive
  const SocketCase cases[] = {
      {"overview request", {0x61, 0x00, 0x02, 0x0A, 0x12, 0x34}, true, ""},
      {"empty payload", {0x61, 0x00, 0x00, 0x07}, true, ""},
      {"binary payload", frame({0x0D, 0x0A, 0x61, 0x11, 0x13, 0x03, 0x7F, 0xFF}), true, ""},
      {"largest frame", frame(filled(396, 0x0D)), true, ""},
      {"bad start byte",
       {0x62, 0x00, 0x00, 0x00},
       false,
       "corvexd: invalid start byte when reading from the socket, 0x62\n"},
      {"length disagrees",
       {0x61, 0x00, 0x05, 0x00, 0x01, 0x02},
       false,
       "corvexd: invalid length when reading from the socket, 9=6\n"},
      {"empty datagram", {}, false, "corvexd: invalid length when reading from the socket, 4=0\n"},
      {"start byte alone",
       {0x61},
       false,
       "corvexd: invalid length when reading from the socket, 4=1\n"},
      {"high length byte alone",
       {0x61, 0x01},
       false,
       "corvexd: invalid length when reading from the socket, 260=2\n"},
      {"cut by the buffer", oversized, false,
       "corvexd: invalid length when reading from the socket, 400=405\n"},
      {"declared too long", frame(filled(397, 1)), false,
       "corvexd: frame too long when reading from the socket, 401 bytes\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedFd err(STDERR_FILENO);
    client.sendTo(port(), c.datagram);
    ASSERT_TRUE(processSocket());
    if (c.forwarded) {
      EXPECT_EQ(board.read(c.datagram.size() + 1, kQuiet), c.datagram);
    } else {
      EXPECT_TRUE(board.read(1, kQuiet).empty());
    }
    EXPECT_EQ(err.text(), c.message);
    EXPECT_EQ(ntohs(sa.sin_port), client.port()) << "every sender becomes the peer";
  }
}

TEST_F(Relay, BoardFramesGoToTheNewestSenderOnly) {
  CapturedFd err(STDERR_FILENO);
  const Bytes answer = frame({0x61, 0x0D});
  board.write(answer);
  ASSERT_TRUE(processSerial()); // no peer yet: dropped without a word

  UdpPeer other;
  client.sendTo(port(), {0x00}); // rejected, but its sender is the peer now
  ASSERT_TRUE(processSocket());
  board.write(answer);
  ASSERT_TRUE(processSerial());
  EXPECT_EQ(client.receive(kWait), answer);

  other.sendTo(port(), frame({}));
  ASSERT_TRUE(processSocket());
  board.write(answer);
  ASSERT_TRUE(processSerial());
  EXPECT_EQ(other.receive(kWait), answer);
  EXPECT_FALSE(client.receive(kQuiet));
  EXPECT_EQ(err.text(), "corvexd: invalid start byte when reading from the socket, 0x00\n");
}

struct SerialCase {
  const char* name;
  Bytes stream;
  int calls;
  std::vector<Bytes> sent;
  const char* messages;
};

TEST_F(Relay, BoardStreamIsSplitIntoFrames) {
  const Bytes next = frame({0x42});
  const SerialCase cases[] = {
      {"stray byte then frame",
       {0x00, 0x61, 0x00, 0x00, 0x07},
       2,
       {{0x61, 0x00, 0x00, 0x07}},
       "corvexd: unknown byte from the CORVEX, 0x00\n"},
      {"start and line-end bytes in the payload",
       frame({0x61, 0x0D, 0x0A, 0x61, 0x11, 0x13, 0x0D, 0xFF}),
       1,
       {frame({0x61, 0x0D, 0x0A, 0x61, 0x11, 0x13, 0x0D, 0xFF})},
       ""},
      {"largest frame", frame(filled(396, 0x0D)), 1, {frame(filled(396, 0x0D))}, ""},
      {"noise header, then in step",
       concat({0x61, 0x01, 0x8D, 0x00}, next),
       2,
       {next},
       "corvexd: frame from the CORVEX too long, 401 bytes\n"},
      {"start byte inside a noise header",
       {0x61, 0x61, 0x00, 0x02, 0x00, 0x78, 0x79},
       1,
       {{0x61, 0x00, 0x02, 0x00, 0x78, 0x79}},
       "corvexd: frame from the CORVEX too long, 24836 bytes\n"},
      {"text from the board",
       concat({'l', 'o', 'a', 'd', 'i', 'n', 'g'}, next),
       5,
       {next},
       "corvexd: unknown byte from the CORVEX, 0x6C\n"
       "corvexd: unknown byte from the CORVEX, 0x6F\n"
       "corvexd: frame from the CORVEX too long, 25709 bytes\n"
       "corvexd: unknown byte from the CORVEX, 0x67\n"},
      {"header cut off",
       {0x61, 0x00},
       1,
       {},
       "corvexd: incomplete frame from the CORVEX, 2 of 4 bytes\n"},
      {"payload cut off",
       {0x61, 0x00, 0x05, 0x00, 0x01, 0x02},
       1,
       {},
       "corvexd: incomplete frame from the CORVEX, 6 of 9 bytes\n"},
  };
  client.sendTo(port(), {});
  ASSERT_TRUE(processSocket());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedFd err(STDERR_FILENO);
    board.write(c.stream);
    for (int i = 0; i < c.calls; ++i) {
      ASSERT_TRUE(processSerial());
    }
    for (const auto& expected : c.sent) {
      EXPECT_EQ(client.receive(kWait), expected);
    }
    EXPECT_FALSE(client.receive(kQuiet));
    EXPECT_EQ(err.text(), c.messages);
  }
}

TEST_F(Relay, FrameInPiecesArrivesWhole) {
  client.sendTo(port(), {});
  ASSERT_TRUE(processSocket());
  const Bytes whole = frame(filled(300, 0x61), 0x0D);
  const std::size_t cuts[] = {0, 1, 3, 60, whole.size()};
  std::thread writer([&] {
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      board.write(Bytes(whole.begin() + static_cast<long>(cuts[i]),
                        whole.begin() + static_cast<long>(cuts[i + 1])));
      std::this_thread::sleep_for(milliseconds(150)); // well under the stall bound
    }
  });
  EXPECT_TRUE(processSerial());
  writer.join();
  EXPECT_EQ(client.receive(kWait), whole);
}

TEST_F(Relay, TricklingFrameIsDroppedAfterASecond) {
  // A byte every 0.3 s never leaves the line silent for a whole read
  // time-out; all 14 bytes would take 3.9 s.
  const Bytes slow = frame(filled(10, 0x61));
  std::atomic<bool> dropped{false};
  std::thread writer([&] {
    for (std::size_t i = 0; i < slow.size() && !dropped; ++i) {
      board.write({slow[i]});
      std::this_thread::sleep_for(milliseconds(300));
    }
  });
  CapturedFd err(STDERR_FILENO);
  client.sendTo(port(), {});
  ASSERT_TRUE(processSocket());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(processSerial());
  dropped = true;
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  EXPECT_FALSE(client.receive(kQuiet));
  EXPECT_NE(err.text().find("corvexd: incomplete frame from the CORVEX, "), std::string::npos);
  EXPECT_NE(err.text().find(" of 14 bytes\n"), std::string::npos) << err.text();
}

TEST_F(Relay, EndlessStartBytesDoNotHoldTheCall) {
  std::atomic<bool> returned{false};
  std::thread writer([&] {
    const auto until = std::chrono::steady_clock::now() + milliseconds(5000);
    while (!returned && std::chrono::steady_clock::now() < until) {
      board.write(filled(64, 0x61)); // any four read as a header of 24,933 bytes
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  CapturedFd err(STDERR_FILENO);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(processSerial());
  returned = true;
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, milliseconds(3000));
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("corvexd: frame from the CORVEX too long, 24933 bytes\n", 0), 0U);
  EXPECT_NE(text.find("corvexd: incomplete frame from the CORVEX, 3 of 4 bytes\n"),
            std::string::npos);
}

TEST_F(Relay, FailedSendIsReportedAndTheBridgeGoesOn) {
  CapturedFd err(STDERR_FILENO);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(9);
  sa.sin_addr.s_addr = htonl(INADDR_BROADCAST); // no SO_BROADCAST: EACCES, nothing sent
  board.write(frame({1}));
  EXPECT_TRUE(processSerial());
  EXPECT_EQ(err.text(), "corvexd: error when writing to the socket, len=-1, errno=13\n");
}

TEST_F(Relay, SerialReadFailuresAreFatal) {
  CapturedFd err(STDERR_FILENO);
  EXPECT_FALSE(processSerial()) << "nothing within the read time-out at a frame's start";
  board.write({0x61, 0x00});
  std::thread unplug([&] {
    std::this_thread::sleep_for(milliseconds(200)); // inside the first empty read
    const int writeOnly = open("/dev/null", O_WRONLY);
    dup2(writeOnly, serialFd); // the next read fails with EBADF
    close(writeOnly);
  });
  EXPECT_FALSE(processSerial());
  unplug.join();
  EXPECT_EQ(err.text(),
            "corvexd: error when reading from the serial port, errno=0\n"
            "corvexd: error when reading from the serial port, errno=9\n");
}

TEST_F(Relay, SocketIsServedFirstWithinAPassBeyondSelectsReach) {
  // Descriptors above FD_SETSIZE, as a parent that leaks them would leave.
  constexpr int kHigh = FD_SETSIZE + 100;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max < rlim_t{kHigh + 2}) {
    GTEST_SKIP() << "the descriptor limit is below " << kHigh + 2;
  }
  rlimit raised = limit;
  raised.rlim_cur = std::max(limit.rlim_cur, rlim_t{kHigh + 2});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  ASSERT_EQ(dup2(sockFd, kHigh), kHigh);
  ASSERT_EQ(dup2(serialFd, kHigh + 1), kHigh + 1);
  close(sockFd);
  close(serialFd);
  sockFd = kHigh;
  serialFd = kHigh + 1;

  client.sendTo(port(), frame({}));
  ASSERT_TRUE(processSocket());
  ASSERT_EQ(board.read(4, kWait).size(), 4U);
  UdpPeer other;
  board.write(frame({2}));
  other.sendTo(port(), frame({1}));
  std::this_thread::sleep_for(milliseconds(50)); // both sides ready
  ASSERT_TRUE(runPass());
  EXPECT_EQ(board.read(6, kWait), frame({1}));
  EXPECT_EQ(other.receive(kWait), frame({2})) << "the new sender was the peer before the read";
  EXPECT_FALSE(client.receive(kQuiet));
  setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(Relay, SignalDuringTheWaitDoesNotEndIt) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGUSR1, &action, nullptr); // no SA_RESTART: select fails with EINTR
  const pthread_t loop = pthread_self();
  std::thread later([&] {
    std::this_thread::sleep_for(milliseconds(100));
    pthread_kill(loop, SIGUSR1);
    std::this_thread::sleep_for(milliseconds(100));
    client.sendTo(port(), frame({3}));
  });
  CapturedFd err(STDERR_FILENO);
  EXPECT_TRUE(runPass());
  later.join();
  signal(SIGUSR1, SIG_DFL);
  EXPECT_EQ(board.read(5, kWait), frame({3}));
  EXPECT_EQ(err.text(), "");
}

} // namespace
} // namespace corvexd::test
