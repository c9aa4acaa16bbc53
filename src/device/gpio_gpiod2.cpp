// Control line through libgpiod 2.x (Debian 13, Raspberry Pi OS Trixie).
#include <gpiod.h>

#include <cerrno>

#include "core/syscall.h"
#include "device/gpio.h"
#include "device/gpio_gpiod.h"

namespace corvexd::gpio {

namespace {

// Opened and requested once, held for the life of the process.
gpiod_chip* chip = nullptr;
gpiod_line_request* request = nullptr;
unsigned offset = 0;
std::string chipLabel;

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

bool setUp() {
  const bool found = findControlLine([](const char* path, Find how) {
    gpiod_chip* candidate = gpiod_chip_open(path);
    if (candidate == nullptr) {
      return errno;
    }
    int at = -1;
    int error = ENOENT;
    if (gpiod_chip_info* info = gpiod_chip_get_info(candidate); info == nullptr) {
      error = errno;
    } else {
      const char* const label = gpiod_chip_info_get_label(info);
      if (how == Find::byLabel) {
        at = isHeaderChip(label, gpiod_chip_info_get_num_lines(info))
                 ? static_cast<int>(kHeaderOffset)
                 : -1;
      } else {
        at = gpiod_chip_get_line_offset_from_name(candidate, kLineName);
        error = at < 0 ? errno : 0;
      }
      chipLabel = label != nullptr ? label : "";
      gpiod_chip_info_free(info);
    }
    if (at < 0) {
      gpiod_chip_close(candidate);
      return error;
    }
    chip = candidate;
    offset = static_cast<unsigned>(at);
    return 0;
  });
  request = found ? requestOutput(chip, offset) : nullptr;
  if (request == nullptr) {
    reportSetUpFailure(errno);
    return false;
  }
  return true;
}

void traceOpened() { traceLine(chipLabel, offset); }

bool drive(bool high) {
  const auto value = high ? GPIOD_LINE_VALUE_ACTIVE : GPIOD_LINE_VALUE_INACTIVE;
  if (gpiod_line_request_set_value(request, offset, value) != 0) {
    reportDriveFailure(errno);
    return false;
  }
  return true;
}

void waitMs(unsigned ms) { sleepMs(ms); }

} // namespace corvexd::gpio
