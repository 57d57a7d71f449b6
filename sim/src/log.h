// Log lines of the simulator.
#pragma once

#include <string>

namespace zelsim {

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One line to stderr, "zel-unit-sim [seconds since start] tag: text", written whole.
void WriteLogLine(const std::string& tag, const std::string& text);

}  // namespace zelsim
