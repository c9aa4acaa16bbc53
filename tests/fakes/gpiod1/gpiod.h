// Stand-in for the libgpiod 1.x calls the control line uses.
#pragma once

struct gpiod_line;

#ifdef __cplusplus
extern "C" {
#endif
struct gpiod_line* gpiod_line_find(const char* name);
int gpiod_line_request_output(struct gpiod_line* line, const char* consumer, int default_val);
int gpiod_line_set_value(struct gpiod_line* line, int value);
#ifdef __cplusplus
}
#endif
