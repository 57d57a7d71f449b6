// The settling pause as the Windows build waits it out: at least the pause, and not a scheduler
// tick (15.6 ms by default) more. Medians, so that a busy machine's odd late wake-up passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "transport/platform.h"
#include "transport/platform_win32.h"

namespace {

using zel::platform::win32::PauseTimer;
using Millis = std::chrono::duration<double, std::milli>;

constexpr unsigned kPauseMs = 10;  // the settling pause of the EEPROM and the power sampling
constexpr int kPauses = 20;
constexpr double kWellUnderATickMs = 14.0;

struct Timing {
    double shortest_ms;
    double median_ms;
};

// Times `pauses` pauses; false from `pause` (the way is not offered) ends the timing at once.
bool Time(const std::function<bool()>& pause, Timing& timing) {
    std::vector<double> ms;
    for (int i = 0; i < kPauses; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!pause()) return false;
        ms.push_back(Millis(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    timing = {ms.front(), ms[ms.size() / 2]};
    return true;
}

TEST(SettlingPause, LastsThePauseAndNotATickMore) {
    Timing t{};
    ASSERT_TRUE(Time(
        [] {
            zel::platform::SleepMs(kPauseMs);
            return true;
        },
        t));
    std::printf("settling pause of %u ms: median %.2f ms, shortest %.2f ms over %d pauses\n", kPauseMs, t.median_ms,
                t.shortest_ms, kPauses);
    EXPECT_GE(t.shortest_ms, kPauseMs);
    EXPECT_LT(t.median_ms, kWellUnderATickMs);
}

// Each finer way on its own: the one SleepMs takes on this system and the one it falls back to.
TEST(SettlingPause, EachFineTimerLastsThePauseAndNotATickMore) {
    const struct {
        PauseTimer timer;
        const char* name;
    } cases[] = {{PauseTimer::kHighResolution, "high-resolution waitable timer"},
                 {PauseTimer::kOneMillisecondPeriod, "Sleep at a 1 ms timer period"}};
    int offered = 0;
    for (const auto& c : cases) {
        Timing t{};
        if (!Time([&] { return zel::platform::win32::PauseWith(c.timer, kPauseMs); }, t)) {
            std::printf("%s: not offered by this system\n", c.name);
            continue;
        }
        ++offered;
        std::printf("%s: median %.2f ms, shortest %.2f ms\n", c.name, t.median_ms, t.shortest_ms);
        EXPECT_GE(t.shortest_ms, kPauseMs) << c.name;
        EXPECT_LT(t.median_ms, kWellUnderATickMs) << c.name;
    }
    EXPECT_GT(offered, 0) << "neither fine timer is offered: every pause waits for the scheduler tick";
}

// The plain Sleep way may end on a tick, but never before the pause is over.
TEST(SettlingPause, SchedulerTickWayNeverEndsEarly) {
    Timing t{};
    ASSERT_TRUE(Time([] { return zel::platform::win32::PauseWith(PauseTimer::kSchedulerTick, kPauseMs); }, t));
    EXPECT_GE(t.shortest_ms, kPauseMs);
}

}  // namespace
