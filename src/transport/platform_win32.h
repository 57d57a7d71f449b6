// The three ways the Windows build waits out a pause, for the tests that time each of them.
// Only platform_win32.cpp and the Windows tests include this header.
#pragma once

namespace zel::platform::win32 {

enum class PauseTimer {
    // A waitable timer made with CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 and later):
    // it fires at its due time instead of at the next scheduler tick.
    kHighResolution,
    // Sleep with the system timer period lowered to 1 ms (winmm's timeBeginPeriod) for the wait.
    kOneMillisecondPeriod,
    // Plain Sleep: the wait ends at the first scheduler tick past the pause (always offered).
    kSchedulerTick,
};

// Waits at least `milliseconds` with that timer. False when this system does not offer it (the
// high-resolution timer before Windows 10 1803, winmm missing); the pause then has not begun.
bool PauseWith(PauseTimer timer, unsigned milliseconds);

}  // namespace zel::platform::win32
