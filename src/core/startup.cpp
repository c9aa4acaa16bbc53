// Command line, start-up order, UDP endpoint and the one wait loop.
#include "core/corvexd.h"
#include "device/device.h"
#include "diagnostics/diagnostics.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool runPass(int fdBound) {
  fd_set readable;
  int ready;
  do {
    FD_ZERO(&readable);
    FD_SET(sockFd, &readable);
    FD_SET(serialFd, &readable);
    ready = select(fdBound, &readable, nullptr, nullptr, nullptr);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    report("corvexd: error from select, errno=%d\n", errno);
    return false;
  }
  // The network side is always served first within a pass.
  if (FD_ISSET(sockFd, &readable) && !processSocket()) {
    return false;
  }
  if (FD_ISSET(serialFd, &readable) && !processSerial()) {
    return false;
  }
  return true;
}

int runEventLoop() {
  const int fdBound = std::max(serialFd, sockFd) + 1;
  while (runPass(fdBound)) {
  }
  return EXIT_FAILURE;
}

int runDaemon(int argc, char** argv) {
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
  return runEventLoop();
}

} // namespace corvexd
