// The built daemon (simulated control line, serial device a pseudo-terminal).
#include "support/support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <memory>
#include <thread>

namespace corvexd::test {
namespace {

const std::string kDaemon = CORVEXD_TEST_DAEMON;
const std::string kDevice = CORVEXD_TEST_DEVICE;
const std::string kUsage = "Usage: corvexd [-d] [-p port] [-v] [-x]\n";
const std::string kVersion = "corvexd: version 2014-05-31\n";
constexpr milliseconds kStart{5000};

std::uint16_t freePort() { return UdpPeer("0.0.0.0").port(); }

// Ends any daemon of this build still running, detached ones included.
void killStrays() {
  DIR* proc = opendir("/proc");
  while (const dirent* entry = proc ? readdir(proc) : nullptr) {
    std::ifstream cmdline(std::string("/proc/") + entry->d_name + "/cmdline");
    for (std::string arg; std::getline(cmdline, arg, '\0');) {
      if (arg == kDaemon) { // argv[0], or the emulator's first argument
        kill(std::stoi(entry->d_name), SIGKILL);
        break;
      }
    }
  }
  if (proc) {
    closedir(proc);
  }
}

class Daemon : public ::testing::Test {
 protected:
  void SetUp() override { linkDevice(); }
  void TearDown() override {
    killStrays();
    unlink(kDevice.c_str());
  }
  void linkDevice() {
    unlink(kDevice.c_str());
    ASSERT_EQ(symlink(board.slavePath().c_str(), kDevice.c_str()), 0);
  }
  static std::unique_ptr<Process> run(std::vector<std::string> args) {
    args.insert(args.begin(), kDaemon);
    return std::make_unique<Process>(args);
  }
  // Starts a tracing daemon on a free port and waits until it serves.
  std::unique_ptr<Process> serve(std::vector<std::string> extra = {}) {
    port = freePort();
    extra.insert(extra.end(), {"-x", "-p", std::to_string(port)});
    auto daemon = run(extra);
    EXPECT_TRUE(daemon->waitForOutput("opened " + kDevice + "\n", kStart)) << daemon->err();
    return daemon;
  }
  // One request and its answer through the bridge.
  void roundTrip(const Bytes& request, const Bytes& answer) {
    client.sendTo(port, request);
    EXPECT_EQ(board.read(request.size(), kStart), request);
    board.write(answer);
    EXPECT_EQ(client.receive(kStart), answer);
  }

  Pty board;
  UdpPeer client;
  std::uint16_t port = 0;
};

TEST_F(Daemon, CommandLine) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {{"-v"}, 0, kVersion, ""},
      {{"-v", "-z"}, 0, kVersion, ""},
      {{"-d", "-v"}, 0, kVersion, ""},
      {{"-z", "-v"}, 1, "", kDaemon + ": invalid option -- 'z'\n" + kUsage},
      {{"-p"}, 1, "", kDaemon + ": option requires an argument -- 'p'\n" + kUsage},
      {{"-p", "abc"}, 1, "", "corvexd: invalid port number 'abc'\n" + kUsage},
      {{"-p", "70000"}, 1, "", "corvexd: invalid port number '70000'\n" + kUsage},
      {{"-p", "-1"}, 1, "", "corvexd: invalid port number '-1'\n" + kUsage},
      {{"-p", "24x", "-v"}, 1, "", "corvexd: invalid port number '24x'\n" + kUsage},
  };
  for (const auto& c : cases) {
    auto daemon = run(c.args);
    EXPECT_EQ(daemon->wait(kStart), c.status) << c.args[0];
    EXPECT_EQ(daemon->out(), c.out);
    EXPECT_EQ(daemon->err(), c.err);
  }
}

TEST_F(Daemon, StartUpFailuresStopBeforeTheLoop) {
  UdpPeer taken("0.0.0.0");
  auto busy = run({"-x", "-p", std::to_string(taken.port())});
  EXPECT_EQ(busy->wait(kStart), 1);
  EXPECT_EQ(busy->out(), "opened a simulated control line\n");
  EXPECT_EQ(busy->err(), "corvexd: error when binding the socket to port " +
                             std::to_string(taken.port()) + ", errno=98\n");

  unlink(kDevice.c_str());
  auto missing = run({"-x", "-p", "0"});
  EXPECT_EQ(missing->wait(kStart), 1);
  EXPECT_EQ(missing->out(), "opened a simulated control line\nopened the UDP socket on port 0\n");
  EXPECT_EQ(missing->err(), "corvexd: error when opening " + kDevice + ", errno=2\n");
}

TEST_F(Daemon, RoadOfOneRequestThenTheBoardHangsUp) {
  const auto started = std::chrono::steady_clock::now();
  auto daemon = serve();
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(770)) << "pulse and settle";
  EXPECT_EQ(daemon->out(), "opened a simulated control line\nopened the UDP socket on port " +
                               std::to_string(port) + "\nopened " + kDevice + "\n");

  roundTrip({0x61, 0x00, 0x02, 0x0A, 0x12, 0x34}, {0x61, 0x00, 0x01, 0x0B, 0x56});
  EXPECT_TRUE(daemon->waitForOutput("Serial data\n0000:  61 00 01 0B 56 ", kStart));
  EXPECT_NE(daemon->out().find("Socket data\n0000:  61 00 02 0A 12 34 "), std::string::npos);

  board.closeMaster();
  EXPECT_EQ(daemon->wait(kStart), 1);
  EXPECT_EQ(daemon->err(), "corvexd: error when reading from the serial port, errno=0\n")
      << "a hung-up line reads as end of file";
}

