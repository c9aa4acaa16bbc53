#include "fake_wiringpi.h"
#include "wiringPi.h"

namespace fake_wiringpi {
std::vector<std::string> calls;
int setupResult = 0;
} // namespace fake_wiringpi

using fake_wiringpi::calls;

int wiringPiSetup(void) {
  calls.emplace_back("wiringPiSetup");
  return fake_wiringpi::setupResult;
}
void pinMode(int pin, int mode) {
  calls.push_back("pinMode(" + std::to_string(pin) + "," + (mode == OUTPUT ? "OUTPUT" : "?") + ")");
}
void digitalWrite(int pin, int value) {
  calls.push_back("digitalWrite(" + std::to_string(pin) + "," + (value == HIGH ? "HIGH" : "LOW") +
                  ")");
}
void delay(unsigned int howLong) { calls.push_back("delay(" + std::to_string(howLong) + ")"); }
