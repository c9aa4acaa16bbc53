// corvex-board: a CORVEX board on a pseudo-terminal, for running the daemon
// without hardware. Answers every frame it reads with one frame.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "cli.h"
#include "frames.h"

namespace {

using corvex::Bytes;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "Usage: corvex-board [OPTION]... LINK\n"
    "Emulate a CORVEX board on a pseudo-terminal; LINK becomes a symbolic link to its\n"
    "device (the path a development build of corvexd opens). Runs until interrupted.\n"
    "\n"
    "  -r, --reply=HEX     answer every frame with this payload instead of echoing it\n"
    "  -t, --type=BYTE     fourth header byte of that reply (hex, default 00)\n"
    "  -N, --no-answer     read frames without answering them\n"
    "  -e, --every=MS      also send something on its own every MS milliseconds\n"
    "  -s, --send=KIND     what to send on its own: frame (default), stray, cut, long or\n"
    "                      noise; give it more than once to take turns\n"
    "  -P, --pace          write at the line's real speed (230400 baud, 10 bits a byte)\n"
    "  -q, --quiet         do not print what is read\n"
    "  -h, --help          show this help and exit\n";

volatile sig_atomic_t stopping = 0;

enum class Kind { frame, stray, cut, longFrame, noise };

struct Options {
  std::string link;
  bool echo = true;
  bool answer = true;
  Bytes reply;
  std::uint8_t type = 0;
  int everyMs = 0;
  std::vector<Kind> kinds;
  bool pace = false;
  bool quiet = false;
};

[[noreturn]] void usageError(const std::string& message) {
  corvex::usageError("corvex-board", message, 1);
}

[[noreturn]] void fatal(const std::string& what) {
  std::fprintf(stderr, "corvex-board: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

bool parseKind(const std::string& text, Kind& kind) {
  const struct {
    const char* name;
    Kind kind;
  } kinds[] = {{"frame", Kind::frame},
               {"stray", Kind::stray},
               {"cut", Kind::cut},
               {"long", Kind::longFrame},
               {"noise", Kind::noise}};
  for (const auto& k : kinds) {
    if (text == k.name) {
      kind = k.kind;
      return true;
    }
  }
  return false;
}

Options parse(int argc, char** argv) {
  static const option longOptions[] = {{"reply", required_argument, nullptr, 'r'},
                                       {"type", required_argument, nullptr, 't'},
                                       {"no-answer", no_argument, nullptr, 'N'},
                                       {"every", required_argument, nullptr, 'e'},
                                       {"send", required_argument, nullptr, 's'},
                                       {"pace", no_argument, nullptr, 'P'},
                                       {"quiet", no_argument, nullptr, 'q'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "r:t:Ne:s:Pqh", longOptions, nullptr)) != -1) {
    const std::string arg = optarg != nullptr ? optarg : "";
    switch (c) {
    case 'r': {
      const auto bytes = corvex::parseHex(arg);
      if (!bytes || bytes->size() > 396) {
        usageError("invalid reply payload '" + arg + "' (hex, at most 396 bytes)");
      }
      o.echo = false;
      o.reply = *bytes;
      break;
    }
    case 't': {
      const auto bytes = corvex::parseHex(arg);
      if (!bytes || bytes->size() != 1) {
        usageError("invalid header byte '" + arg + "' (one hex byte)");
      }
      o.type = (*bytes)[0];
      break;
    }
    case 'N':
      o.answer = false;
      break;
    case 'e':
      o.everyMs =
          static_cast<int>(corvex::numberArgument("corvex-board", 1, "interval", arg, 1, 3600000));
      break;
    case 's': {
      Kind kind;
      if (!parseKind(arg, kind)) {
        usageError("unknown kind '" + arg + "' (frame, stray, cut, long or noise)");
      }
      o.kinds.push_back(kind);
      break;
    }
    case 'P':
      o.pace = true;
      break;
    case 'q':
      o.quiet = true;
      break;
    case 'h':
      std::fputs(kUsage, stdout);
      std::exit(0);
    default:
      usageError(corvex::badOption(argv));
    }
  }
  if (optind != argc - 1) {
    usageError(optind == argc ? "missing LINK" : "too many arguments");
  }
  o.link = argv[optind];
  if (o.kinds.empty()) {
    o.kinds.push_back(Kind::frame);
  }
  return o;
}

// The pseudo-terminal pair; the slave is held open and set to the board's
// line settings, so nothing is echoed or translated while no daemon has it.
class Line {
 public:
  explicit Line(bool pace) : pace_(pace) {
    const corvex::BoardLine line = corvex::openBoardLine("corvex-board");
    master_ = line.master;
    slave_ = line.slave;
    slavePath_ = line.slavePath;
  }
  [[nodiscard]] int fd() const { return master_; }
  [[nodiscard]] const std::string& slavePath() const { return slavePath_; }

  // Writes the bytes; paced, no byte leaves before it would have on the wire.
  void write(const Bytes& bytes) {
    constexpr std::size_t kChunk = 16;
    const auto byteTime = std::chrono::nanoseconds(1000000000LL * 10 / 230400);
    const auto start = std::max(Clock::now(), lineFree_);
    for (std::size_t done = 0; done < bytes.size();) {
      const std::size_t piece = pace_ ? std::min(kChunk, bytes.size() - done) : bytes.size() - done;
      if (pace_) {
        std::this_thread::sleep_until(start + byteTime * static_cast<long>(done + piece));
      }
      const ssize_t n = ::write(master_, bytes.data() + done, piece);
      if (n < 0 && errno == EAGAIN) { // the line is full: wait, but not for ever
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 1000) <= 0) {
          std::fprintf(stderr, "corvex-board: line full for 1 s, %zu bytes dropped\n",
                       bytes.size() - done);
          return;
        }
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        fatal("write to the line");
      }
      done += static_cast<std::size_t>(n);
    }
    lineFree_ = start + byteTime * static_cast<long>(bytes.size());
  }

