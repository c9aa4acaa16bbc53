// What /proc tells about another process, for the programs that measure one.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

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

} // namespace corvex
