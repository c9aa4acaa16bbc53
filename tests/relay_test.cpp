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

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace corvexd::test {
namespace {

constexpr milliseconds kQuiet{100};
constexpr milliseconds kWait{3000};
constexpr milliseconds kPastDeadline{1150}; // a frame must be whole within 1 s

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
    resetRelay();
  }
  // Runs the wait loop's passes for `span`: nothing in a pass may wait on
  // one side while the other is ready, so this is how long the test lets
  // bytes travel.
  static void relay(milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
      const auto left = std::chrono::duration_cast<milliseconds>(until - now).count();
      ASSERT_TRUE(runPass(static_cast<int>(left) + 1));
    }
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
  relay(kQuiet); // no peer yet: dropped without a word

  UdpPeer other;
  client.sendTo(port(), {0x00}); // rejected, but its sender is the peer now
  relay(kQuiet);
  board.write(answer);
  relay(kQuiet);
  EXPECT_EQ(client.receive(kWait), answer);

  other.sendTo(port(), frame({}));
  relay(kQuiet);
  board.write(answer);
  relay(kQuiet);
  EXPECT_EQ(other.receive(kWait), answer);
  EXPECT_FALSE(client.receive(kQuiet));
  EXPECT_EQ(err.text(), "corvexd: invalid start byte when reading from the socket, 0x00\n");
}

struct SerialCase {
  const char* name;
  Bytes stream;
  milliseconds wait; // a cut-off frame is dropped a second after its start byte
  std::vector<Bytes> sent;
  const char* messages;
};

TEST_F(Relay, BoardStreamIsSplitIntoFrames) {
  const Bytes next = frame({0x42});
  const SerialCase cases[] = {
      {"stray byte then frame",
       {0x00, 0x61, 0x00, 0x00, 0x07},
       kQuiet,
       {{0x61, 0x00, 0x00, 0x07}},
       "corvexd: unknown byte from the CORVEX, 0x00\n"},
      {"start and line-end bytes in the payload",
       frame({0x61, 0x0D, 0x0A, 0x61, 0x11, 0x13, 0x0D, 0xFF}),
       kQuiet,
       {frame({0x61, 0x0D, 0x0A, 0x61, 0x11, 0x13, 0x0D, 0xFF})},
       ""},
      {"largest frame", frame(filled(396, 0x0D)), kQuiet, {frame(filled(396, 0x0D))}, ""},
      {"noise header, then in step",
       concat({0x61, 0x01, 0x8D, 0x00}, next),
       kQuiet,
       {next},
       "corvexd: frame from the CORVEX too long, 401 bytes\n"},
      {"start byte inside a noise header",
       {0x61, 0x61, 0x00, 0x02, 0x00, 0x78, 0x79},
       kQuiet,
       {{0x61, 0x00, 0x02, 0x00, 0x78, 0x79}},
       "corvexd: frame from the CORVEX too long, 24836 bytes\n"},
      {"text from the board",
       concat({'l', 'o', 'a', 'd', 'i', 'n', 'g'}, next),
       kQuiet,
       {next},
       "corvexd: unknown byte from the CORVEX, 0x6C\n"
       "corvexd: unknown byte from the CORVEX, 0x6F\n"
       "corvexd: frame from the CORVEX too long, 25709 bytes\n"
       "corvexd: unknown byte from the CORVEX, 0x67\n"},
      {"header cut off",
       {0x61, 0x00},
       kPastDeadline,
       {},
       "corvexd: incomplete frame from the CORVEX, 2 of 4 bytes\n"},
      {"payload cut off",
       {0x61, 0x00, 0x05, 0x00, 0x01, 0x02},
       kPastDeadline,
       {},
       "corvexd: incomplete frame from the CORVEX, 6 of 9 bytes\n"},
  };
  client.sendTo(port(), {});
  relay(kQuiet);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedFd err(STDERR_FILENO);
    board.write(c.stream);
    relay(c.wait);
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
      std::this_thread::sleep_for(milliseconds(150)); // well under the one-second bound
    }
  });
  relay(milliseconds(700));
  writer.join();
  EXPECT_EQ(client.receive(kWait), whole);
}

TEST_F(Relay, TricklingFrameIsDroppedAfterASecondWhileTheNetworkIsServed) {
  // A byte every 0.3 s: all 14 would take 3.9 s.
  const Bytes slow = frame(filled(10, 0x61));
  std::atomic<bool> dropped{false};
  std::thread writer([&] {
    for (std::size_t i = 0; i < slow.size() && !dropped; ++i) {
      board.write({slow[i]});
      std::this_thread::sleep_for(milliseconds(300));
    }
  });
  client.sendTo(port(), frame({}));
  relay(milliseconds(400));
  ASSERT_EQ(board.read(4, kWait), frame({}));
  CapturedFd err(STDERR_FILENO);
  client.sendTo(port(), frame({7})); // while the board's frame is still coming
  relay(kQuiet);
  EXPECT_EQ(board.read(5, milliseconds(10)), frame({7})) << "the network side was held";
  relay(milliseconds(800));
  dropped = true;
  writer.join();
  EXPECT_FALSE(client.receive(kQuiet));
  EXPECT_EQ(err.text().rfind("corvexd: incomplete frame from the CORVEX, ", 0), 0U) << err.text();
  EXPECT_NE(err.text().find(" of 14 bytes\n"), std::string::npos) << err.text();
}

