// Measures one UDP-to-serial bridge from the network side, with an echo board
// behind it: round-trip times one frame at a time, then throughput with a
// window of frames in flight, and the bridge's CPU time per frame.
//
//   corvex-bench rtt PORT PID SIZE COUNT [SAMPLES]
//   corvex-bench window PORT PID SIZE SECONDS
//
// SAMPLES, when given, is a file to which each round-trip time (µs) is
// appended, so that runs spread over time can be summarised together.
// Prints one tab-separated line of results (see the header it prints with
// --header). Frames that come back in pieces are put together again; only a
// frame that came back as exactly one datagram, unchanged, counts as whole.
#include "frames.h"
#include "measure.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using corvex::Bytes;

[[noreturn]] void fatal(const std::string& what) {
  std::fprintf(stderr, "corvex-bench: %s\n", what.c_str());
  std::exit(1);
}

// A frame of `size` bytes that carries (the low bytes of) its sequence number
// first.
Bytes numbered(std::uint32_t seq, std::size_t size) {
  Bytes payload(size - corvex::kHeaderSize);
  const std::size_t digits = std::min<std::size_t>(4, payload.size());
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<std::uint8_t>(i < digits ? seq >> (8U * (digits - 1 - i)) : 0x61 + i);
  }
  return corvex::makeFrame(payload, 0x0D);
}

class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_ = local;
    to_.sin_port = htons(port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      fatal("cannot open a UDP socket");
    }
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void send(const Bytes& frame) const {
    if (sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0) {
      fatal("sendto failed");
    }
  }
  // One datagram, or nothing when none came within `timeoutMs`. Waits only
  // when nothing is queued, so the client costs the loop little.
  bool receive(Bytes& out, int timeoutMs) {
    ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (n < 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) {
        return false;
      }
      n = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    }
    if (n < 0) {
      return false;
    }
    out.assign(buffer_.begin(), buffer_.begin() + n);
    return true;
  }
  void drain() {
    Bytes junk;
    while (receive(junk, 50)) {
    }
  }

 private:
  int fd_ = -1;
  sockaddr_in to_{};
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(65536);
};

int roundTrips(std::uint16_t port, pid_t pid, std::size_t size, int count, const char* samples) {
  Client client(port);
  // Warm-up: names the peer for bridges that take the first sender.
  for (std::uint32_t i = 0; i < 20; ++i) {
    client.send(numbered(i, size));
    Bytes junk;
    client.receive(junk, 200);
  }
  client.drain();
  std::vector<double> micros;
  int lost = 0;
  int whole = 0;
  const long long cpuBefore = corvex::cpuNs(pid);
  // A bridge that loses frames costs a time-out each: bound the whole run,
  // and give up on one that has lost the first 20.
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  int done = 0;
  for (; done < count && Clock::now() < deadline && (lost < 20 || !micros.empty()); ++done) {
    const Bytes frame = numbered(static_cast<std::uint32_t>(1000 + done), size);
    const auto sent = Clock::now();
    client.send(frame);
    Bytes got;
    Bytes datagram;
    int pieces = 0;
    while (got.size() < frame.size() && client.receive(datagram, 500)) {
      got.insert(got.end(), datagram.begin(), datagram.end());
      ++pieces;
    }
    if (got != frame) {
      ++lost;
      client.drain();
      continue;
    }
    whole += pieces == 1 ? 1 : 0;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  const long long cpu = corvex::cpuNs(pid) - cpuBefore;
  if (samples != nullptr) {
    std::ofstream out(samples, std::ios::app);
    for (const double us : micros) {
      out << us << '\n';
    }
  }
  std::printf("rtt\t%zu\t%d\t%.1f\t%.1f\t%d\t%d\t%.2f\n", size, done, corvex::percentile(micros, 50),
              corvex::percentile(micros, 99), whole, lost,
              static_cast<double>(cpu) / std::max(1, done) / 1000.0);
  return 0;
}

int window(std::uint16_t port, pid_t pid, std::size_t size, double seconds) {
  constexpr std::size_t kWindow = 32;
  Client client(port);
  client.send(numbered(0, size));
  Bytes junk;
  client.receive(junk, 500);
  client.drain();

  std::uint32_t next = 1;
  std::deque<Bytes> inFlight;
  corvex::FrameReader reader;
  long long sent = 0;
  long long whole = 0;
  long long recovered = 0;
  auto lastProgress = Clock::now();
  const long long cpuBefore = corvex::cpuNs(pid);
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  Bytes datagram;
  while (Clock::now() < end) {
    while (inFlight.size() < kWindow) {
      inFlight.push_back(numbered(next++, size));
      client.send(inFlight.back());
      ++sent;
    }
    if (!client.receive(datagram, 10)) {
      if (Clock::now() - lastProgress > std::chrono::milliseconds(200)) {
        inFlight.clear(); // lost on the way: start a new window
        reader = corvex::FrameReader();
        lastProgress = Clock::now();
      }
      continue;
    }
    const bool single = !inFlight.empty() && datagram == inFlight.front();
    for (const auto& event : reader.feed(datagram.data(), datagram.size())) {
      // Frames that come back are matched in order; those skipped were lost.
      while (!event.stray && !inFlight.empty() && inFlight.front() != event.bytes &&
             std::find(inFlight.begin(), inFlight.end(), event.bytes) != inFlight.end()) {
        inFlight.pop_front();
      }
      if (!event.stray && !inFlight.empty() && inFlight.front() == event.bytes) {
        inFlight.pop_front();
        ++recovered;
        whole += single ? 1 : 0;
        lastProgress = Clock::now();
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long long cpu = corvex::cpuNs(pid) - cpuBefore;
  std::printf("window\t%zu\t%lld\t%.0f\t%lld\t%lld\t%.2f\t%ld\n", size, sent,
              static_cast<double>(whole) / elapsed, whole, recovered,
              recovered > 0 ? static_cast<double>(cpu) / static_cast<double>(recovered) / 1000.0 : -1.0,
              corvex::residentKiB(pid));
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--header") {
    std::printf("rtt\tsize\tcount\tmedian_us\tp99_us\twhole\tlost\tcpu_us_per_frame\n"
                "window\tsize\tsent\twhole_per_s\twhole\trecovered\tcpu_us_per_frame\trss_kib\n");
    return 0;
  }
  if (argc != 6 && !(argc == 7 && std::string(argv[1]) == "rtt")) {
    std::fprintf(stderr, "usage: corvex-bench rtt PORT PID SIZE COUNT [SAMPLES]\n"
                         "       corvex-bench window PORT PID SIZE SECONDS\n"
                         "       corvex-bench --header\n");
    return 2;
  }
  const std::string mode = argv[1];
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
  const auto pid = static_cast<pid_t>(std::atoi(argv[3]));
  const auto size = static_cast<std::size_t>(std::atoi(argv[4]));
  if (size < 6 || size > 400) {
    fatal("frames from 6 to 400 bytes");
  }
  if (mode == "rtt") {
    return roundTrips(port, pid, size, std::atoi(argv[5]), argc == 7 ? argv[6] : nullptr);
  }
  if (mode == "window") {
    return window(port, pid, size, std::atof(argv[5]));
  }
  fatal("unknown mode " + mode);
}
