// Two chips: the control line is offset 4 of the second, as on a Pi whose
// header lines are not on gpiochip0.
#include <cerrno>
#include <list>
#include <string>

#include "../recorder.h"
#include "gpiod.h"

struct gpiod_chip {
  std::string name;
};
struct gpiod_line_settings {};
struct gpiod_line_config {};
struct gpiod_request_config {};
struct gpiod_line_request {};

namespace {
std::list<gpiod_chip> chips; // owned here: the back-end keeps its chip open for good
gpiod_line_request theRequest;
int live = 0; // settings and configs not yet freed
} // namespace

namespace fake {
int liveObjects() { return live; }
} // namespace fake

gpiod_chip* gpiod_chip_open(const char* path) {
  const std::string name = std::string(path).substr(std::string(path).rfind('/') + 1);
  return fake::record("chip_open(" + name + ")") ? nullptr : &chips.emplace_back(gpiod_chip{name});
}
void gpiod_chip_close(gpiod_chip* chip) { fake::record("chip_close(" + chip->name + ")"); }
int gpiod_chip_get_line_offset_from_name(gpiod_chip* chip, const char* name) {
  const bool fail = fake::record("offset(" + chip->name + "," + name + ")");
  if (fail || chip->name != "gpiochip1" || std::string(name) != "GPIO4") {
    errno = ENOENT;
    return -1;
  }
  return 4;
}
gpiod_line_request* gpiod_chip_request_lines(gpiod_chip* chip, gpiod_request_config*,
                                             gpiod_line_config*) {
  return fake::record("request_lines(" + chip->name + ")") ? nullptr : &theRequest;
}
gpiod_line_settings* gpiod_line_settings_new(void) {
  ++live;
  return new gpiod_line_settings;
}
void gpiod_line_settings_free(gpiod_line_settings* settings) {
  live -= settings != nullptr;
  delete settings;
}
int gpiod_line_settings_set_direction(gpiod_line_settings*, gpiod_line_direction direction) {
  return fake::record(direction == GPIOD_LINE_DIRECTION_OUTPUT ? "direction(output)"
                                                               : "direction(?)")
             ? -1
             : 0;
}
int gpiod_line_settings_set_output_value(gpiod_line_settings*, gpiod_line_value value) {
  return fake::record("output_value(" + std::to_string(value) + ")") ? -1 : 0;
}
gpiod_line_config* gpiod_line_config_new(void) {
  ++live;
  return new gpiod_line_config;
}
void gpiod_line_config_free(gpiod_line_config* config) {
  live -= config != nullptr;
  delete config;
}
int gpiod_line_config_add_line_settings(gpiod_line_config*, const unsigned int* offsets,
                                        size_t num_offsets, gpiod_line_settings*) {
  return fake::record("line_settings(" + std::to_string(num_offsets) + ":" +
                      std::to_string(offsets[0]) + ")")
             ? -1
             : 0;
}
gpiod_request_config* gpiod_request_config_new(void) {
  ++live;
  return new gpiod_request_config;
}
void gpiod_request_config_free(gpiod_request_config* config) {
  live -= config != nullptr;
  delete config;
}
void gpiod_request_config_set_consumer(gpiod_request_config*, const char* consumer) {
  fake::record(std::string("consumer(") + consumer + ")");
}
int gpiod_line_request_set_value(gpiod_line_request* request, unsigned int offset,
                                 gpiod_line_value value) {
  const bool fail =
      fake::record("set_value(" + std::to_string(offset) + "," + std::to_string(value) + ")");
  return fail || request != &theRequest ? -1 : 0;
}
