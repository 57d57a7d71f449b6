#include "zel_clock/si5346_plan.h"
#include "si5346_detail.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>

namespace {

// Records what the plan asks DecimalFraction, and can stand in a wider fraction for it.
class SpySi5346 : public SI5346_API {
public:
    std::vector<double> asked;
    bool twelve_decimals = false;

    double DecimalFraction(double x, double& denominator) override {
        asked.push_back(x);
        if (twelve_decimals) {
            denominator = 1e12;
            return std::round(x * 1e12);
        }
        return SI5346_API::DecimalFraction(x, denominator);
    }
};

// Bytes of the list from the first write to `address` on, least significant first.
std::uint64_t FieldAt(const SI5346_API& api, std::uint16_t address, int bytes) {
    const auto& a = api.Addresses();
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != address) continue;
        std::uint64_t v = 0;
        for (int k = bytes - 1; k >= 0; --k) {
            EXPECT_EQ(a.at(i + static_cast<std::size_t>(k)), address + k) << "not consecutive";
            v = (v << 8) | api.Values().at(i + static_cast<std::size_t>(k));
        }
        return v;
    }
    ADD_FAILURE() << "no write to " << address;
    return 0;
}

struct PlanResult {
    Decimal p1, p2, p3, p4;
    PlanStatus status;
};

PlanResult RunPlan(SI5346_API& api, const char* p1, const char* p2, const char* p3, const char* p4, int mode,
                   int board = 0) {
    PlanResult r{Decimal(std::string(p1)), Decimal(std::string(p2)), Decimal(std::string(p3)), Decimal(std::string(p4)),
                 PlanStatus::Planned};
    r.status = api.PlanClocks(r.p1, r.p2, r.p3, r.p4, mode, board);
    return r;
}

void ExpectListFrame(const SI5346_API& api) {
    const auto& a = api.Addresses();
    const auto& v = api.Values();
    ASSERT_EQ(a.size(), 378U);
    ASSERT_EQ(v.size(), 378U);
    EXPECT_EQ(a[0], 0x0B24);
    EXPECT_EQ(v[0], 0xD8);
    EXPECT_EQ(a[1], 0x0B25);
    EXPECT_EQ(v[1], 0x00);
    EXPECT_EQ(a[376], 0x0B24);
    EXPECT_EQ(v[376], 0xDB);
    EXPECT_EQ(a[377], 0x0B25);
    EXPECT_EQ(v[377], 0x02);
    for (std::uint16_t value : v) EXPECT_LE(value, 0xFF);
    // Each output divider code is written twice in a row.
    EXPECT_EQ(FieldAt(api, 0x0250, 3), FieldAt(api, 0x0253, 3));
    EXPECT_EQ(FieldAt(api, 0x025C, 3), FieldAt(api, 0x025F, 3));
}

TEST(Si5346Plan, WorkedExampleModeOne) {
    SpySi5346 api;
    const PlanResult r = RunPlan(api, "0", "100", "24", "100", 1);
    ASSERT_EQ(r.status, PlanStatus::Planned);
    ExpectListFrame(api);

    // Loop A: R = 8 after 2, 4 and 6 miss the window; P = 12; ratio 400 exactly.
    EXPECT_EQ(FieldAt(api, 0x0208, 6), 12U);
    EXPECT_EQ(FieldAt(api, 0x020E, 1), 1U);
    EXPECT_EQ(FieldAt(api, 0x0250, 3), 3U);
    EXPECT_EQ(FieldAt(api, 0x0302, 6), 47647293440U);
    EXPECT_EQ(FieldAt(api, 0x0308, 4), 0xA0000000U);
    EXPECT_EQ(FieldAt(api, 0x0415, 7), 858993459200U);
    EXPECT_EQ(FieldAt(api, 0x041C, 4), 2147483648U);
    EXPECT_TRUE(r.p2 == Decimal(100));

    // Loop B: P = 13, ratio 433.333333333, 433333333333 over 10^9 shifted by 29.
    ASSERT_EQ(api.asked.size(), 1U);  // loop A's ratio is whole and needs no fraction
    EXPECT_EQ(api.asked[0], 433.333333333);
    EXPECT_EQ(FieldAt(api, 0x021C, 6), 13U);
    EXPECT_EQ(FieldAt(api, 0x0222, 1), 1U);
    EXPECT_EQ(FieldAt(api, 0x025C, 3), 3U);
    EXPECT_EQ(FieldAt(api, 0x030D, 6), 47647293440U);
    EXPECT_EQ(FieldAt(api, 0x0515, 7), 1733333333332U);
    EXPECT_EQ(FieldAt(api, 0x051C, 4), 4000000000U);
    // (24/13) x 1733333333332 / (8 x 4000000000)
    EXPECT_NEAR(r.p4.ToDouble(), 99.99999999992308, 1e-11);
    EXPECT_FALSE(r.p4 == Decimal(100));

    // Loop A reproduces its request exactly, loop B does not.
    EXPECT_EQ(FieldAt(api, 0x0112, 1), 6U);
    EXPECT_EQ(FieldAt(api, 0x0126, 1), 2U);
    EXPECT_EQ(FieldAt(api, 0x012B, 1), 2U);
    // Untouched inputs.
    EXPECT_TRUE(r.p1 == Decimal(0));
    EXPECT_TRUE(r.p3 == Decimal(24));
}

