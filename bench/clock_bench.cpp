// Decimal arithmetic and the clock plan of the worked example (mode 1, input 24 MHz, outputs
// 100 MHz and 100 MHz). Each result is compared with its exact decimal value.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "zel_clock/decimal.h"
#include "zel_clock/si5346_plan.h"

namespace {

Decimal Parse(const char* text) { return Decimal(std::string(text)); }

template <class Op>
void RunDecimal(benchmark::State& state, Op op, const Decimal& want) {
    const Decimal a = Parse("1234.5678");
    const Decimal b = Parse("0.0321");
    Decimal r{};
    for (auto _ : state) {
        r = op(a, b);
        benchmark::DoNotOptimize(r);
    }
    if (!(r == want)) state.SkipWithError(("wrong result " + r.ToString()).c_str());
}

void BM_DecimalAdd(benchmark::State& state) {
    RunDecimal(
        state, [](const Decimal& a, const Decimal& b) { return a + b; }, Parse("1234.5999"));
}
BENCHMARK(BM_DecimalAdd);

void BM_DecimalMul(benchmark::State& state) {
    RunDecimal(
        state, [](const Decimal& a, const Decimal& b) { return a * b; }, Parse("39.62962638"));
}
BENCHMARK(BM_DecimalMul);

void BM_DecimalDiv(benchmark::State& state) {
    // 1234.5678 / 0.0321 = 38460.05607476635514018691588785047 (34 digits, rounded to nearest).
    RunDecimal(
        state, [](const Decimal& a, const Decimal& b) { return a / b; }, Parse("38460.05607476635514018691588785047"));
}
BENCHMARK(BM_DecimalDiv);

void BM_DecimalCompare(benchmark::State& state) {
    const Decimal a = Parse("1234.5678");
    const Decimal b = Parse("1234.5679");
    int less = 0;
    for (auto _ : state) {
        bool lt = a < b;
        benchmark::DoNotOptimize(lt);
        bool gt = a > b;
        benchmark::DoNotOptimize(gt);
        less += lt && !gt;
    }
    if (less != state.iterations()) state.SkipWithError("1234.5678 did not compare below 1234.5679");
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_DecimalCompare);

void BM_DecimalToDouble(benchmark::State& state) {
    const Decimal a = Parse("1234.5678");
    double d = 0;
    for (auto _ : state) {
        d = a.ToDouble();
        benchmark::DoNotOptimize(d);
    }
    if (d != 1234.5678) state.SkipWithError("1234.5678 did not convert to the nearest double");
}
BENCHMARK(BM_DecimalToDouble);

void BM_PlanClocks(benchmark::State& state) {
    const Decimal input_a = Parse("0");
    const Decimal out_a = Parse("100");
    const Decimal input = Parse("24");
    const Decimal out_b = Parse("100");
    SI5346_API api;
    Decimal p1 = input_a, p2 = out_a, p3 = input, p4 = out_b;
    bool planned = true;
    for (auto _ : state) {
        p1 = input_a;
        p2 = out_a;
        p3 = input;
        p4 = out_b;
        planned &= api.PlanClocks(p1, p2, p3, p4, 1, 0) == PlanStatus::Planned;
        benchmark::DoNotOptimize(api.Values().data());
    }
    if (!planned) return state.SkipWithError("the plan failed");
    if (api.Addresses().size() != 378 || api.Values().size() != 378)
        return state.SkipWithError("the plan does not have 378 register writes");
    // Loop A reaches 100 MHz exactly; loop B's 9-decimal feedback fraction lands just below it.
    if (!(p2 == out_a) || p2 == p4 || std::fabs(p4.ToDouble() - 100.0) > 1e-9)
        return state.SkipWithError(("achieved outputs " + p2.ToString() + ", " + p4.ToString()).c_str());
}
BENCHMARK(BM_PlanClocks);

}  // namespace
