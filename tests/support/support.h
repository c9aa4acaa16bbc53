// Real descriptors for tests: a pseudo-terminal whose master end plays the
// board, a loopback UDP peer, captured standard streams, a child process.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvexd::test {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

// Frame with the given fourth header byte and payload.
Bytes frame(const Bytes& payload, std::uint8_t fourth = 0);
Bytes concat(const Bytes& a, const Bytes& b);

class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  [[nodiscard]] const std::string& slavePath() const { return slave_; }
  [[nodiscard]] int master() const { return master_; }
  void write(const Bytes& bytes) const;
  // Reads until `count` bytes came or `timeout` passed.
  [[nodiscard]] Bytes read(std::size_t count, milliseconds timeout) const;
  void closeMaster();

 private:
  int master_ = -1;
  std::string slave_;
};

class UdpPeer {
 public:
  explicit UdpPeer(const char* address = "127.0.0.1");
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  void sendTo(std::uint16_t port, const Bytes& bytes) const;
  [[nodiscard]] std::optional<Bytes> receive(milliseconds timeout) const;
  [[nodiscard]] std::uint16_t port() const;
  [[nodiscard]] int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

[[nodiscard]] std::uint16_t boundPort(int fd);

// Datagrams the kernel dropped on the UDP sockets bound to these ports, from
// /proc/net/udp; nothing when none of them is bound.
[[nodiscard]] std::optional<long> udpDrops(const std::vector<std::uint16_t>& ports);
// Waits until a UDP socket is bound to `port`; false when the time is up.
bool waitUntilBound(std::uint16_t port, milliseconds timeout);

// Redirects a standard descriptor (1 or 2) into a temporary file while alive.
class CapturedFd {
 public:
  explicit CapturedFd(int fd);
  ~CapturedFd();
  CapturedFd(const CapturedFd&) = delete;
  CapturedFd& operator=(const CapturedFd&) = delete;

  [[nodiscard]] std::string text() const;

 private:
  int fd_;
  int saved_;
  int file_;
};

// A program run with its standard output and error read through pipes.
class Process {
 public:
  // `closed`: descriptors the program starts without (0, 1 or 2).
  explicit Process(const std::vector<std::string>& argv, const std::vector<int>& closed = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Exit status, or nullopt when it did not end in time (it is then killed).
  std::optional<int> wait(milliseconds timeout);
  // Waits until standard output holds `text` or the time is up.
  bool waitForOutput(const std::string& text, milliseconds timeout);
  void signal(int number) const;
  // Stops reading standard output, as a log reader that went away.
  void closeOutput();
  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] const std::string& out() const { return out_; }
  [[nodiscard]] const std::string& err() const { return err_; }
  // Reads what is waiting on the pipes, for at most `timeout`; false once
  // both pipes are closed.
  bool pump(milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string out_;
  std::string err_;
  bool reaped_ = false;
  int status_ = 0;
};

} // namespace corvexd::test