TEST(Si5346Plan, FromDoublesGivesTheSameListAndAchievedFrequencies) {
    SI5346_API by_decimal, by_double;
    const PlanResult r = RunPlan(by_decimal, "0", "100", "24", "100", 1);
    double p1 = 0, p2 = 100, p3 = 24, p4 = 100;
    ASSERT_EQ(by_double.PlanFromDoubles(p1, p2, p3, p4, 1, 0), PlanStatus::Planned);
    EXPECT_EQ(by_double.Addresses(), by_decimal.Addresses());
    EXPECT_EQ(by_double.Values(), by_decimal.Values());
    EXPECT_EQ(p2, 100.0);
    EXPECT_EQ(p4, r.p4.ToDouble());
    EXPECT_EQ(p3, 24.0);
}

TEST(Si5346Plan, FromDoublesCallsThePlanThroughTheVirtualTable) {
    struct Counting : SI5346_API {
        int calls = 0;
        PlanStatus PlanClocks(Decimal& p1, Decimal& p2, Decimal& p3, Decimal& p4, int mode, int board) override {
            ++calls;
            return SI5346_API::PlanClocks(p1, p2, p3, p4, mode, board);
        }
    } api;
    double p1 = 0, p2 = 100, p3 = 24, p4 = 100;
    api.PlanFromDoubles(p1, p2, p3, p4, 1, 0);
    EXPECT_EQ(api.calls, 1);
}

TEST(Si5346Plan, ModeZeroBoardSelector) {
    SI5346_API api;
    PlanResult r = RunPlan(api, "40", "100", "24", "100", 0, 7310);
    ASSERT_EQ(r.status, PlanStatus::Planned);
    ExpectListFrame(api);
    EXPECT_TRUE(r.p1 == Decimal(50));
    EXPECT_EQ(FieldAt(api, 0x0040, 1), 0x00U);
    EXPECT_EQ(FieldAt(api, 0x0208, 6), 25U);  // P from 50 / 2

    r = RunPlan(api, "40", "100", "24", "100", 0, 7320);
    EXPECT_EQ(FieldAt(api, 0x0040, 1), 0x00U);

    r = RunPlan(api, "40", "100", "24", "100", 0, 1234);
    EXPECT_TRUE(r.p1 == Decimal(50));
    EXPECT_EQ(FieldAt(api, 0x0040, 1), 0x04U);

    r = RunPlan(api, "40", "100", "24", "100", 0, 7777);
    ASSERT_EQ(r.status, PlanStatus::Planned);
    EXPECT_TRUE(r.p1 == Decimal(40));
    EXPECT_EQ(FieldAt(api, 0x0040, 1), 0x00U);
    EXPECT_EQ(FieldAt(api, 0x0208, 6), 20U);  // P from 40 / 2

    double d1 = 40, d2 = 100, d3 = 24, d4 = 100;
    ASSERT_EQ(api.PlanFromDoubles(d1, d2, d3, d4, 0, 7310), PlanStatus::Planned);
    EXPECT_EQ(d1, 50.0);
}

TEST(Si5346Plan, LoopAInputBoundsTruncateInModeZeroAndRoundOtherwise) {
    SI5346_API api;
    // Input 2001: trunc(1000.5) = 1000, round(1000.5) = 1001.
    ASSERT_EQ(RunPlan(api, "2001", "100", "24", "100", 0, 7777).status, PlanStatus::Planned);
    EXPECT_EQ(FieldAt(api, 0x0208, 6), 1000U);
    ASSERT_EQ(RunPlan(api, "0", "100", "2001", "100", 1).status, PlanStatus::Planned);
    EXPECT_EQ(FieldAt(api, 0x0208, 6), 1001U);
    EXPECT_EQ(FieldAt(api, 0x021C, 6), 1001U);  // loop B: first P above 1000.5
    // Input 25 in mode 0: P = 12 puts the phase detector at 2.08, and the ratio then stays
    // below half of every multisynth frequency in the window.
    EXPECT_EQ(RunPlan(api, "25", "100", "24", "100", 0, 7777).status, PlanStatus::LoopAFailed);
}

