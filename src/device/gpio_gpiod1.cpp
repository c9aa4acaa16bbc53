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
std::string chipLabel;
} // namespace

bool setUp() {
  const bool found = findControlLine([](const char* path, Find how) {
    gpiod_chip* chip = gpiod_chip_open(path);
    if (chip == nullptr) {
      return errno;
    }
    const char* const label = gpiod_chip_label(chip);
    int error = ENOENT;
    controlLine = nullptr;
    if (how == Find::byName) {
      controlLine = gpiod_chip_find_line(chip, kLineName);
      error = errno;
    } else if (isHeaderChip(label, gpiod_chip_num_lines(chip))) {
      controlLine = gpiod_chip_get_line(chip, kHeaderOffset);
      error = errno;
    }
    if (controlLine == nullptr) {
      gpiod_chip_close(chip);
      return error;
    }
    chipLabel = label != nullptr ? label : "";
    return 0;
  });
  if (!found || gpiod_line_request_output(controlLine, kConsumer, 1) != 0) {
    reportSetUpFailure(errno);
    return false;
  }
  return true;
}

void traceOpened() { traceLine(chipLabel, gpiod_line_offset(controlLine)); }

bool drive(bool high) {
  if (gpiod_line_set_value(controlLine, high ? 1 : 0) != 0) {
    reportDriveFailure(errno);
    return false;
  }
  return true;
}

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
