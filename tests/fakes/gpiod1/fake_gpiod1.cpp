#include "../recorder.h"
#include "gpiod.h"

struct gpiod_line {};
static gpiod_line theLine;

gpiod_line* gpiod_line_find(const char* name) {
  return fake::record(std::string("find(") + name + ")") ? nullptr : &theLine;
}
int gpiod_line_request_output(gpiod_line* line, const char* consumer, int default_val) {
  const bool fail = fake::record(std::string("request_output(") + consumer + "," +
                                 std::to_string(default_val) + ")");
  return fail || line != &theLine ? -1 : 0;
}
int gpiod_line_set_value(gpiod_line* line, int value) {
  const bool fail = fake::record("set_value(" + std::to_string(value) + ")");
  return fail || line != &theLine ? -1 : 0;
}