TEST(Si5346Plan, ModeTwoFixedLoopADividerAndMovedLoopB) {
    SI5346_API api;
    ASSERT_EQ(RunPlan(api, "0", "100", "24", "100", 2).status, PlanStatus::Planned);
    ExpectListFrame(api);
    EXPECT_EQ(FieldAt(api, 0x0208, 1), 0x64U);
    for (std::uint16_t a = 0x0209; a < 0x0226; ++a) EXPECT_EQ(FieldAt(api, a, 1), 0U) << a;
    EXPECT_EQ(FieldAt(api, 0x0226, 6), 13U);
    EXPECT_EQ(FieldAt(api, 0x022C, 4), 1U);
    EXPECT_EQ(FieldAt(api, 0x0112, 1), 0x02U);  // mode 2 writes fixed codes
    EXPECT_EQ(FieldAt(api, 0x0018, 1), 0x77U);
}

TEST(Si5346Plan, ModesShareOneAddressOrder) {
    const auto& m0 = si5346::RegisterTemplate(0);
    for (int mode : {1, 2}) {
        const auto& m = si5346::RegisterTemplate(mode);
        ASSERT_EQ(m.size(), si5346::kRegisterCount);
        for (std::size_t i = 0; i < m.size(); ++i) EXPECT_EQ(m[i].address, m0[i].address) << i;
    }
    std::multiset<std::uint16_t> seen;
    for (const auto& cell : m0) seen.insert(cell.address);
    for (std::uint16_t a : seen) EXPECT_EQ(seen.count(a), (a == 0x0B24 || a == 0x0B25) ? 2U : 1U) << a;
    EXPECT_THROW(si5346::RegisterTemplate(3), std::out_of_range);
}

TEST(Si5346Plan, OtherModesComputeNothing) {
    SI5346_API api;
    ASSERT_EQ(RunPlan(api, "0", "100", "24", "100", 1).status, PlanStatus::Planned);
    for (int mode : {3, -1}) {
        const PlanResult r = RunPlan(api, "40", "100", "24", "90", mode, 7310);
        EXPECT_EQ(r.status, PlanStatus::ModeNotPlanned);
        EXPECT_TRUE(api.Addresses().empty());
        EXPECT_TRUE(api.Values().empty());
        EXPECT_TRUE(r.p1 == Decimal(40));
        EXPECT_TRUE(r.p2 == Decimal(100));
        EXPECT_TRUE(r.p4 == Decimal(90));
    }
}

TEST(Si5346Plan, WindowEdgesOfTheTwoLoops) {
    SI5346_API api;
    // Multisynth exactly 710: loop A accepts it, loop B needs more than 710.
    ASSERT_EQ(RunPlan(api, "0", "0.5", "24", "0.5", 1).status, PlanStatus::Planned);
    EXPECT_EQ(FieldAt(api, 0x0250, 3), 709U);  // R = 1420
    EXPECT_EQ(FieldAt(api, 0x025C, 3), 710U);  // R = 1422
    // Multisynth 1420.5: loop A compares its whole part and accepts; loop B refuses 1420.
    SI5346_API b;
    EXPECT_EQ(RunPlan(b, "0", "710.25", "24", "100", 1).status, PlanStatus::Planned);
    EXPECT_EQ(FieldAt(b, 0x0250, 3), 0U);
    EXPECT_EQ(RunPlan(b, "0", "100", "24", "710", 1).status, PlanStatus::LoopBFailed);
}

