// For the programs that measure another process: what /proc tells about it,
// and percentiles of the times they take.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace corvex {

// Resident memory in KiB, or -1 when the process is gone.
inline long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// CPU time the process has used, user and system, in nanoseconds.
inline long long cpuNs(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
  long long ns = -1;
  stat >> ns;
  return ns;
}

// The nearest-rank percentile (`percent` from 0 to 100); -1 for no values.
inline double percentile(std::vector<double> values, double percent) {
  if (values.empty()) {
    return -1;
  }
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(percent / 100.0 * static_cast<double>(values.size()) + 0.999999);
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

} // namespace corvex
