#include "core/corvexd.h"
#include "device/device.h"
#include "device/gpio.h"
#include "diagnostics/diagnostics.h"

namespace corvexd {

namespace {
constexpr unsigned kPulseLowMs = 20;
constexpr unsigned kSettleMs = 750;
} // namespace

bool openWiringPi() {
  if (!gpio::setUp()) {
    return false;
  }
  if (!gpio::drive(false)) {
    return false;
  }
  gpio::waitMs(kPulseLowMs);
  if (!gpio::drive(true)) {
    return false;
  }
  gpio::waitMs(kSettleMs);
  gpio::traceOpened();
  return true;
}

} // namespace corvexd