TEST(Si5346Plan, UnreachableFrequencyFailsVisiblyAndLeavesEverything) {
    SI5346_API api;
    struct Case {
        const char* out_a;
        const char* out_b;
        const char* input;
        int mode;
        PlanStatus expected;
    };
    const Case cases[] = {
        {"800", "100", "24", 0, PlanStatus::LoopAFailed},  // 2 x 800 is past the window
        {"100", "1000", "24", 0, PlanStatus::LoopBFailed},
        {"0", "100", "24", 0, PlanStatus::LoopAFailed},
        {"-100", "100", "24", 1, PlanStatus::LoopAFailed},
        {"NaN", "100", "24", 0, PlanStatus::LoopAFailed},
        {"100", "Inf", "24", 1, PlanStatus::LoopBFailed},
        {"1E-9", "100", "24", 0, PlanStatus::LoopAFailed},  // R beyond the 24-bit divider code
        {"1E+300", "100", "24", 1, PlanStatus::LoopAFailed},
        {"100", "1E+300", "24", 1, PlanStatus::LoopBFailed},
        {"100", "100", "1E+300", 1, PlanStatus::LoopAFailed},  // no input divider in 48 bits
        {"100", "100", "0.001", 1, PlanStatus::LoopAFailed},   // no input divider at all
        {"100", "100", "0.001", 0, PlanStatus::LoopBFailed},   // loop A runs from 50 here
        {"100", "100", "2", 1, PlanStatus::LoopBFailed},       // loop B: P = 2, phase detector 1
    };
    for (const Case& c : cases) {
        ASSERT_EQ(RunPlan(api, "0", "100", "24", "100", 1).status, PlanStatus::Planned);
        const PlanResult r = RunPlan(api, "40", c.out_a, c.input, c.out_b, c.mode, 7310);
        EXPECT_EQ(r.status, c.expected) << c.out_a << ' ' << c.out_b << ' ' << c.input << " mode " << c.mode;
        EXPECT_TRUE(api.Addresses().empty());
        EXPECT_TRUE(api.Values().empty());
        EXPECT_TRUE(r.p1 == Decimal(40)) << "mode 0 replaced the input of a failed plan";
        EXPECT_EQ(r.p2.ToString(), Decimal(std::string(c.out_a)).ToString());
        EXPECT_EQ(r.p4.ToString(), Decimal(std::string(c.out_b)).ToString());
    }
}

TEST(Si5346Plan, SearchThatNeverPassesEndsPromptly) {
    SI5346_API api;
    // Input 4.9: P = 2 and a phase detector of 2.45 keep the ratio below half the multisynth
    // frequency for every R, so the whole window is searched; 0.001 MHz spreads it over
    // 355000 values of R.
    const auto start = std::chrono::steady_clock::now();
    const PlanResult r = RunPlan(api, "0", "0.001", "4.9", "100", 1);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, PlanStatus::LoopAFailed);
    EXPECT_LT(spent, std::chrono::seconds(20));
    double p1 = 0, p2 = 2000, p3 = 24, p4 = 100;
    EXPECT_EQ(api.PlanFromDoubles(p1, p2, p3, p4, 1, 0), PlanStatus::LoopAFailed);
    EXPECT_EQ(p2, 2000.0);
}

TEST(Si5346Plan, WideFractionIsApproximatedIntoThirtyTwoBits) {
    SpySi5346 api;
    api.twelve_decimals = true;
    ASSERT_EQ(RunPlan(api, "0", "100", "24", "100", 1).status, PlanStatus::Planned);
    const std::uint64_t num = FieldAt(api, 0x0515, 7);
    const std::uint64_t den = FieldAt(api, 0x051C, 4);
    EXPECT_GE(den, 0x80000000U);  // scaled up as far as 32 bits allow
    EXPECT_NEAR(static_cast<double>(num) / static_cast<double>(den), 433.333333333, 1e-9);
}

TEST(Si5346Fraction, DecimalFractionFromFixedPointText) {
    SI5346_API api;
    struct Case {
        double x, numerator, denominator;
    };
    const Case cases[] = {
        {0.5, 5, 10},
        {100.25, 10025, 100},
        {0.00000001, 10, 1e9},  // 0.000000010 keeps its single trailing zero
        {433.333333333, 433333333333, 1e9},
        {0.0000001, 1, 1e7},
        {1.1, 11, 10},
        {-0.5, -5, 10},
        {-2.5, -25, 10},
    };
    for (const Case& c : cases) {
        double d = 0;
        EXPECT_EQ(api.DecimalFraction(c.x, d), c.numerator) << c.x;
        EXPECT_EQ(d, c.denominator) << c.x;
    }
    double d = 0;
    EXPECT_THROW(api.DecimalFraction(100.0, d), std::invalid_argument);
    EXPECT_THROW(api.DecimalFraction(3e9 + 0.5, d), std::out_of_range);
}

TEST(Si5346Fraction, BestRationalApproximation) {
    using si5346::BestRationalApproximation;
    auto check = [](std::uint64_t n, std::uint64_t d, std::uint64_t limit, std::uint64_t en, std::uint64_t ed) {
        const si5346::Fraction f = BestRationalApproximation(n, d, limit);
        EXPECT_EQ(f.numerator, en) << n << '/' << d << " limit " << limit;
        EXPECT_EQ(f.denominator, ed) << n << '/' << d << " limit " << limit;
    };
    check(314159265358979, 100000000000000, 1000, 355, 113);  // a convergent
    check(314159265358979, 100000000000000, 100, 311, 99);    // a semiconvergent
    check(15, 10, 5, 3, 2);                                   // exact once reduced
    check(7, 3, 10, 7, 3);                                    // already fits
    check(433333333333333, 1000000000000, 2147483647, 1300, 3);
}

}  // namespace
