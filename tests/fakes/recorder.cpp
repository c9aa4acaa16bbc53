#include "recorder.h"

#include <cerrno>

namespace fake {

std::vector<Call> calls;
std::string failing;
int failErrno = 0;
std::vector<Chip> chips;
std::string requested;

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
  requested.clear();
  failing = failingCall;
  failErrno = error;
}

const Chip* openChip(const std::string& path, std::string& name) {
  name = path.substr(path.rfind('/') + 1);
  const std::size_t index = std::stoul(name.substr(name.find_first_of("0123456789")));
  if (record("chip_open(" + name + ")")) {
    return nullptr;
  }
  if (index >= chips.size()) {
    errno = ENOENT;
    return nullptr;
  }
  return &chips[index];
}

int offsetOf(const Chip& at, const std::string& line) {
  for (std::size_t i = 0; i < at.lines.size(); ++i) {
    if (at.lines[i] == line) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

Chip chip(const std::string& label, std::size_t count,
          const std::vector<std::pair<std::size_t, std::string>>& named) {
  Chip made{label, std::vector<std::string>(count)};
  for (const auto& [offset, name] : named) {
    made.lines.at(offset) = name;
  }
  return made;
}

} // namespace fake
