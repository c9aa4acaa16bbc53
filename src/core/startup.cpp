// Command line, start-up order, UDP endpoint and the one wait loop.
#include "core/corvexd.h"
#include "device/device.h"
#include "diagnostics/diagnostics.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

// Tells systemd (a Type=notify unit) that the bridge serves: READY=1 and one
// STATUS= line to the datagram socket that $NOTIFY_SOCKET names, written
// directly rather than through libsystemd. Without it nothing happens. A
// failure is reported and is not fatal: systemd's own time-out then acts.
void notifyReady() {
  const char* const path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) {
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t pathLength = std::strlen(path);
  std::array<char, 192> message{};
  const int length = std::snprintf(message.data(), message.size(),
                                   "READY=1\nSTATUS=relaying frames between UDP port %u and %s\n",
                                   unsigned{boundPort(sockFd)}, serialDevicePath);
  int error = ENAMETOOLONG;
  if (pathLength < sizeof address.sun_path && length > 0 &&
      static_cast<std::size_t>(length) < message.size()) {
    std::memcpy(address.sun_path, path, pathLength);
    if (path[0] == '@') {
      address.sun_path[0] = '\0'; // an abstract socket
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + pathLength);
    error = fd >= 0 && sendto(fd, message.data(), static_cast<std::size_t>(length), 0,
                              reinterpret_cast<const sockaddr*>(&address), addressLength) == length
                ? 0
                : errno;
    if (fd >= 0) {
      close(fd);
    }
  }
  if (error != 0) {
    report("corvexd: error when notifying systemd, errno=%d\n", error);
  }
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
  trace("opened the UDP socket on port %u\n", unsigned{port});
  return fd;
}

bool runPass() {
  // poll, unlike select, has no ceiling on descriptor numbers: a parent that
  // leaked a thousand descriptors cannot make the wait write past its set.
  std::array<pollfd, 2> ready{{{sockFd, POLLIN, 0}, {serialFd, POLLIN, 0}}};
  int count;
  do {
    count = poll(ready.data(), ready.size(), -1);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    report("corvexd: error from select, errno=%d\n", errno);
    return false;
  }
  // Any event counts as readable, as it would for select: a hang-up or an
  // error then shows in the handler's read. The network side is always
  // served first within a pass.
  if (ready[0].revents != 0 && !processSocket()) {
    return false;
  }
  if (ready[1].revents != 0 && !processSerial()) {
    return false;
  }
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
  notifyReady();
  return runEventLoop();
}

} // namespace corvexd
