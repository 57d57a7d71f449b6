// Log lines of the simulator, and the log of the frames a server received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zelsim/server.h"

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

// The complete frames a server received, oldest first: a ring of at most `capacity` frames, in which
// a new frame takes the place of the oldest once the ring is full. Not locked: the server guards it.
class FrameLog {
public:
    explicit FrameLog(std::size_t capacity) : capacity_(capacity) {}

    void Record(const std::uint8_t (&frame)[kFrameSize]);
    std::vector<Frame> Frames() const;  // oldest first
    void Clear();                       // the count of Received stays
    // Keeps the newest frames that fit; capacity 0 keeps none and records none.
    void SetCapacity(std::size_t frames);
    std::size_t Received() const { return received_; }  // every frame recorded, dropped ones included

private:
    std::vector<Frame> ring_;
    std::size_t head_ = 0;  // index of the oldest frame once the ring is full
    std::size_t capacity_;
    std::size_t received_ = 0;
};

}  // namespace zelsim
