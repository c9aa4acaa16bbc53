// No control line: a development build without a board. It keeps the pulse's
// waits and trace so that its start-up looks and lasts as on a Pi.
#include "core/syscall.h"
#include "device/gpio.h"
#include "diagnostics/diagnostics.h"

namespace corvexd::gpio {

void traceOpened() { trace("opened a simulated control line\n"); }

bool setUp() { return true; }

bool drive(bool /*high*/) { return true; }

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
