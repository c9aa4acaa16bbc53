#include "support/support.h"

#include "frames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace corvexd::test {

namespace {

[[noreturn]] void fail(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

Bytes frame(const Bytes& payload, std::uint8_t fourth) {
  return corvex::makeFrame(payload, fourth);
}

Bytes concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    fail("posix_openpt");
  }
  slave_ = ptsname(master_);
}

Pty::~Pty() { closeMaster(); }

void Pty::closeMaster() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

void Pty::write(const Bytes& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      fail("write to pty");
    }
    done += static_cast<std::size_t>(n);
  }
}

Bytes Pty::read(std::size_t count, milliseconds timeout) const {
  Bytes out;
  const auto deadline = Clock::now() + timeout;
  while (out.size() < count) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, msLeft(deadline)) <= 0 || (p.revents & POLLIN) == 0) {
      break;
    }
    std::uint8_t buf[512];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) {
      break;
    }
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

UdpPeer::UdpPeer(const char* address) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    fail("socket");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, address, &local.sin_addr);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    fail("bind");
  }
}

UdpPeer::~UdpPeer() { close(fd_); }

void UdpPeer::sendTo(std::uint16_t port, const Bytes& bytes) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
      static_cast<ssize_t>(bytes.size())) {
    fail("sendto");
  }
}

std::optional<Bytes> UdpPeer::receive(milliseconds timeout) const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
    return std::nullopt;
  }
  Bytes buf(70000);
  const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  if (n < 0) {
    return std::nullopt;
  }
  buf.resize(static_cast<std::size_t>(n));
  return buf;
}

std::uint16_t UdpPeer::port() const { return boundPort(fd_); }

std::uint16_t boundPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    fail("getsockname");
  }
  return ntohs(local.sin_port);
}

std::optional<long> udpDrops(const std::vector<std::uint16_t>& ports) {
  std::ifstream table("/proc/net/udp");
  std::optional<long> drops;
  std::string line;
  std::getline(table, line); // header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    fields >> slot >> local;
    const auto port =
        static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    std::string field;
    for (int i = 0; i < 10;
         ++i) { // rem_address st tx:rx tr:when retrnsmt uid timeout inode ref pointer
      fields >> field;
    }
    if (std::find(ports.begin(), ports.end(), port) != ports.end() && fields >> field) {
      drops = drops.value_or(0) + std::stol(field);
    }
  }
  return drops;
}

bool waitUntilBound(std::uint16_t port, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!udpDrops({port}).has_value()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

CapturedFd::CapturedFd(int fd) : fd_(fd), saved_(dup(fd)) {
  std::fflush(stdout);
  char name[] = "/dev/shm/corvexd-capture-XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0 || saved_ < 0) {
    fail("capture");
  }
  unlink(name);
  dup2(file_, fd_);
}

CapturedFd::~CapturedFd() {
  std::fflush(stdout);
  dup2(saved_, fd_);
  close(saved_);
  close(file_);
}

std::string CapturedFd::text() const {
  std::fflush(stdout);
  std::string out;
  char buf[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(file_, buf, sizeof buf, at);
    if (n <= 0) {
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<int>& closed) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  std::vector<std::string> command;
#ifdef CORVEXD_TEST_EMULATOR
  command = {CORVEXD_TEST_EMULATOR};
#endif
  // A checker to run every started program under, such as valgrind.
  if (const char* wrapper = std::getenv("CORVEXD_TEST_WRAPPER")) {
    std::istringstream words(wrapper);
    for (std::string word; words >> word;) {
      command.push_back(word);
    }
  }
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (const auto& a : command) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    fail("fork");
  }
  if (pid_ == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    for (const int fd : closed) {
      close(fd);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

Process::~Process() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  if (outFd_ >= 0) {
    close(outFd_);
  }
  if (errFd_ >= 0) {
    close(errFd_);
  }
}

bool Process::pump(milliseconds timeout) {
  pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) {
    return false;
  }
  if (poll(p, 2, static_cast<int>(timeout.count())) <= 0) {
    return true;
  }
  int* fds[2] = {&outFd_, &errFd_};
  std::string* sinks[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (p[i].revents == 0) {
      continue;
    }
    char buf[4096];
    const ssize_t n = read(*fds[i], buf, sizeof buf);
    if (n > 0) {
      sinks[i]->append(buf, static_cast<std::size_t>(n));
    } else {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return true;
}

bool Process::waitForOutput(const std::string& text, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || !pump(milliseconds(msLeft(deadline)))) {
      return out_.find(text) != std::string::npos;
    }
  }
  return true;
}

std::optional<int> Process::wait(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!reaped_) {
    const pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      break;
    }
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      reaped_ = true;
      return std::nullopt;
    }
    pump(milliseconds(20));
  }
  // Drain what the child left in the pipes; a detached grandchild may still
  // hold them open, so read only briefly.
  for (int i = 0; i < 20 && (outFd_ >= 0 || errFd_ >= 0); ++i) {
    pump(milliseconds(10));
  }
  if (WIFEXITED(status_)) {
    return WEXITSTATUS(status_);
  }
  return 128 + WTERMSIG(status_);
}

void Process::signal(int number) const { kill(pid_, number); }

void Process::closeOutput() {
  if (outFd_ >= 0) {
    close(outFd_);
    outFd_ = -1;
  }
}

} // namespace corvexd::test
