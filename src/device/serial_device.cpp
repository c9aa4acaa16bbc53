// Compiled into each executable with the serial device it is built for.
#include "core/corvexd.h"

#ifndef CORVEXD_SERIAL_DEVICE_PATH
#error "CORVEXD_SERIAL_DEVICE_PATH must name the serial device"
#endif

namespace corvexd {
const char* const serialDevicePath = CORVEXD_SERIAL_DEVICE_PATH;
} // namespace corvexd
