#include "recorder.h"

#include <cerrno>

namespace fake {

std::vector<Call> calls;
std::string failing;
int failErrno = 0;

bool record(const std::string& what) {
  calls.push_back({what, std::chrono::steady_clock::now()});
  if (!failing.empty() && (what == failing || what.compare(0, what.find('('), failing) == 0)) {
    errno = failErrno;
    return true;
  }
  return false;
}

void reset(const std::string& failingCall, int error) {
  calls.clear();
  failing = failingCall;
  failErrno = error;
}

} // namespace fake
