// The GPIO library behind the control line. One source file per back-end
// implements these; the build links exactly one.
#pragma once

namespace corvexd::gpio {

// Sets up the library and makes the control line an output; reports its own
// failure on standard error.
[[nodiscard]] bool setUp();

// Drives the line; false (reported) when the library could not.
[[nodiscard]] bool drive(bool high);

void waitMs(unsigned ms);

// Writes the trace line once the pulse is done (only when tracing).
void traceOpened();

} // namespace corvexd::gpio
