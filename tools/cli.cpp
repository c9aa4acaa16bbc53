#include "cli.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace corvex {

void usageError(const char* program, const std::string& message, int status) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, message.c_str(), program);
  std::exit(status);
}

std::string badOption(char** argv) {
  if (optopt != 0) {
    return std::string("invalid or incomplete option '-") + static_cast<char>(optopt) + "'";
  }
  return std::string("invalid option '") + argv[optind - 1] + "'";
}

long numberArgument(const char* program, int status, const char* what, const std::string& text,
                    long low, long high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
    usageError(program,
               "invalid " + std::string(what) + " '" + text + "' (" + std::to_string(low) + " to " +
                   std::to_string(high) + ")",
               status);
  }
  return value;
}

} // namespace corvex
