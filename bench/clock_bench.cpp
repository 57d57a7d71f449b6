// Decimal arithmetic and the clock plan of the worked example (mode 1, input 24 MHz, outputs
// 100 MHz and 100 MHz).
//
// Add, subtract, multiply, divide and compare are each measured against the direct call of the
// decimal library that the operator makes, on the same operands in the same run (zelbench::
// TimeInRounds): counter `ratio` is the median over the rounds of Decimal's time over the direct
// call's, and a ratio above 1.2 fails the benchmark. Every Decimal result must have the bits of
// the direct call's and raise the same status flags, operand by operand; the first operands'
// results are also compared with their exact decimal value.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measure.h"
#include "zel_clock/decimal.h"
#include "zel_clock/si5346_plan.h"

namespace {

constexpr double kRatioLimit = 1.2;
constexpr int kRounds = 1001;

Decimal Parse(const char* text) { return Decimal(std::string(text)); }

BID_UINT128 BitsOf(const Decimal& d) {
    BID_UINT128 r;
    r.w[0] = d.LowBits();
    r.w[1] = d.HighBits();
    return r;
}

// The library's scientific form (+1E-6176), short where ToString would write every zero.
std::string Scientific(const Decimal& d) {
    char text[64] = {};
    _IDEC_flags ignored = 0;
    bid128_to_string(text, BitsOf(d), &ignored);
    return text;
}

bool SameResult(const Decimal& d, const BID_UINT128& r) { return d.LowBits() == r.w[0] && d.HighBits() == r.w[1]; }
bool SameResult(bool d, bool r) { return d == r; }

// Operands timed: values of the kinds the clock plan computes with (frequencies in MHz, dividers,
// 9-decimal ratios), where the library's call is cheapest and a wrapper's own cost shows most.
// The pair the exact results below belong to comes first. Checked besides: the same values with
// 34-digit quotients, the extremes of the range, zeros of both signs, infinities and NaNs.
struct Operands {
    std::vector<Decimal> a, b;
    std::vector<BID_UINT128> x, y;
};

Operands MakeOperands(bool with_specials) {
    std::vector<Decimal> pool;
    for (const char* t : {"1234.5678", "0.0321", "24", "100", "433.333333333", "1420", "710", "2684354560", "14200",
                          "12", "13", "0.5", "156.25", "125", "1E+9", "1234.5679"})
        pool.push_back(Parse(t));
    if (with_specials) {
        for (const char* t : {"1E-6176", "9.999999999999999999999999999999999E+6144", "0", "-0", "-Inf", "NaN", "sNaN",
                              "-2.5", "123456789012345678901234567890.1234"})
            pool.push_back(Parse(t));
        pool.push_back(Decimal(1) / Decimal(3));
        pool.push_back(Decimal(24) / Decimal(13));
    }
    Operands o;
    for (std::size_t i = 0; i < pool.size(); ++i) {
        for (std::size_t j = 0; j < pool.size(); ++j) {
            o.a.push_back(pool[i]);
            o.b.push_back(pool[j == 0 ? 1 : j == 1 ? 0 : j]);  // (1234.5678, 0.0321) first
        }
    }
    for (std::size_t i = 0; i < o.a.size(); ++i) {
        o.x.push_back(BitsOf(o.a[i]));
        o.y.push_back(BitsOf(o.b[i]));
    }
    return o;
}

// Times `decimal_op` on Decimal operands against `direct_op` on their encodings, then checks that
// each pair of results and the flags each raised agree and reports the figures. Returns the
// first operands' Decimal result, or nothing when the benchmark failed.
template <class DecimalOp, class DirectOp>
auto AgainstDirect(benchmark::State& state, DecimalOp decimal_op, DirectOp direct_op)
    -> std::optional<decltype(decimal_op(Decimal{}, Decimal{}))> {
    using DecimalResult = decltype(decimal_op(Decimal{}, Decimal{}));
    using DirectResult = decltype(direct_op(BID_UINT128{}, BID_UINT128{}, nullptr));
    const Operands o = MakeOperands(false);
    const std::size_t n = o.a.size();
    const auto by_decimal = std::make_unique<DecimalResult[]>(n);
    const auto by_direct = std::make_unique<DirectResult[]>(n);
    _IDEC_flags direct_flags = 0;
    const zelbench::RoundMedians m = zelbench::TimeInRounds(
        state, n,
        [&] {
            for (std::size_t i = 0; i < n; ++i) by_direct[i] = direct_op(o.x[i], o.y[i], &direct_flags);
            benchmark::ClobberMemory();
        },
        [&] {
            for (std::size_t i = 0; i < n; ++i) by_decimal[i] = decimal_op(o.a[i], o.b[i]);
            benchmark::ClobberMemory();
        });
    state.counters["direct_ns"] = m.floor_ns;
    state.counters["decimal_ns"] = m.subject_ns;
    state.counters["ratio"] = m.ratio;

    const Operands checked = MakeOperands(true);
    for (std::size_t i = 0; i < checked.a.size(); ++i) {
        Decimal::StatusFlags() = 0;
        direct_flags = 0;
        const DecimalResult d = decimal_op(checked.a[i], checked.b[i]);
        const DirectResult r = direct_op(checked.x[i], checked.y[i], &direct_flags);
        if (!SameResult(d, r) || Decimal::StatusFlags() != direct_flags) {
            state.SkipWithError(("other result or flags than the direct call on " + Scientific(checked.a[i]) + ", " +
                                 Scientific(checked.b[i]))
                                    .c_str());
            return std::nullopt;
        }
    }
    Decimal::StatusFlags() = 0;
    if (m.ratio > kRatioLimit) {
        state.SkipWithError(("costs " + std::to_string(m.ratio) + " times the direct call (at most 1.2)").c_str());
        return std::nullopt;
    }
    return by_decimal[0];
}

template <class DecimalOp, class DirectOp>
void RunArithmetic(benchmark::State& state, DecimalOp decimal_op, DirectOp direct_op, const char* exact) {
    const auto first = AgainstDirect(state, decimal_op, direct_op);
    if (first && !(*first == Parse(exact))) state.SkipWithError(("wrong result " + first->ToString()).c_str());
}

void BM_DecimalAdd(benchmark::State& state) {
    RunArithmetic(
        state, [](const Decimal& a, const Decimal& b) { return a + b; },
        [](BID_UINT128 x, BID_UINT128 y, _IDEC_flags* f) { return bid128_add(x, y, BID_ROUNDING_TO_NEAREST, f); },
        "1234.5999");
}
BENCHMARK(BM_DecimalAdd)->UseManualTime()->Iterations(kRounds);

void BM_DecimalSub(benchmark::State& state) {
    RunArithmetic(
        state, [](const Decimal& a, const Decimal& b) { return a - b; },
        [](BID_UINT128 x, BID_UINT128 y, _IDEC_flags* f) { return bid128_sub(x, y, BID_ROUNDING_TO_NEAREST, f); },
        "1234.5357");
}
BENCHMARK(BM_DecimalSub)->UseManualTime()->Iterations(kRounds);

void BM_DecimalMul(benchmark::State& state) {
    RunArithmetic(
        state, [](const Decimal& a, const Decimal& b) { return a * b; },
        [](BID_UINT128 x, BID_UINT128 y, _IDEC_flags* f) { return bid128_mul(x, y, BID_ROUNDING_TO_NEAREST, f); },
        "39.62962638");
}
BENCHMARK(BM_DecimalMul)->UseManualTime()->Iterations(kRounds);

void BM_DecimalDiv(benchmark::State& state) {
    // 1234.5678 / 0.0321 = 38460.05607476635514018691588785047 (34 digits, rounded to nearest).
    RunArithmetic(
        state, [](const Decimal& a, const Decimal& b) { return a / b; },
        [](BID_UINT128 x, BID_UINT128 y, _IDEC_flags* f) { return bid128_div(x, y, BID_ROUNDING_TO_NEAREST, f); },
        "38460.05607476635514018691588785047");
}
BENCHMARK(BM_DecimalDiv)->UseManualTime()->Iterations(kRounds);

void BM_DecimalCompare(benchmark::State& state) {
    // a < b is the negated quiet test of b <= a (true with a NaN operand).
    const auto less = AgainstDirect(
        state, [](const Decimal& a, const Decimal& b) { return a < b; },
        [](BID_UINT128 x, BID_UINT128 y, _IDEC_flags* f) { return !bid128_quiet_less_equal(y, x, f); });
    if (less && (*less || !(Parse("1234.5678") < Parse("1234.5679"))))
        state.SkipWithError("1234.5678 is not below 1234.5679 and above 0.0321");
}
BENCHMARK(BM_DecimalCompare)->UseManualTime()->Iterations(kRounds);

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
