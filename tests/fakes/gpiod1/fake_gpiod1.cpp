// Two chips: the control line is on the second, as on a Pi whose header
// lines are not on gpiochip0.
#include <cerrno>
#include <list>
#include <string>

#include "../recorder.h"
#include "gpiod.h"

struct gpiod_chip {
  std::string name;
};
struct gpiod_line {};

namespace {
std::list<gpiod_chip> chips; // owned here: the back-end keeps its chip open for good
gpiod_line theLine;
} // namespace

gpiod_chip* gpiod_chip_open(const char* path) {
  const std::string name = std::string(path).substr(std::string(path).rfind('/') + 1);
  return fake::record("chip_open(" + name + ")") ? nullptr : &chips.emplace_back(gpiod_chip{name});
}
void gpiod_chip_close(gpiod_chip* chip) { fake::record("chip_close(" + chip->name + ")"); }
gpiod_line* gpiod_chip_find_line(gpiod_chip* chip, const char* name) {
  const bool fail = fake::record("find_line(" + chip->name + "," + name + ")");
  if (fail || chip->name != "gpiochip1" || std::string(name) != "GPIO4") {
    errno = ENOENT;
    return nullptr;
  }
  return &theLine;
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
