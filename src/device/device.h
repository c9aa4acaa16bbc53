// The board's serial port and its start-up pulse.
#pragma once

namespace corvexd {

// Opens the configured serial device and sets the board's line: 230400 baud,
// 8N1, no flow control, fully raw, reads returning within 0.5 s.
[[nodiscard]] int openSerial();
[[nodiscard]] int openSerialAt(const char* path);

// Pulses the board's control line: low for 20 ms, then high, then 750 ms.
[[nodiscard]] bool openWiringPi();

} // namespace corvexd
