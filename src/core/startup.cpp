// Command line, start-up order, UDP endpoint and the one wait loop.
#include "core/corvexd.h"
#include "core/syscall.h"
#include "device/device.h"
#include "diagnostics/diagnostics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace corvexd {

int debug = 0;
int sockFd = -1;
int serialFd = -1;
sockaddr_in sa{};

namespace {

enum class Detach { failed, parent, child };

[[nodiscard]] Detach detach() {
  const pid_t pid = fork();
  if (pid < 0) {
    report("corvexd: error in fork(), exiting\n");
    return Detach::failed;
  }
  if (pid > 0) {
    return Detach::parent;
  }
  // Outcomes deliberately unchecked: a daemon that keeps the caller's session
  // or directory still relays frames.
  if (setsid() < 0) {
  }
  if (chdir("/") != 0) {
  }
  umask(0);
  return Detach::child;
}

// A closed standard descriptor would be handed to the socket or the serial
// port, and every message would then go to the board or the network.
void keepStandardDescriptorsTaken() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
      continue;
    }
    // The lower ones are open by now, so this normally takes `fd` itself.
    const int null = open("/dev/null", O_RDWR);
    if (null > fd) {
      dup2(null, fd);
      close(null);
    }
  }
}

// The port a socket is bound to (the one the system picked for -p 0).
[[nodiscard]] std::uint16_t boundPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

// systemd (a Type=notify unit): READY=1 once the bridge serves, then a status
// line with what it has done, written directly to the datagram socket that
// $NOTIFY_SOCKET names rather than through libsystemd. Without it nothing is
// sent. A failure is reported once and ends the notifying, not the bridge:
// systemd's own time-out then acts.
int notifyFd = -1;
sockaddr_un notifyAddress{};
socklen_t notifyAddressLength = 0;
std::uint16_t servedPort = 0;
RelayCounts statusSent{};
long long statusSentAt = 0;

void stopNotifying(int error) {
  report("corvexd: error when notifying systemd, errno=%d\n", error);
  if (notifyFd >= 0) {
    close(notifyFd);
  }
  notifyFd = -1;
}

// `length` is what snprintf made of `message`: cut short, it is not sent.
template <std::size_t N>
void sendNotify(const std::array<char, N>& message, int length) {
  if (notifyFd < 0) {
    return;
  }
  if (length <= 0 || static_cast<std::size_t>(length) >= N) {
    stopNotifying(EMSGSIZE);
    return;
  }
  const ssize_t sent =
      sendto(notifyFd, message.data(), static_cast<std::size_t>(length), MSG_DONTWAIT,
             reinterpret_cast<const sockaddr*>(&notifyAddress), notifyAddressLength);
  if (sent != length) {
    stopNotifying(sent < 0 ? errno : EMSGSIZE);
  }
}

void notifyReady() {
  const char* const path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr) {
    return;
  }
  const std::size_t pathLength = std::strlen(path);
  if ((path[0] != '/' && path[0] != '@') || pathLength < 2) {
    stopNotifying(EAFNOSUPPORT); // not a socket systemd would name
    return;
  }
  if (pathLength >= sizeof notifyAddress.sun_path) {
    stopNotifying(ENAMETOOLONG);
    return;
  }
  notifyAddress.sun_family = AF_UNIX;
  std::memcpy(notifyAddress.sun_path, path, pathLength);
  if (path[0] == '@') {
    notifyAddress.sun_path[0] = '\0'; // an abstract socket
  }
  notifyAddressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + pathLength);
  notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (notifyFd < 0) {
    stopNotifying(errno);
    return;
  }
  servedPort = boundPort(sockFd);
  std::array<char, 192> message{};
  sendNotify(message, std::snprintf(message.data(), message.size(),
                                    "READY=1\nSTATUS=relaying frames between UDP port %u and %s\n",
                                    unsigned{servedPort}, serialDevicePath));
  statusSentAt = monotonicMs();
}

[[nodiscard]] bool countsChanged() { return std::memcmp(&counts, &statusSent, sizeof counts) != 0; }

[[nodiscard]] long long statusDueAt() {
  return notifyFd >= 0 && countsChanged() ? statusSentAt + kReportIntervalMs : kNever;
}

// What `systemctl status` shows: the first thing a user reads when a client
// hears nothing. Sent at most once a second, and only when a count changed.
void notifyStatus(long long now) {
  if (notifyFd < 0 || now < statusSentAt + kReportIntervalMs || !countsChanged()) {
    return;
  }
  statusSent = counts;
  statusSentAt = now;
  std::array<char, 384> message{};
  sendNotify(message,
             std::snprintf(message.data(), message.size(),
                           "STATUS=relaying frames between UDP port %u and %s: %llu to the "
                           "board, %llu from it; dropped: %llu invalid datagrams, %llu faults "
                           "from the board, %llu for a busy line, %llu by the kernel\n",
                           unsigned{servedPort}, serialDevicePath, counts.toBoard, counts.fromBoard,
                           counts.invalid, counts.board, counts.busy, counts.kernel));
}

