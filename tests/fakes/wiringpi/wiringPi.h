// Recording stand-in for the four wiringPi calls the control line uses.
#pragma once

#define LOW 0
#define HIGH 1
#define OUTPUT 1

#ifdef __cplusplus
extern "C" {
#endif
int wiringPiSetup(void);
void pinMode(int pin, int mode);
void digitalWrite(int pin, int value);
void delay(unsigned int howLong);
#ifdef __cplusplus
}
#endif
