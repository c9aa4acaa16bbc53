// What the GPIO stand-ins were asked to do, which call should fail, and the
// chips they pretend the kernel has.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace fake {

struct Call {
  std::string what;
  std::chrono::steady_clock::time_point when;
};

extern std::vector<Call> calls;
extern std::string failing; // the call that fails: its name up to '(', or the whole call
extern int failErrno;

// Records the call; true when it is the one that should fail (errno is set).
bool record(const std::string& what);

void reset(const std::string& failingCall = "", int error = 0);

// gpiochipN is chips[N]; a chip beyond them is not there (ENOENT).
struct Chip {
  std::string label;
  std::vector<std::string> lines; // names by offset
};
extern std::vector<Chip> chips;
// The chip and offset of the line requested: "gpiochip0:4".
extern std::string requested;
// Records chip_open(NAME) and returns the chip a path names ("/dev/gpiochip1":
// chips[1]) and its name; nullptr with errno set when it fails or is not
// there (ENOENT).
const Chip* openChip(const std::string& path, std::string& name);
// The offset of the line named `line` on `at`, or -1.
int offsetOf(const Chip& at, const std::string& line);
// A chip of `count` unnamed lines but the named ones.
Chip chip(const std::string& label, std::size_t count,
          const std::vector<std::pair<std::size_t, std::string>>& named = {});

} // namespace fake