// The wait's time-out: until the next timed duty, at most `maxWaitMs`
// (-1: none).
[[nodiscard]] int waitMs(int maxWaitMs) {
  const long long due = std::min(relayDueAt(), statusDueAt());
  if (due == kNever) {
    return maxWaitMs;
  }
  const long long left = std::clamp(due - monotonicMs(), 0LL, static_cast<long long>(INT_MAX));
  return maxWaitMs < 0 ? static_cast<int>(left) : std::min(maxWaitMs, static_cast<int>(left));
}

} // namespace

bool parsePort(const char* text, std::uint16_t& port) {
  if (*text == '\0') {
    return false;
  }
  unsigned long value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') {
      return false;
    }
    value = value * 10U + static_cast<unsigned long>(*p - '0');
    if (value > 65535U) {
      return false;
    }
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

int openSocket(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    report("corvexd: error when creating the socket, errno=%d\n", errno);
    return fd;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    const int error = errno;
    close(fd);
    report("corvexd: error when binding the socket to port %u, errno=%d\n", unsigned{port}, error);
    return -1;
  }
  // The kernel's count of datagrams it dropped for want of room comes with
  // each datagram, so that such drops can be told. Without it (no such
  // option) they go unsaid, and nothing else changes.
  const int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
  }
  trace("opened the UDP socket on port %u\n", unsigned{port});
  return fd;
}

bool runPass(int maxWaitMs) {
  // poll, unlike select, has no ceiling on descriptor numbers: a parent that
  // leaked a thousand descriptors cannot make the wait write past its set.
  // The line is asked for room only while frames wait for it.
  const auto serialEvents = static_cast<short>(POLLIN | (serialQueued() ? POLLOUT : 0));
  std::array<pollfd, 2> ready{{{sockFd, POLLIN, 0}, {serialFd, serialEvents, 0}}};
  int count;
  do {
    count = poll(ready.data(), ready.size(), waitMs(maxWaitMs));
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    report("corvexd: error from select, errno=%d\n", errno);
    return false;
  }
  // Any other event counts as readable, as it would for select: a hang-up
  // or an error then shows in the handler's read. The network side is
  // always served first within a pass.
  if (ready[0].revents != 0 && !processSocket()) {
    return false;
  }
  if ((ready[1].revents & POLLOUT) != 0 && !flushSerial()) {
    return false;
  }
  if ((ready[1].revents & ~POLLOUT) != 0 && !processSerial()) {
    return false;
  }
  const long long now = monotonicMs();
  runRelayTimers(now);
  notifyStatus(now);
  return true;
}

int runEventLoop() {
  while (runPass()) {
  }
  return EXIT_FAILURE;
}

int runDaemon(int argc, char** argv) {
  keepStandardDescriptorsTaken();
  // A log reader that goes away must not end the bridge: a message or trace
  // line then fails to be written, and nothing else happens.
  std::signal(SIGPIPE, SIG_IGN);
  bool daemonMode = false;
  std::uint16_t port = kDefaultPort;
  int option;
  while ((option = getopt(argc, argv, "dp:vx")) != -1) {
    switch (option) {
    case 'd':
      daemonMode = true;
      break;
    case 'p':
      if (!parsePort(optarg, port)) {
        report("corvexd: invalid port number '%s'\n", optarg);
        std::fputs(kUsageText, stderr);
        return EXIT_FAILURE;
      }
      break;
    case 'v':
      std::fputs(kVersionText, stdout);
      return EXIT_SUCCESS;
    case 'x':
      debug = 1;
      break;
    default: // getopt has already named the bad option or the missing argument
      std::fputs(kUsageText, stderr);
      return EXIT_FAILURE;
    }
  }

  if (daemonMode) {
    switch (detach()) {
    case Detach::failed:
      return EXIT_FAILURE;
    case Detach::parent:
      return EXIT_SUCCESS;
    case Detach::child:
      break;
    }
  }

  if (!openWiringPi()) {
    return EXIT_FAILURE;
  }
  sockFd = openSocket(port);
  if (sockFd < 0) {
    return EXIT_FAILURE;
  }
  serialFd = openSerial();
  if (serialFd < 0) {
    return EXIT_FAILURE;
  }
  std::memset(&sa, 0, sizeof sa);
  resetRelay();
  notifyReady();
  return runEventLoop();
}

} // namespace corvexd
