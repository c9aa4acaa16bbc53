// libgpiod 1.x over the chips of fake::chips.
#include <cerrno>
#include <list>
#include <string>

#include "../recorder.h"
#include "gpiod.h"

struct gpiod_chip {
  std::string name;
  const fake::Chip* chip;
};
struct gpiod_line {
  std::string chip;
  unsigned offset;
};

namespace {
std::list<gpiod_chip> opened; // owned here: the back-end keeps its chip open for good
std::list<gpiod_line> lines;
} // namespace

gpiod_chip* gpiod_chip_open(const char* path) {
  std::string name;
  const fake::Chip* chip = fake::openChip(path, name);
  return chip == nullptr ? nullptr : &opened.emplace_back(gpiod_chip{name, chip});
}
void gpiod_chip_close(gpiod_chip* chip) { fake::record("chip_close(" + chip->name + ")"); }
const char* gpiod_chip_label(gpiod_chip* chip) { return chip->chip->label.c_str(); }
unsigned int gpiod_chip_num_lines(gpiod_chip* chip) {
  return static_cast<unsigned>(chip->chip->lines.size());
}
gpiod_line* gpiod_chip_get_line(gpiod_chip* chip, unsigned int offset) {
  if (fake::record("get_line(" + chip->name + "," + std::to_string(offset) + ")")) {
    return nullptr;
  }
  return &lines.emplace_back(gpiod_line{chip->name, offset});
}
unsigned int gpiod_line_offset(gpiod_line* line) { return line->offset; }
gpiod_line* gpiod_chip_find_line(gpiod_chip* chip, const char* name) {
  const bool fail = fake::record("find_line(" + chip->name + "," + name + ")");
  const int offset = fail ? -1 : fake::offsetOf(*chip->chip, name);
  if (offset < 0) {
    errno = fail ? errno : ENOENT;
    return nullptr;
  }
  return &lines.emplace_back(gpiod_line{chip->name, static_cast<unsigned>(offset)});
}
int gpiod_line_request_output(gpiod_line* line, const char* consumer, int default_val) {
  if (fake::record(std::string("request_output(") + consumer + "," + std::to_string(default_val) +
                   ")")) {
    return -1;
  }
  fake::requested = line->chip + ":" + std::to_string(line->offset);
  return 0;
}
int gpiod_line_set_value(gpiod_line*, int value) {
  return fake::record("set_value(" + std::to_string(value) + ")") ? -1 : 0;
}