TEST_F(Daemon, StopAndContinueDoNotEndTheBridge) {
  auto daemon = serve();
  daemon->signal(SIGSTOP);
  std::this_thread::sleep_for(milliseconds(100));
  daemon->signal(SIGCONT);
  roundTrip(frame({1, 2}), frame({3}));
  EXPECT_EQ(daemon->err(), "");
}

TEST_F(Daemon, ClosedStandardStreamsNeverReachTheBoard) {
  if (std::getenv("CORVEXD_TEST_WRAPPER") != nullptr) {
    GTEST_SKIP() << "the wrapper (valgrind) takes the free descriptors itself";
  }
  port = freePort();
  Process daemon({kDaemon, "-x", "-p", std::to_string(port)}, {STDOUT_FILENO, STDERR_FILENO});
  ASSERT_TRUE(waitUntilBound(port, kStart)); // standard descriptors are fixed before that
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    char target[64] = {};
    const auto link = "/proc/" + std::to_string(daemon.pid()) + "/fd/" + std::to_string(fd);
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
  }
  client.sendTo(port, {0x00}); // its message must not go down the line
  roundTrip(frame({0x0D}), frame({0x0A}));
}

TEST_F(Daemon, VanishedLogReaderDoesNotEndIt) {
  auto daemon = serve();
  daemon->closeOutput();             // `corvexd -x | head` once head has exited
  roundTrip(frame({1}), frame({2})); // its dumps now fail to be written
  roundTrip(frame({3}), frame({4}));
  EXPECT_FALSE(daemon->wait(milliseconds(100)).has_value()) << "status " << daemon->err();
}

TEST_F(Daemon, TellsSystemdOnceItServes) {
  // An abstract socket ('@'); systemd's own, a path, is met by the system test.
  const std::string name = "@corvexd-test-notify-" + std::to_string(getpid());
  const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path + 1, name.size() - 1, 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
            0);
  setenv("NOTIFY_SOCKET", name.c_str(), 1);
  auto daemon = serve();
  unsetenv("NOTIFY_SOCKET");
  const auto nextMessage = [&](milliseconds within) {
    pollfd ready{listener, POLLIN, 0};
    char message[512] = {};
    if (poll(&ready, 1, static_cast<int>(within.count())) == 1) {
      EXPECT_GT(recv(listener, message, sizeof message - 1, 0), 0);
    }
    return std::string(message);
  };
  const std::string relaying =
      "relaying frames between UDP port " + std::to_string(port) + " and " + kDevice;
  EXPECT_EQ(nextMessage(kStart), "READY=1\nSTATUS=" + relaying + "\n");
  // What it has done, at most once a second and only when it changed.
  roundTrip(frame({1}), frame({2}));
  client.sendTo(port, {0x00});
  EXPECT_EQ(nextMessage(milliseconds(1500)),
            "STATUS=" + relaying +
                ": 1 to the board, 1 from it; dropped: 1 invalid datagrams, 0 faults from the "
                "board, 0 for a busy line, 0 by the kernel\n");
  EXPECT_EQ(nextMessage(milliseconds(1200)), "") << "nothing while idle, READY only once";
  daemon->pump(milliseconds(50));
  EXPECT_EQ(daemon->err(), "corvexd: invalid start byte when reading from the socket, 0x00\n");
  close(listener);
  daemon->signal(SIGTERM);
  daemon->wait(kStart);

  // Not a socket systemd would name: said once, and the bridge serves on.
  setenv("NOTIFY_SOCKET", "notify", 1);
  auto unnamed = serve();
  unsetenv("NOTIFY_SOCKET");
  roundTrip(frame({3}), frame({4}));
  unnamed->pump(milliseconds(50));
  EXPECT_EQ(unnamed->err(), "corvexd: error when notifying systemd, errno=97\n");
}

TEST_F(Daemon, DetachedChildServesAfterTheParentReturns) {
  port = freePort();
  auto parent = run({"-d", "-p", std::to_string(port)});
  EXPECT_EQ(parent->wait(kStart), 0);
  // The socket is bound only after the 770 ms pulse: the parent did not wait.
  EXPECT_FALSE(udpDrops({port}).has_value()) << "the parent returned after start-up";
  EXPECT_TRUE(waitUntilBound(port, kStart)) << "the detached child did not start";
  roundTrip(frame({0x61}), frame({0x0D}));
}

#ifdef CORVEXD_TEST_GPIOD_DAEMON
TEST_F(Daemon, MissingGpioLineStopsStartUpFirst) {
  if (access("/dev/gpiochip0", F_OK) == 0) {
    GTEST_SKIP() << "this machine has a GPIO chip";
  }
  Process daemon({CORVEXD_TEST_GPIOD_DAEMON, "-x", "-p", std::to_string(freePort())});
  EXPECT_EQ(daemon.wait(kStart), 1);
  EXPECT_EQ(daemon.out(), "") << "no socket, no serial port";
  EXPECT_EQ(daemon.err(), "corvexd: error when initialising GPIO4, errno=2\n");
}
#endif

} // namespace
} // namespace corvexd::test
