// Soak: the built daemon between a board played on a pseudo-terminal and two
// UDP clients, with traffic both ways as fast as the loop turns and faults
// mixed in. Every valid frame must arrive once, unchanged and in order; every
// fault must be reported exactly once; the daemon must still run, and its
// resident memory must not grow. CORVEXD_SOAK_SECONDS sets the length (5 s
// by default, as part of the suite; scripts/soak runs it longer).
#include "frames.h"
#include "measure.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>

namespace corvexd::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

const std::string kDaemon = CORVEXD_TEST_DAEMON;
const std::string kDevice = CORVEXD_TEST_DEVICE;

// Frames in flight each way: enough to keep the loop busy, few enough that no
// socket queue can overflow, so the kernel drops nothing.
constexpr std::size_t kWindow = 32;
// A board that stops mid-frame stays silent this long: beyond the daemon's
// one-second bound on a frame.
constexpr milliseconds kCutSilence{2000};
constexpr milliseconds kStopTime{300};
constexpr milliseconds kDrainTime{10000};

int soakSeconds() {
  const char* text = std::getenv("CORVEXD_SOAK_SECONDS");
  return text != nullptr ? std::max(1, std::atoi(text)) : 5;
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

class Soak {
 public:
  explicit Soak(std::uint32_t seed) : random_(seed) {
    fcntl(board_.master(), F_SETFL, fcntl(board_.master(), F_GETFL) | O_NONBLOCK);
    for (const auto* client : clients_) {
      fcntl(client->fd(), F_SETFL, fcntl(client->fd(), F_GETFL) | O_NONBLOCK);
    }
  }

  ~Soak() { close(lineProbe_); }
  Soak(const Soak&) = delete;
  Soak& operator=(const Soak&) = delete;

  void run(int totalSeconds) {
    unlink(kDevice.c_str());
    ASSERT_EQ(symlink(board_.slavePath().c_str(), kDevice.c_str()), 0);
    port_ = UdpPeer("0.0.0.0").port();
    daemon_ =
        std::make_unique<Process>(std::vector<std::string>{kDaemon, "-p", std::to_string(port_)});
    waitForStartUp();

    const auto start = Clock::now();
    const auto end = start + seconds(totalSeconds);
    const auto warm = start + std::min(seconds(2), seconds(totalSeconds) / 5);
    auto nextStop = start + seconds(totalSeconds) / 3;
    auto nextCut = start + seconds(totalSeconds) / 2;
    const milliseconds faultEvery{std::min(20000, totalSeconds * 400)};
    long warmKiB = -1;
    while (Clock::now() < end && !::testing::Test::HasFatalFailure()) {
      const auto now = Clock::now();
      if (warmKiB < 0 && now >= warm) {
        warmKiB = corvex::residentKiB(daemon_->pid());
      }
      // The client moves: A, then B from a third of the run, then A again.
      current_ =
          (now - start) * 3 > seconds(totalSeconds) && (now - start) * 3 < seconds(totalSeconds) * 2
              ? 1U
              : 0U;
      // Stops fall between frames: a frame must be whole within a second of
      // its start byte, and a daemon stopped for longer in the middle of one
      // may rightly lose it.
      const bool quiet = !cutPending_ && now >= silentUntil_ && lineDrained();
      if (now >= nextStop && quiet) {
        stopAndContinue();
        nextStop += faultEvery;
      } else if (now >= nextCut && quiet) {
        queueCutFrame();
        nextCut += faultEvery;
      }
      turn(true);
    }
    drain();
    const long endKiB = corvex::residentKiB(daemon_->pid());
    check(warmKiB, endKiB);
  }

 private:
  void waitForStartUp() {
    // Once the port is bound, datagrams wait for the loop. The first valid
    // one names the peer; board frames before it would be dropped by design.
    ASSERT_TRUE(waitUntilBound(port_, seconds(10))) << "the daemon did not start";
    inFlight_.push_back(numbered(netSeq_++, 8));
    clients_[0]->sendTo(port_, inFlight_.back());
    const auto deadline = Clock::now() + seconds(10);
    while (boardGot_ == 0 && Clock::now() < deadline && !::testing::Test::HasFatalFailure()) {
      turn(false);
    }
    ASSERT_EQ(boardGot_, 1U) << "the daemon did not relay its first frame: " << daemon_->err();
  }

  // Everything written to the line has been read by the daemon.
  bool lineDrained() const {
    int waiting = -1;
    return boardOutput_.empty() && ioctl(lineProbe_, FIONREAD, &waiting) == 0 && waiting == 0;
  }

  // A frame carrying its sequence number, with a random fill in which start
  // bytes, CR and LF are frequent.
  Bytes numbered(std::uint32_t seq, std::size_t payload) {
    Bytes p{static_cast<std::uint8_t>(seq >> 24U), static_cast<std::uint8_t>(seq >> 16U),
            static_cast<std::uint8_t>(seq >> 8U), static_cast<std::uint8_t>(seq)};
    static constexpr std::uint8_t kTricky[] = {0x61, 0x0D, 0x0A, 0x00, 0xFF, 0x11, 0x13};
    while (p.size() < payload) {
      const auto r = random_();
      p.push_back(r % 4 == 0 ? kTricky[r / 4 % sizeof kTricky]
                             : static_cast<std::uint8_t>(r >> 8U));
    }
    return frame(p, static_cast<std::uint8_t>(random_()));
  }

  std::size_t payloadSize() {
    const auto r = random_() % 100;
    return r < 70 ? 4 + random_() % 28 : r < 95 ? 4 + random_() % 200 : 396;
  }

  // One turn of the loop: send what the windows allow, then wait briefly for
  // any side to be ready and read everything that is.
  void turn(bool generate) {
    if (generate) {
      while (inFlight_.size() < kWindow) {
        sendFromClient();
      }
      while (!cutPending_ && Clock::now() >= silentUntil_ && boardSeq_ - netGot_ < kWindow &&
             boardOutput_.size() < 4096) {
        queueBoardFrame();
      }
    }
    flushBoard();
    if (cutPending_ && boardOutput_.empty()) { // the half frame is on the line
      cutPending_ = false;
      silentUntil_ = Clock::now() + kCutSilence;
    }
    pollfd p[3] = {{board_.master(), POLLIN, 0},
                   {clients_[0]->fd(), POLLIN, 0},
                   {clients_[1]->fd(), POLLIN, 0}};
    poll(p, 3, 1);
    readBoard();
    for (std::size_t i = 0; i < 2; ++i) {
      readClient(i);
    }
    daemon_->pump(milliseconds(0));
  }

  void sendFromClient() {
    const auto r = random_() % 100;
    const UdpPeer& client = *clients_[current_];
    if (r < 4) { // garbage: wrong start byte, cut short, empty, or oversized
      Bytes bad = numbered(0, 4 + random_() % 40);
      switch (r) {
      case 0:
        bad[0] = static_cast<std::uint8_t>(0x62 + random_() % 0x9E);
        ++expected_["invalid start byte when reading from the socket"];
        break;
      case 1:
        bad.resize(random_() % bad.size());
        ++expected_["invalid length when reading from the socket"];
        break;
      case 2:
        bad = numbered(0, 396 + 1 + random_() % 600);
        ++expected_["frame too long when reading from the socket"];
        break;
      default:
        bad.clear();
        ++expected_["invalid length when reading from the socket"];
        break;
      }
      client.sendTo(port_, bad);
      return;
    }
    const Bytes f = numbered(netSeq_++, payloadSize());
    inFlight_.push_back(f);
    client.sendTo(port_, f);
  }

  void queueBoardFrame() {
    const auto r = random_() % 100;
    if (r < 3) { // stray bytes where a frame should begin
      const std::size_t n = 1 + random_() % 3;
      for (std::size_t i = 0; i < n; ++i) {
        auto b = static_cast<std::uint8_t>(random_());
        boardOutput_.push_back(b == corvex::kStartByte ? 0x60 : b);
      }
      expected_["unknown byte from the CORVEX"] += n;
    } else if (r < 4) { // a header declaring more than 400 bytes: noise, dropped alone
      const auto other = [this] {
        const auto b = static_cast<std::uint8_t>(random_());
        return b == corvex::kStartByte ? std::uint8_t{0x60} : b;
      };
      const std::uint8_t high = std::max<std::uint8_t>(other(), 2);
      boardOutput_.insert(boardOutput_.end(), {corvex::kStartByte, high, other(), other()});
      ++expected_["frame from the CORVEX too long"];
    } else if (r < 5) { // a lone start byte: with the frame's it reads as noise, then resyncs
      boardOutput_.push_back(corvex::kStartByte);
      ++expected_["frame from the CORVEX too long"];
    }
    const Bytes f = numbered(boardSeq_++, payloadSize());
    seen_.push_back(false);
    boardOutput_.insert(boardOutput_.end(), f.begin(), f.end());
  }

  // Half a frame, then silence: the daemon must drop it and serve again.
  void queueCutFrame() {
    const Bytes f = numbered(0, 40);
    boardOutput_.insert(boardOutput_.end(), f.begin(), f.begin() + 20);
    cutPending_ = true;
    ++expected_["incomplete frame from the CORVEX"];
    ++cuts_;
  }

  void stopAndContinue() {
    daemon_->signal(SIGSTOP);
    const auto until = Clock::now() + kStopTime;
    while (Clock::now() < until) {
      turn(true); // the windows fill and wait
    }
    daemon_->signal(SIGCONT);
    ++stops_;
  }

  void flushBoard() {
    while (!boardOutput_.empty()) {
      const ssize_t n = write(board_.master(), boardOutput_.data(), boardOutput_.size());
      if (n <= 0) {
        return; // the line is full; later
      }
      boardOutput_.erase(boardOutput_.begin(), boardOutput_.begin() + n);
    }
  }

  void readBoard() {
    std::uint8_t buf[4096];
    for (;;) {
      const ssize_t n = read(board_.master(), buf, sizeof buf);
      if (n <= 0) {
        return;
      }
      for (const auto& event : reader_.feed(buf, static_cast<std::size_t>(n))) {
        ASSERT_FALSE(event.stray) << "the daemon wrote a byte outside a frame";
        ASSERT_FALSE(inFlight_.empty()) << "the board got a frame nobody sent";
        ASSERT_EQ(event.bytes, inFlight_.front()) << "frame " << boardGot_ << " to the board";
        inFlight_.pop_front();
        ++boardGot_;
      }
    }
  }

  void readClient(std::size_t i) {
    for (;;) {
      const ssize_t n = recv(clients_[i]->fd(), datagram_.data(), datagram_.size(), 0);
      if (n < 0) {
        return;
      }
      const auto& got = datagram_;
      ASSERT_GE(n, 8);
      const std::uint32_t seq = std::uint32_t{got[4]} << 24U | std::uint32_t{got[5]} << 16U |
                                std::uint32_t{got[6]} << 8U | got[7];
      ASSERT_LT(seq, boardSeq_) << "a client got a frame the board never sent";
      ASSERT_GT(std::int64_t{seq}, lastSeq_[i]) << "client " << i << " got frames out of order";
      lastSeq_[i] = std::int64_t{seq};
      ASSERT_FALSE(seen_[seq]) << "frame " << seq << " from the board arrived twice";
      seen_[seq] = true;
      ++netGot_;
    }
  }

  void drain() {
    const auto deadline = Clock::now() + kDrainTime;
    // A cut frame's silence is waited out too: the daemon serves on meanwhile,
    // and drops the half frame only at its deadline.
    while ((!inFlight_.empty() || netGot_ < boardSeq_ || !boardOutput_.empty() ||
            Clock::now() < silentUntil_) &&
           Clock::now() < deadline && !::testing::Test::HasFatalFailure()) {
      turn(false);
    }
    for (int i = 0; i < 20; ++i) {
      daemon_->pump(milliseconds(10));
    }
  }

  void check(long warmKiB, long endKiB) {
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    EXPECT_FALSE(daemon_->wait(milliseconds(0)).has_value())
        << "the daemon ended: " << daemon_->err();
    const long drops = udpDrops({port_, clients_[0]->port(), clients_[1]->port()}).value_or(-1);
    EXPECT_EQ(drops, 0) << "datagrams dropped by the kernel";
    EXPECT_EQ(inFlight_.size(), 0U) << "frames from the clients that never reached the board";
    EXPECT_EQ(netGot_, boardSeq_) << "frames from the board that never reached a client";
    const std::string& err = daemon_->err();
    std::size_t reported = 0;
    for (const auto& [what, n] : expected_) {
      EXPECT_EQ(count(err, "corvexd: " + what), n) << what;
      reported += n;
    }
    EXPECT_EQ(count(err, "corvexd: "), reported) << "messages nobody provoked:\n"
                                                 << err.substr(0, 2000);
    EXPECT_GE(warmKiB, 0);
    EXPECT_LE(endKiB - warmKiB, 64) << "resident memory grew from " << warmKiB << " KiB";
    std::printf(
        "soak: %zu frames to the board and %zu from it relayed whole, in order; "
        "%zu faults injected and each reported once (%d stops, %d cut frames); "
        "kernel drops %ld; resident memory %ld KiB after warm-up, %ld KiB at the end\n",
        boardGot_, netGot_, reported + static_cast<std::size_t>(stops_), stops_, cuts_, drops,
        warmKiB, endKiB);
  }

  std::mt19937 random_;
  Pty board_;
  int lineProbe_ = open(board_.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  UdpPeer clientA_{"127.0.0.1"};
  UdpPeer clientB_{"127.0.0.2"};
  const UdpPeer* clients_[2] = {&clientA_, &clientB_};
  std::size_t current_ = 0;
  std::uint16_t port_ = 0;
  std::unique_ptr<Process> daemon_;

  std::uint32_t netSeq_ = 0;
  std::deque<Bytes> inFlight_; // sent to the board, not yet seen there
  std::size_t boardGot_ = 0;
  corvex::FrameReader reader_;

  std::uint32_t boardSeq_ = 0;
  Bytes boardOutput_;
  bool cutPending_ = false;
  Clock::time_point silentUntil_{};
  std::size_t netGot_ = 0;
  std::int64_t lastSeq_[2] = {-1, -1};
  std::vector<std::uint8_t> datagram_ = std::vector<std::uint8_t>(65536);
  std::vector<bool> seen_; // by sequence number, frames that reached a client

  std::map<std::string, std::size_t> expected_;
  int stops_ = 0;
  int cuts_ = 0;
};

TEST(Soak, EveryValidFrameArrivesOnceInOrderAndEveryFaultIsReported) {
  const char* seedText = std::getenv("CORVEXD_SOAK_SEED");
  const auto seed = seedText != nullptr ? static_cast<std::uint32_t>(std::stoul(seedText))
                                        : static_cast<std::uint32_t>(std::random_device{}());
  std::printf("soak: %d s, seed %u (CORVEXD_SOAK_SEED repeats a run)\n", soakSeconds(), seed);
  Soak soak(seed);
  soak.run(soakSeconds());
  unlink(kDevice.c_str());
}

} // namespace
} // namespace corvexd::test
