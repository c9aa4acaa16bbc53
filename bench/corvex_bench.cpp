// Measures one UDP-to-serial bridge from the network side, with an echo board
// behind it: round-trip times one frame at a time, then throughput with a
// window of frames in flight, and the bridge's CPU time per frame.
//
//   corvex-bench rtt PORT PID SIZE COUNT [SAMPLES]
//   corvex-bench window PORT PID SIZE SECONDS
//   corvex-bench duplex PORT SIZE RATE SECONDS
//   corvex-bench board LINK SIZE RATE SECONDS
//
// duplex and board measure both directions at once at the line's pace:
// "board" plays a board on a pseudo-terminal linked at LINK that reads and
// writes no faster than 230400 baud carries (23,040 bytes a second); once the
// first client frame has reached it, it sends frames of SIZE bytes at RATE a
// second for SECONDS, and reads until it is stopped (SIGTERM). "duplex" is the client: frames of
// SIZE at RATE for SECONDS, then 2.5 s to drain. Every frame carries the time
// it was sent, so each side tells the age of what reaches it: it prints
// frames sent, then, of those it received, the number whole and their age's
// median and 99th percentile (ms).
//
// SAMPLES, when given, is a file to which each round-trip time (µs) is
// appended, so that runs spread over time can be summarised together.
// Prints one tab-separated line of results (see the header it prints with
// --header). Frames that come back in pieces are put together again; only a
// frame that came back as exactly one datagram, unchanged, counts as whole.
#include "frames.h"
#include "measure.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <thread>
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
    if (sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
               sizeof to_) < 0) {
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
  std::printf("rtt\t%zu\t%d\t%.1f\t%.1f\t%d\t%d\t%.2f\n", size, done,
              corvex::percentile(micros, 50), corvex::percentile(micros, 99), whole, lost,
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
  std::printf(
      "window\t%zu\t%lld\t%.0f\t%lld\t%lld\t%.2f\t%ld\n", size, sent,
      static_cast<double>(whole) / elapsed, whole, recovered,
      recovered > 0 ? static_cast<double>(cpu) / static_cast<double>(recovered) / 1000.0 : -1.0,
      corvex::residentKiB(pid));
  return 0;
}

// Frames that carry their sequence number and the monotonic time they were
// sent (ns), then a fill that follows from both: [stamp 8][seq 4][fill].
constexpr std::uint8_t kStamped = 0x5A;
constexpr std::size_t kStampedMin = corvex::kHeaderSize + 12;

long long nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

Bytes stamped(std::uint32_t seq, std::size_t size) {
  Bytes payload(size - corvex::kHeaderSize);
  const auto stamp = static_cast<std::uint64_t>(nowNs());
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<std::uint8_t>(i < 8    ? stamp >> (8U * (7 - i))
                                           : i < 12 ? seq >> (8U * (11 - i))
                                                    : seq + i);
  }
  return corvex::makeFrame(payload, kStamped);
}

// The frame's age in ms when it is one whole stamped frame, else -1.
double ageMs(const Bytes& frame) {
  if (frame.size() < kStampedMin || frame[0] != corvex::kStartByte || frame[3] != kStamped ||
      frame.size() != corvex::kHeaderSize + (std::size_t{frame[1]} << 8U) + frame[2]) {
    return -1;
  }
  const std::uint8_t* p = frame.data() + corvex::kHeaderSize;
  std::uint64_t stamp = 0;
  std::uint32_t seq = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    stamp = stamp << 8U | p[i];
  }
  for (std::size_t i = 8; i < 12; ++i) {
    seq = seq << 8U | p[i];
  }
  for (std::size_t i = 12; i + corvex::kHeaderSize < frame.size(); ++i) {
    if (p[i] != static_cast<std::uint8_t>(seq + i)) {
      return -1;
    }
  }
  return static_cast<double>(nowNs() - static_cast<long long>(stamp)) / 1e6;
}

void printDuplex(long long sent, const std::vector<double>& ages) {
  std::printf("%lld\t%zu\t%.2f\t%.2f\n", sent, ages.size(), corvex::percentile(ages, 50),
              corvex::percentile(ages, 99));
}

int duplexClient(std::uint16_t port, std::size_t size, double rate, double seconds) {
  Client client(port);
  std::vector<double> ages;
  long long sent = 0;
  const auto start = Clock::now();
  const auto period = std::chrono::duration<double>(1.0 / rate);
  const auto stopSending = start + std::chrono::duration<double>(seconds);
  const auto end = stopSending + std::chrono::milliseconds(2500);
  Bytes datagram;
  for (auto now = start; now < end; now = Clock::now()) {
    const auto next = start + std::chrono::duration_cast<Clock::duration>(period * sent);
    if (now >= next && now < stopSending) {
      client.send(stamped(static_cast<std::uint32_t>(sent++), size));
      continue;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
        (now < stopSending ? next : end) - now);
    if (client.receive(datagram, static_cast<int>(std::max<long long>(1, wait.count())))) {
      if (const double age = ageMs(datagram); age >= 0) {
        ages.push_back(age);
      }
    }
  }
  printDuplex(sent, ages);
  return 0;
}

