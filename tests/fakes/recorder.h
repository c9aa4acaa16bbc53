// What the GPIO stand-ins were asked to do, and which call should fail.
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

} // namespace fake
