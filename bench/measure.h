// The loops shared by the per-call benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <vector>

#include <sched.h>

namespace zelbench {

// Calls `f` on the inputs in turn, round and round, for as long as the benchmark runs. Returns the
// results of the last call on each input reached, in input order, for the benchmark to check.
template <class In, class F>
auto CallInTurn(benchmark::State& state, const std::vector<In>& in, F f) {
    std::vector<decltype(f(in[0]))> out(in.size());
    std::size_t i = 0;
    for (auto _ : state) {
        out[i] = f(in[i]);
        // Not DoNotOptimize(out[i]): with Google Benchmark 1.7 and g++ 12 that lost stored doubles.
        benchmark::ClobberMemory();
        if (++i == in.size()) i = 0;
    }
    out.resize(std::min(in.size(), static_cast<std::size_t>(state.iterations())));
    return out;
}

// The middle of the values (the mean of the two middle ones for an even count); 0 for none.
inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    if (v.size() % 2 == 1) return *mid;
    return (*mid + *std::max_element(v.begin(), mid)) / 2;
}

struct RoundMedians {
    double floor_ns = 0;    // per call
    double subject_ns = 0;  // per call
    double ratio = 0;       // subject / floor
};

// A subject against its floor in one run, timed in rounds: each round (one benchmark iteration)
// runs one batch of `calls` calls of each, the two in alternating order, and reports the subject's
// time per call as the iteration's (manual time). The times are medians over the rounds. The ratio
// comes from the per-round ratios, each of two batches run next to each other, so that the rounds
// another process interrupted and the machine's slower phases leave it where it is: their median
// over the rounds of each order, and of those two the geometric mean, so that whatever the batch
// run second gains or loses counts for neither side.
template <class Floor, class Subject>
RoundMedians TimeInRounds(benchmark::State& state, std::size_t calls, Floor floor, Subject subject) {
    using Clock = std::chrono::steady_clock;
    const auto ns = [](Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); };
    std::vector<double> floor_ns, subject_ns, ratios[2];  // ratios[1]: the subject's batch ran first
    const auto rounds = static_cast<std::size_t>(state.max_iterations);
    floor_ns.reserve(rounds);
    subject_ns.reserve(rounds);
    for (auto& r : ratios) r.reserve(rounds / 2 + 1);
    bool subject_first = false;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        subject_first ? subject() : floor();
        const auto t1 = Clock::now();
        subject_first ? floor() : subject();
        const auto t2 = Clock::now();
        const double f = ns(subject_first ? t2 - t1 : t1 - t0);
        const double s = ns(subject_first ? t1 - t0 : t2 - t1);
        state.SetIterationTime(s * 1e-9 / static_cast<double>(calls));
        floor_ns.push_back(f / static_cast<double>(calls));
        subject_ns.push_back(s / static_cast<double>(calls));
        ratios[subject_first ? 1 : 0].push_back(s / f);
        subject_first = !subject_first;
    }
    // A single round has only the one order.
    const double ratio = ratios[1].empty() ? Median(ratios[0]) : std::sqrt(Median(ratios[0]) * Median(ratios[1]));
    return {Median(floor_ns), Median(subject_ns), ratio};
}

// Runs the two passes of a round, alternating from round to round which goes first, so that
// neither always meets a warmed-up unit. `first` carries the order from one round to the next.
template <class A, class B>
void InAlternatingOrder(bool& first, A a, B b) {
    if (first) {
        a();
        b();
    } else {
        b();
        a();
    }
    first = !first;
}

// Keeps the calling thread, and every thread it or its threads start while this lives (a simulated
// unit's accept and connection threads), on the processor it runs on now; the thread's own set of
// processors comes back at the end. Where the scheduler wakes a unit's thread (on the host's
// processor or the other one) changes a loopback exchange's time by more than a library's whole
// cost, and it does not wake the threads of two links alike: on one processor both links' exchanges
// meet the same wake-ups, and a ratio of the two is what the library adds.
class OneProcessor {
public:
    OneProcessor() {
        pinned_ = sched_getaffinity(0, sizeof saved_, &saved_) == 0;
        const int cpu = sched_getcpu();
        if (!pinned_ || cpu < 0) {
            pinned_ = false;
            return;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
    }
    ~OneProcessor() {
        if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
    }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;
    bool pinned() const { return pinned_; }

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

}  // namespace zelbench