std::atomic<bool> boardStopping{false};

// Reads at the line's pace: no more than 23,040 bytes a second, 64 at a time
// (what is not read stays in the kernel's buffer, as bytes wait for the
// wire). A late wake-up is made up for, up to 11 ms of line time.
void boardReader(int fd, std::atomic<bool>& heard, std::vector<double>& ages) {
  constexpr double kBytesPerSecond = 23040;
  constexpr double kBurst = 64;
  constexpr double kCatchUp = 256;
  corvex::FrameReader reader;
  double credit = 0;
  auto last = Clock::now();
  std::uint8_t buffer[256];
  while (!boardStopping) {
    const auto now = Clock::now();
    credit = std::min(kCatchUp,
                      credit + std::chrono::duration<double>(now - last).count() * kBytesPerSecond);
    last = now;
    if (credit < kBurst) {
      std::this_thread::sleep_for(
          std::chrono::duration<double>((kBurst - credit) / kBytesPerSecond));
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) {
      continue;
    }
    const ssize_t n = read(fd, buffer, static_cast<std::size_t>(credit));
    if (n <= 0) {
      continue;
    }
    credit -= static_cast<double>(n);
    for (const auto& event : reader.feed(buffer, static_cast<std::size_t>(n))) {
      if (const double age = event.stray ? -1 : ageMs(event.bytes); age >= 0) {
        ages.push_back(age);
        heard = true;
      }
    }
  }
}

int board(const char* link, std::size_t size, double rate, double seconds) {
  const corvex::BoardLine line = corvex::openBoardLine("corvex-bench");
  unlink(link);
  if (symlink(line.slavePath.c_str(), link) != 0) {
    fatal(std::string("cannot link ") + link);
  }
  struct sigaction stop {};
  stop.sa_handler = [](int) { boardStopping = true; };
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  std::atomic<bool> heard{false};
  std::vector<double> ages;
  std::thread reader(boardReader, line.master, std::ref(heard), std::ref(ages));

  // Writes at the line's pace, without waiting on the reader: what the
  // bridge does not take in time is lost, as a UART's receive buffer
  // overflows on a Pi.
  const auto byteTime = std::chrono::nanoseconds(1000000000LL / 23040);
  const auto period = std::chrono::duration<double>(1.0 / rate);
  long long sent = 0;
  Clock::time_point start{};
  while (!boardStopping) {
    if (!heard) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      start = Clock::now();
      continue;
    }
    if (Clock::now() - start >= std::chrono::duration<double>(seconds)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10)); // only reading now
      continue;
    }
    std::this_thread::sleep_until(start +
                                  std::chrono::duration_cast<Clock::duration>(period * sent));
    const Bytes frame = stamped(static_cast<std::uint32_t>(sent++), size);
    const auto began = Clock::now();
    for (std::size_t done = 0; done < frame.size() && !boardStopping;) {
      const std::size_t piece = std::min<std::size_t>(16, frame.size() - done);
      std::this_thread::sleep_until(began + byteTime * static_cast<long>(done + piece));
      const ssize_t n = write(line.master, frame.data() + done, piece);
      done += n > 0 ? static_cast<std::size_t>(n) : piece; // a full line loses the bytes
    }
  }
  reader.join();
  unlink(link);
  printDuplex(sent, ages);
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--header") {
    std::printf(
        "rtt\tsize\tcount\tmedian_us\tp99_us\twhole\tlost\tcpu_us_per_frame\n"
        "window\tsize\tsent\twhole_per_s\twhole\trecovered\tcpu_us_per_frame\trss_kib\n");
    return 0;
  }
  const std::string mode = argc > 1 ? argv[1] : "";
  if ((mode == "board" || mode == "duplex") && argc > 3 &&
      (std::atoi(argv[3]) < static_cast<int>(kStampedMin) || std::atoi(argv[3]) > 400)) {
    fatal("stamped frames from 16 to 400 bytes");
  }
  if (argc == 6 && mode == "board") {
    return board(argv[2], static_cast<std::size_t>(std::atoi(argv[3])), std::atof(argv[4]),
                 std::atof(argv[5]));
  }
  if (argc == 6 && mode == "duplex") {
    return duplexClient(static_cast<std::uint16_t>(std::atoi(argv[2])),
                        static_cast<std::size_t>(std::atoi(argv[3])), std::atof(argv[4]),
                        std::atof(argv[5]));
  }
  if (argc != 6 && !(argc == 7 && mode == "rtt")) {
    std::fprintf(stderr,
                 "usage: corvex-bench rtt PORT PID SIZE COUNT [SAMPLES]\n"
                 "       corvex-bench window PORT PID SIZE SECONDS\n"
                 "       corvex-bench duplex PORT SIZE RATE SECONDS\n"
                 "       corvex-bench board LINK SIZE RATE SECONDS\n"
                 "       corvex-bench --header\n");
    return 2;
  }
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
