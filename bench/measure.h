// The loop shared by the per-call benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <vector>

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

}  // namespace zelbench
