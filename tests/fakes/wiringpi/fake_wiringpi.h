#pragma once

#include <string>
#include <vector>

namespace fake_wiringpi {
extern std::vector<std::string> calls;
extern int setupResult;
} // namespace fake_wiringpi
