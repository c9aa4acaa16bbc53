#include "../recorder.h"
#include "wiringPi.h"

int wiringPiSetup(void) { return fake::record("wiringPiSetup") ? -1 : 0; }
void pinMode(int pin, int mode) {
  fake::record("pinMode(" + std::to_string(pin) + "," + (mode == OUTPUT ? "OUTPUT" : "?") + ")");
}
void digitalWrite(int pin, int value) {
  fake::record("digitalWrite(" + std::to_string(pin) + "," + (value == HIGH ? "HIGH" : "LOW") +
               ")");
}
void delay(unsigned int howLong) { fake::record("delay(" + std::to_string(howLong) + ")"); }
