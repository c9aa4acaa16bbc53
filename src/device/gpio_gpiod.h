// What both libgpiod back-ends share: wiringPi pin 7 is header pin 7,
// Broadcom GPIO 4, found by its line name so that the chip number (which
// moved on the Pi 5) does not matter.
#pragma once

#include "diagnostics/diagnostics.h"

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef CORVEXD_GPIOCHIP_DIR
#define CORVEXD_GPIOCHIP_DIR "/dev"
#endif

namespace corvexd::gpio {

constexpr const char* kLineName = "GPIO4";
constexpr const char* kConsumer = "corvexd";

inline void reportSetUpFailure(int error) {
  report("corvexd: error when initialising GPIO4, errno=%d\n", error);
}

inline void reportDriveFailure(int error) {
  report("corvexd: error when driving GPIO4, errno=%d\n", error);
}

// Offers every GPIO chip, in name order, to `tryChip(path)`, which returns 0
// when the chip has the line and holds it, or why not (ENOENT: not there).
// A chip that cannot be opened does not hide the line on another; when no
// chip has it, errno is the first error other than ENOENT, or ENOENT.
template <typename TryChip>
[[nodiscard]] bool findOnChips(TryChip tryChip) {
  dirent** entries = nullptr;
  const int count = scandir(
      CORVEXD_GPIOCHIP_DIR, &entries,
      [](const dirent* e) { return std::strncmp(e->d_name, "gpiochip", 8) == 0 ? 1 : 0; },
      alphasort);
  int error = count < 0 ? errno : ENOENT;
  bool found = false;
  for (int i = 0; i < count; ++i) {
    if (!found) {
      const std::string path = std::string(CORVEXD_GPIOCHIP_DIR "/") + entries[i]->d_name;
      const int why = tryChip(path.c_str());
      found = why == 0;
      if (why != 0 && why != ENOENT && error == ENOENT) {
        error = why;
      }
    }
    std::free(entries[i]);
  }
  std::free(entries);
  errno = error;
  return found;
}

} // namespace corvexd::gpio
