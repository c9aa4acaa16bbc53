// What both libgpiod back-ends share: finding header pin 7 (wiringPi pin 7,
// Broadcom GPIO 4) on whatever chip and under whatever name the kernel gives.
#pragma once

#include "diagnostics/diagnostics.h"

#include <dirent.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef CORVEXD_GPIOCHIP_DIR
#define CORVEXD_GPIOCHIP_DIR "/dev"
#endif

namespace corvexd::gpio {

// The chips that carry a Pi's header pins (Pi 5, Pi 4/400/CM4, Pi 1-3/Zero),
// as the portable GPIO libraries know them. On each, line offset 4 is header
// pin 7 whatever its name: Debian's device trees call it GPIO_GCLK, older
// Pi 5 kernels PIN7. Only where none of them exists is a line named GPIO4
// taken (other boards, emulated machines).
constexpr std::array<const char*, 3> kHeaderChipLabels{"pinctrl-rp1", "pinctrl-bcm2711",
                                                       "pinctrl-bcm2835"};
constexpr unsigned kHeaderOffset = 4;
constexpr const char* kLineName = "GPIO4";
constexpr const char* kConsumer = "corvexd";

// How a chip is asked for the line.
enum class Find { byLabel, byName };

[[nodiscard]] inline bool isHeaderChip(const char* label, std::size_t lines) {
  if (label == nullptr || lines <= kHeaderOffset) {
    return false;
  }
  for (const char* known : kHeaderChipLabels) {
    if (std::strcmp(label, known) == 0) {
      return true;
    }
  }
  return false;
}

inline void reportSetUpFailure(int error) {
  report("corvexd: error when initialising GPIO4, errno=%d\n", error);
}

inline void reportDriveFailure(int error) {
  report("corvexd: error when driving GPIO4, errno=%d\n", error);
}

// Offers every GPIO chip, in name order, to `tryChip(path, how)`, which
// returns 0 when the chip has the line and holds it, or why not (ENOENT: not
// there): first by label, then, only where no header chip was found, by line
// name. A chip that cannot be opened does not hide the line on another; when
// no chip has it, errno is the first error other than ENOENT, or ENOENT.
template <typename TryChip>
[[nodiscard]] bool findControlLine(TryChip tryChip) {
  dirent** entries = nullptr;
  const int count = scandir(
      CORVEXD_GPIOCHIP_DIR, &entries,
      [](const dirent* e) { return std::strncmp(e->d_name, "gpiochip", 8) == 0 ? 1 : 0; },
      versionsort); // gpiochip10 after gpiochip9
  int error = count < 0 ? errno : ENOENT;
  bool found = false;
  for (const Find how : {Find::byLabel, Find::byName}) {
    for (int i = 0; i < count && !found; ++i) {
      const std::string path = std::string(CORVEXD_GPIOCHIP_DIR "/") + entries[i]->d_name;
      const int why = tryChip(path.c_str(), how);
      found = why == 0;
      if (why != 0 && why != ENOENT && error == ENOENT) {
        error = why;
      }
    }
  }
  for (int i = 0; i < count; ++i) {
    std::free(entries[i]);
  }
  std::free(entries);
  errno = error;
  return found;
}

// The trace line once the pulse is done: which chip and line were used.
inline void traceLine(const std::string& label, unsigned offset) {
  trace("opened line %u of %s through libgpiod\n", offset, label.c_str());
}

} // namespace corvexd::gpio
