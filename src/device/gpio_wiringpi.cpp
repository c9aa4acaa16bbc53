// Control line through wiringPi: its pin 7 is header pin 7, Broadcom GPIO 4.
#include "device/gpio.h"
#include "diagnostics/diagnostics.h"

#include <wiringPi.h>

namespace corvexd::gpio {

namespace {
constexpr int kControlPin = 7;
} // namespace

void traceOpened() { trace("opened the Wiring Pi library\n"); }

bool setUp() {
  if (wiringPiSetup() == -1) {
    report("corvexd: error when initialising wiringPi\n");
    return false;
  }
  pinMode(kControlPin, OUTPUT);
  return true;
}

bool drive(bool high) {
  digitalWrite(kControlPin, high ? HIGH : LOW);
  return true;
}

void waitMs(unsigned ms) { delay(ms); }

} // namespace corvexd::gpio