 private:
  bool pace_;
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  Clock::time_point lineFree_{};
};

Bytes unsolicited(Kind kind, unsigned sequence, std::mt19937& random) {
  switch (kind) {
  case Kind::frame:
    return corvex::makeFrame(
        {static_cast<std::uint8_t>(sequence >> 8U), static_cast<std::uint8_t>(sequence)}, 0x55);
  case Kind::stray:
    return {0x00, 0xFF, 0x0D};
  case Kind::cut: {
    Bytes frame = corvex::makeFrame(Bytes(16, 0x61), 0x55);
    frame.resize(frame.size() / 2);
    return frame;
  }
  case Kind::longFrame:
    return corvex::makeFrame(Bytes(500, 0x61), 0x55);
  case Kind::noise: {
    Bytes noise(16);
    for (auto& b : noise) {
      do {
        b = static_cast<std::uint8_t>(random());
      } while (b == corvex::kStartByte);
    }
    return noise;
  }
  }
  return {};
}

void linkDevice(const Options& o, const Line& line) {
  struct stat st {};
  if (lstat(o.link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "corvex-board: %s exists and is not a symbolic link\n", o.link.c_str());
      std::exit(1);
    }
    unlink(o.link.c_str()); // left behind by an earlier run
  }
  if (symlink(line.slavePath().c_str(), o.link.c_str()) != 0) {
    fatal("cannot create the link " + o.link);
  }
}

} // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  Line line(o.pace);
  linkDevice(o, line);

  struct sigaction stop {};
  stop.sa_handler = [](int) { stopping = 1; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("corvex-board: serving on %s (linked at %s)\n", line.slavePath().c_str(),
              o.link.c_str());
  std::fflush(stdout);

  corvex::FrameReader reader;
  std::mt19937 random(2460);
  unsigned sequence = 0;
  auto nextSend = Clock::now() + std::chrono::milliseconds(o.everyMs);
  while (stopping == 0) {
    int timeout = -1;
    if (o.everyMs > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(nextSend - Clock::now());
      timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }
    pollfd p{line.fd(), POLLIN, 0};
    const int ready = poll(&p, 1, timeout);
    if (ready < 0 && errno != EINTR) {
      fatal("poll");
    }
    if (ready > 0 && (p.revents & POLLIN) != 0) {
      std::uint8_t buf[4096];
      const ssize_t n = read(line.fd(), buf, sizeof buf);
      for (const auto& event : reader.feed(buf, n > 0 ? static_cast<std::size_t>(n) : 0)) {
        if (!o.quiet) {
          std::printf("corvex-board: %s %s\n", event.stray ? "stray byte" : "frame",
                      corvex::toHex(event.bytes).c_str());
        }
        if (!event.stray && o.answer) {
          line.write(o.echo ? event.bytes : corvex::makeFrame(o.reply, o.type));
        }
      }
      std::fflush(stdout);
    }
    if (o.everyMs > 0 && Clock::now() >= nextSend) {
      line.write(unsolicited(o.kinds[sequence % o.kinds.size()], sequence, random));
      ++sequence;
      nextSend += std::chrono::milliseconds(o.everyMs);
    }
  }
  unlink(o.link.c_str());
  return 0;
}
