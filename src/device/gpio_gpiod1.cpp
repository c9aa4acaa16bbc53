// Control line through libgpiod 1.x (Debian 12, Raspberry Pi OS Bookworm).
// Its own search by name gives up at the first chip it cannot open, so the
// chips are walked here.
#include <gpiod.h>

#include <cerrno>

#include "core/syscall.h"
#include "device/gpio.h"
#include "device/gpio_gpiod.h"

namespace corvexd::gpio {

namespace {
// Found and requested once, held for the life of the process.
gpiod_line* controlLine = nullptr;
} // namespace

const char* const openedTrace = "opened GPIO4 through libgpiod\n";

bool setUp() {
  const bool found = findOnChips([](const char* path) {
    gpiod_chip* chip = gpiod_chip_open(path);
    if (chip == nullptr) {
      return errno;
    }
    controlLine = gpiod_chip_find_line(chip, kLineName);
    if (controlLine == nullptr) {
      const int error = errno;
      gpiod_chip_close(chip);
      return error;
    }
    return 0;
  });
  if (!found || gpiod_line_request_output(controlLine, kConsumer, 1) != 0) {
    reportSetUpFailure(errno);
    return false;
  }
  return true;
}

bool drive(bool high) {
  if (gpiod_line_set_value(controlLine, high ? 1 : 0) != 0) {
    reportDriveFailure(errno);
    return false;
  }
  return true;
}

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
