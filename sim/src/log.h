// Log lines of the simulator.
#pragma once

#include <string>

namespace zelsim {

// printf-style formatting into a std::string.
// MinGW's C99 printf (see cmake/ZelWindows.cmake) checks as gnu_printf, not as the msvcrt one.
#if defined(__MINGW_PRINTF_FORMAT)
#define ZELSIM_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define ZELSIM_PRINTF_FORMAT printf
#endif
std::string Format(const char* fmt, ...) __attribute__((format(ZELSIM_PRINTF_FORMAT, 1, 2)));

// One line to stderr, "zel-unit-sim [seconds since start] tag: text", written whole.
void WriteLogLine(const std::string& tag, const std::string& text);

}  // namespace zelsim
