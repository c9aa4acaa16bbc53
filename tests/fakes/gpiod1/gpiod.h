// Stand-in for the libgpiod 1.x calls the control line uses.
#pragma once

struct gpiod_chip;
struct gpiod_line;

#ifdef __cplusplus
extern "C" {
#endif
struct gpiod_chip* gpiod_chip_open(const char* path);
void gpiod_chip_close(struct gpiod_chip* chip);
const char* gpiod_chip_label(struct gpiod_chip* chip);
unsigned int gpiod_chip_num_lines(struct gpiod_chip* chip);
struct gpiod_line* gpiod_chip_get_line(struct gpiod_chip* chip, unsigned int offset);
unsigned int gpiod_line_offset(struct gpiod_line* line);
struct gpiod_line* gpiod_chip_find_line(struct gpiod_chip* chip, const char* name);
int gpiod_line_request_output(struct gpiod_line* line, const char* consumer, int default_val);
int gpiod_line_set_value(struct gpiod_line* line, int value);
#ifdef __cplusplus
}
#endif
