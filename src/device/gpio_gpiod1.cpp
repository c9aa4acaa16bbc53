// Control line through libgpiod 1.x (Debian 12, Raspberry Pi OS Bookworm).
#include <gpiod.h>

#include <cerrno>

#include "core/syscall.h"
#include "device/gpio.h"
#include "device/gpio_gpiod.h"

namespace corvexd::gpio {

namespace {
// Requested once and held for the life of the process.
gpiod_line* controlLine = nullptr;
} // namespace

const char* const openedTrace = "opened GPIO4 through libgpiod\n";

bool setUp() {
  controlLine = gpiod_line_find(kLineName);
  if (controlLine == nullptr) {
    reportGpiodFailure(errno);
    return false;
  }
  if (gpiod_line_request_output(controlLine, kConsumer, 1) != 0) {
    reportGpiodFailure(errno);
    return false;
  }
  return true;
}

bool drive(bool high) {
  if (gpiod_line_set_value(controlLine, high ? 1 : 0) != 0) {
    reportGpiodFailure(errno);
    return false;
  }
  return true;
}

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
