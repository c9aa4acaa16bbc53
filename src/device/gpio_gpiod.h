// What both libgpiod back-ends share: wiringPi pin 7 is header pin 7,
// Broadcom GPIO 4, found by its line name so that the chip number (which
// moved on the Pi 5) does not matter.
#pragma once

#include "diagnostics/diagnostics.h"

namespace corvexd::gpio {

constexpr const char* kLineName = "GPIO4";
constexpr const char* kConsumer = "corvexd";

inline void reportGpiodFailure(int error) {
  report("corvexd: error when initialising GPIO4, errno=%d\n", error);
}

} // namespace corvexd::gpio
