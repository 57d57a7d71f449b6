#include "log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zelsim {

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, again);
        out.assign(buf.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

void WriteLogLine(const std::string& tag, const std::string& text) {
    static const auto start = std::chrono::steady_clock::now();
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string line = Format("[%9.3f] %s: %s\n", t, tag.c_str(), text.c_str());
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace zelsim