TEST_F(Relay, EachAdoptedStartByteHasASecondOfItsOwn) {
  // A stray start byte, then, 990 ms later, a frame at the line's pace (it
  // ends after the stray byte's second): with the stray byte it reads as a
  // noise header, and the frame's own start byte is adopted with a second of
  // its own.
  const Bytes whole = frame(filled(396, 0x0D));
  client.sendTo(port(), frame({}));
  relay(kQuiet);
  CapturedFd err(STDERR_FILENO);
  board.write({0x61});
  relay(milliseconds(990));
  board.write(Bytes(whole.begin(), whole.begin() + 100));
  relay(milliseconds(40));
  board.write(Bytes(whole.begin() + 100, whole.end()));
  relay(kQuiet);
  EXPECT_EQ(client.receive(kWait), whole);
  EXPECT_EQ(err.text(), "corvexd: frame from the CORVEX too long, 24837 bytes\n");

  // A line that keeps sending start bytes reads as noise header after noise
  // header; what is left when it stops is dropped at its own deadline.
  CapturedFd more(STDERR_FILENO);
  board.write(filled(64, 0x61));
  relay(kPastDeadline);
  std::string expected;
  for (int i = 0; i < 61; ++i) {
    expected += "corvexd: frame from the CORVEX too long, 24933 bytes\n";
  }
  EXPECT_EQ(more.text(), expected + "corvexd: incomplete frame from the CORVEX, 3 of 4 bytes\n");
}

TEST_F(Relay, FrameThatDoesNotFitTheQueueIsDroppedWhole) {
  // The board reads nothing, so the line's own buffer fills, then the queue.
  constexpr int kFrames = 150; // 60 KB: more than a pseudo-terminal and the queue hold
  CapturedFd err(STDERR_FILENO);
  for (int i = 0; i < kFrames; ++i) {
    client.sendTo(port(), frame(filled(396, static_cast<std::uint8_t>(i))));
    relay(milliseconds(1));
  }
  relay(milliseconds(1100)); // the count since the first report, a second later
  const std::string text = err.text();
  EXPECT_EQ(text.rfind("corvexd: serial line busy, 1 frames from the socket dropped\n", 0), 0U)
      << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_GT(counts.busy, 1U);
  EXPECT_EQ(counts.toBoard + counts.busy, unsigned{kFrames});

  // What reaches the board is whole frames, in order.
  Bytes line;
  for (Bytes got = board.read(65536, kQuiet); !got.empty(); got = board.read(65536, kQuiet)) {
    line.insert(line.end(), got.begin(), got.end());
    relay(milliseconds(5)); // the queue goes on as the line takes it
  }
  ASSERT_EQ(line.size(), counts.toBoard * 400U);
  for (std::size_t at = 0, previous = 0; at < line.size(); at += 400) {
    const Bytes one(line.begin() + static_cast<long>(at),
                    line.begin() + static_cast<long>(at + 400));
    EXPECT_EQ(one, frame(filled(396, one[4])));
    EXPECT_TRUE(at == 0 || one[4] > previous) << "in order";
    previous = one[4];
  }
}

TEST_F(Relay, KernelDropsAreReported) {
  int told = 0;
  socklen_t size = sizeof told;
  if (getsockopt(sockFd, SOL_SOCKET, SO_RXQ_OVFL, &told, &size) != 0 || told == 0) {
    GTEST_SKIP() << "no SO_RXQ_OVFL here (qemu-user does not pass it on)";
  }
  const int small = 1; // the kernel's minimum: a few datagrams
  ASSERT_EQ(setsockopt(sockFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  constexpr unsigned kSent = 50;
  for (unsigned i = 0; i < kSent; ++i) {
    client.sendTo(port(), frame(filled(100, 1)));
  }
  CapturedFd err(STDERR_FILENO);
  relay(kQuiet);
  // The kernel tells of its drops with the next datagram it takes in.
  client.sendTo(port(), frame({}));
  relay(kQuiet);
  EXPECT_GT(counts.kernel, 0U);
  EXPECT_EQ(err.text(),
            "corvexd: " + std::to_string(counts.kernel) + " datagrams dropped by the kernel\n");
  EXPECT_EQ(counts.toBoard + counts.kernel, kSent + 1);
}

TEST_F(Relay, FailedSendIsReportedAndTheBridgeGoesOn) {
  CapturedFd err(STDERR_FILENO);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(9);
  sa.sin_addr.s_addr = htonl(INADDR_BROADCAST); // no SO_BROADCAST: EACCES, nothing sent
  board.write(frame({1}));
  relay(kQuiet);
  EXPECT_EQ(err.text(), "corvexd: error when writing to the socket, len=-1, errno=13\n");
}

TEST_F(Relay, SerialReadFailuresAreFatal) {
  CapturedFd err(STDERR_FILENO);
  EXPECT_TRUE(processSerial()) << "nothing there yet is no failure";
  const int writeOnly = open("/dev/null", O_WRONLY);
  dup2(writeOnly, serialFd); // the read fails with EBADF
  close(writeOnly);
  EXPECT_FALSE(processSerial());
  EXPECT_EQ(err.text(), "corvexd: error when reading from the serial port, errno=9\n");
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
  EXPECT_EQ(board.read(5, kWait), frame({1}));
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
