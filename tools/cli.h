// Command-line handling shared by the tools: one-line usage errors in the
// usual Linux style.
#pragma once

#include <string>

namespace corvex {

// Writes "PROGRAM: MESSAGE" and a pointer to --help, then exits with `status`.
[[noreturn]] void usageError(const char* program, const std::string& message, int status);

// What getopt_long rejected, for usageError.
[[nodiscard]] std::string badOption(char** argv);

// A decimal argument from `low` to `high`, or a usage error naming `what`.
[[nodiscard]] long numberArgument(const char* program, int status, const char* what,
                                  const std::string& text, long low, long high);

} // namespace corvex
