// corvex-client: sends frames to a corvexd bridge and prints what comes back.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli.h"
#include "diagnostics/diagnostics.h"
#include "frames.h"
#include "measure.h"

namespace {

using corvex::Bytes;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "Usage: corvex-client [OPTION]... [HOST [PORT]]\n"
    "Send frames to a corvexd bridge (default 127.0.0.1, port 2460) and print each answer\n"
    "as a hex dump.\n"
    "\n"
    "  -p, --payload=HEX    payload of the frame to send (default: none)\n"
    "  -t, --type=BYTE      fourth header byte (hex, default 00)\n"
    "  -r, --raw=HEX        send these bytes as they are, without framing\n"
    "  -n, --count=N        send N times (default 1); with N > 1, print round-trip times\n"
    "  -i, --interval=MS    pause between sends (default 0)\n"
    "  -w, --wait=MS        wait up to MS for each send's answers (default 1000)\n"
    "  -a, --answers=N      answers expected for each send (default 1; 0 expects none)\n"
    "  -q, --quiet          do not print the answers\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Exit status: 0 when every expected answer came, 1 when one did not, 2 on bad usage.\n";

struct Options {
  std::string host = "127.0.0.1";
  std::string port = "2460";
  Bytes payload;
  std::uint8_t type = 0;
  std::optional<Bytes> raw;
  long count = 1;
  long intervalMs = 0;
  long waitMs = 1000;
  long answers = 1;
  bool quiet = false;
};

[[noreturn]] void usageError(const std::string& message) {
  corvex::usageError("corvex-client", message, 2);
}

long number(const char* what, const std::string& text, long low, long high) {
  return corvex::numberArgument("corvex-client", 2, what, text, low, high);
}

Bytes hex(const char* what, const std::string& text) {
  const auto bytes = corvex::parseHex(text);
  if (!bytes) {
    usageError("invalid " + std::string(what) + " '" + text + "' (hex bytes)");
  }
  return *bytes;
}

Options parse(int argc, char** argv) {
  static const option longOptions[] = {
      {"payload", required_argument, nullptr, 'p'},  {"type", required_argument, nullptr, 't'},
      {"raw", required_argument, nullptr, 'r'},      {"count", required_argument, nullptr, 'n'},
      {"interval", required_argument, nullptr, 'i'}, {"wait", required_argument, nullptr, 'w'},
      {"answers", required_argument, nullptr, 'a'},  {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "p:t:r:n:i:w:a:qh", longOptions, nullptr)) != -1) {
    const std::string arg = optarg != nullptr ? optarg : "";
    switch (c) {
    case 'p':
      o.payload = hex("payload", arg);
      if (o.payload.size() > 65535) {
        usageError("payload longer than 65535 bytes");
      }
      break;
    case 't': {
      const Bytes b = hex("header byte", arg);
      if (b.size() != 1) {
        usageError("invalid header byte '" + arg + "' (one hex byte)");
      }
      o.type = b[0];
      break;
    }
    case 'r':
      o.raw = hex("raw bytes", arg);
      break;
    case 'n':
      o.count = number("count", arg, 1, 10000000);
      break;
    case 'i':
      o.intervalMs = number("interval", arg, 0, 3600000);
      break;
    case 'w':
      o.waitMs = number("wait", arg, 0, 3600000);
      break;
    case 'a':
      o.answers = number("answer count", arg, 0, 1000);
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
  if (argc - optind > 2) {
    usageError("too many arguments");
  }
  if (optind < argc) {
    o.host = argv[optind++];
  }
  if (optind < argc) {
    o.port = std::to_string(number("port", argv[optind], 1, 65535));
  }
  return o;
}

sockaddr_in resolve(const Options& o) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &found);
  if (error != 0) {
    std::fprintf(stderr, "corvex-client: cannot resolve %s: %s\n", o.host.c_str(),
                 gai_strerror(error));
    std::exit(2);
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  return address;
}

} // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const sockaddr_in bridge = resolve(o);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fprintf(stderr, "corvex-client: cannot create a socket: %s\n", std::strerror(errno));
    return 1;
  }
  const Bytes request = o.raw ? *o.raw : corvex::makeFrame(o.payload, o.type);

  std::vector<double> roundTrips;
  long missing = 0;
  std::vector<std::uint8_t> buf(65536);
  for (long i = 0; i < o.count; ++i) {
    const auto sent = Clock::now();
    if (sendto(fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&bridge),
               sizeof bridge) != static_cast<ssize_t>(request.size())) {
      std::fprintf(stderr, "corvex-client: cannot send to %s port %s: %s\n", o.host.c_str(),
                   o.port.c_str(), std::strerror(errno));
      return 1;
    }
    const auto deadline = sent + std::chrono::milliseconds(o.waitMs);
    long got = 0;
    while (got < o.answers) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
        break;
      }
      const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n < 0) {
        continue; // e.g. the bridge is not listening yet: ICMP refusal
      }
      if (got == 0) {
        roundTrips.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
      }
      ++got;
      if (!o.quiet) {
        corvexd::dump("Answer", buf.data(), static_cast<std::size_t>(n));
      }
    }
    missing += o.answers - got;
    if (o.intervalMs > 0 && i + 1 < o.count) {
      std::this_thread::sleep_until(sent + std::chrono::milliseconds(o.intervalMs));
    }
  }
  if (o.count > 1 && !roundTrips.empty()) {
    std::printf("round trip over %zu answers: median %.3f ms, 99th percentile %.3f ms\n",
                roundTrips.size(), corvex::percentile(roundTrips, 50),
                corvex::percentile(roundTrips, 99));
  }
  if (missing > 0) {
    std::fprintf(stderr, "corvex-client: %ld of %ld expected answers did not come within %ld ms\n",
                 missing, o.answers * o.count, o.waitMs);
    return 1;
  }
  return 0;
}
