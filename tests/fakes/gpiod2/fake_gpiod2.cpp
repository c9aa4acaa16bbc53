// libgpiod 2.x over the chips of fake::chips.
#include <cerrno>
#include <list>
#include <string>

#include "../recorder.h"
#include "gpiod.h"

struct gpiod_chip {
  std::string name;
  const fake::Chip* chip;
};
struct gpiod_chip_info {
  const fake::Chip* chip;
};
struct gpiod_line_settings {};
struct gpiod_line_config {
  unsigned offset = 0;
};
struct gpiod_request_config {};
struct gpiod_line_request {};

namespace {
std::list<gpiod_chip> opened; // owned here: the back-end keeps its chip open for good
gpiod_line_request theRequest;
int live = 0; // settings, configs and infos not yet freed
} // namespace

namespace fake {
int liveObjects() { return live; }
} // namespace fake

gpiod_chip* gpiod_chip_open(const char* path) {
  std::string name;
  const fake::Chip* chip = fake::openChip(path, name);
  return chip == nullptr ? nullptr : &opened.emplace_back(gpiod_chip{name, chip});
}
void gpiod_chip_close(gpiod_chip* chip) { fake::record("chip_close(" + chip->name + ")"); }
gpiod_chip_info* gpiod_chip_get_info(gpiod_chip* chip) {
  if (fake::record("chip_info(" + chip->name + ")")) {
    return nullptr;
  }
  ++live;
  return new gpiod_chip_info{chip->chip};
}
const char* gpiod_chip_info_get_label(gpiod_chip_info* info) { return info->chip->label.c_str(); }
size_t gpiod_chip_info_get_num_lines(gpiod_chip_info* info) { return info->chip->lines.size(); }
void gpiod_chip_info_free(gpiod_chip_info* info) {
  live -= info != nullptr;
  delete info;
}
int gpiod_chip_get_line_offset_from_name(gpiod_chip* chip, const char* name) {
  const bool fail = fake::record("offset(" + chip->name + "," + name + ")");
  const int offset = fail ? -1 : fake::offsetOf(*chip->chip, name);
  if (offset < 0) {
    errno = fail ? errno : ENOENT;
  }
  return offset;
}
gpiod_line_request* gpiod_chip_request_lines(gpiod_chip* chip, gpiod_request_config*,
                                             gpiod_line_config* config) {
  if (fake::record("request_lines(" + chip->name + ")")) {
    return nullptr;
  }
  fake::requested = chip->name + ":" + std::to_string(config->offset);
  return &theRequest;
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
int gpiod_line_config_add_line_settings(gpiod_line_config* config, const unsigned int* offsets,
                                        size_t num_offsets, gpiod_line_settings*) {
  config->offset = offsets[0];
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
