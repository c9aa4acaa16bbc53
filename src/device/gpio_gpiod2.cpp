// Control line through libgpiod 2.x (Debian 13, Raspberry Pi OS Trixie),
// which has no search by line name across chips: every chip is asked in turn.
#include <dirent.h>
#include <gpiod.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/syscall.h"
#include "device/gpio.h"
#include "device/gpio_gpiod.h"

#ifndef CORVEXD_GPIOCHIP_DIR
#define CORVEXD_GPIOCHIP_DIR "/dev"
#endif

namespace corvexd::gpio {

namespace {

// Opened and requested once, held for the life of the process.
gpiod_chip* chip = nullptr;
gpiod_line_request* request = nullptr;
unsigned offset = 0;

// The first chip, in name order, with a line of that name; errno tells why
// there is none.
[[nodiscard]] gpiod_chip* findChip(const char* name, unsigned& lineOffset) {
  dirent** entries = nullptr;
  const int count = scandir(
      CORVEXD_GPIOCHIP_DIR, &entries,
      [](const dirent* e) { return std::strncmp(e->d_name, "gpiochip", 8) == 0 ? 1 : 0; },
      alphasort);
  gpiod_chip* found = nullptr;
  int error = count < 0 ? errno : ENOENT;
  for (int i = 0; i < count; ++i) {
    if (found == nullptr && error == ENOENT) {
      const std::string path = std::string(CORVEXD_GPIOCHIP_DIR "/") + entries[i]->d_name;
      gpiod_chip* candidate = gpiod_chip_open(path.c_str());
      if (candidate == nullptr) {
        error = errno;
      } else if (const int at = gpiod_chip_get_line_offset_from_name(candidate, name); at >= 0) {
        found = candidate;
        lineOffset = static_cast<unsigned>(at);
      } else {
        gpiod_chip_close(candidate);
      }
    }
    std::free(entries[i]);
  }
  std::free(entries);
  errno = error;
  return found;
}

[[nodiscard]] gpiod_line_request* requestOutput(gpiod_chip* from, unsigned lineOffset) {
  gpiod_line_settings* settings = gpiod_line_settings_new();
  gpiod_line_config* lineConfig = gpiod_line_config_new();
  gpiod_request_config* requestConfig = gpiod_request_config_new();
  gpiod_line_request* made = nullptr;
  if (settings != nullptr && lineConfig != nullptr && requestConfig != nullptr &&
      gpiod_line_settings_set_direction(settings, GPIOD_LINE_DIRECTION_OUTPUT) == 0 &&
      gpiod_line_settings_set_output_value(settings, GPIOD_LINE_VALUE_ACTIVE) == 0 &&
      gpiod_line_config_add_line_settings(lineConfig, &lineOffset, 1, settings) == 0) {
    gpiod_request_config_set_consumer(requestConfig, kConsumer);
    made = gpiod_chip_request_lines(from, requestConfig, lineConfig);
  }
  const int error = errno;
  gpiod_request_config_free(requestConfig);
  gpiod_line_config_free(lineConfig);
  gpiod_line_settings_free(settings);
  errno = error;
  return made;
}

} // namespace

const char* const openedTrace = "opened GPIO4 through libgpiod\n";

bool setUp() {
  chip = findChip(kLineName, offset);
  if (chip == nullptr) {
    reportGpiodFailure(errno);
    return false;
  }
  request = requestOutput(chip, offset);
  if (request == nullptr) {
    reportGpiodFailure(errno);
    return false;
  }
  return true;
}

bool drive(bool high) {
  const auto value = high ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
  if (gpiod_line_request_set_value(request, offset, value) != 0) {
    reportGpiodFailure(errno);
    return false;
  }
  return true;
}

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
