#include "zel_clock/si5346_plan.h"

#include "si5346_detail.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

constexpr std::int64_t kWindowLow = 710;      // MHz, multisynth frequency
constexpr std::int64_t kWindowHigh = 1420;    // MHz
constexpr std::uint64_t kOscillator = 14200;  // MHz
constexpr std::uint64_t kMultisynthDenominator = 0xA0000000;
constexpr std::uint64_t kMultisynthNumeratorMask = (std::uint64_t{1} << 44) - 1;
constexpr std::uint64_t kFeedbackUnit = std::uint64_t{1} << 31;
constexpr std::int64_t kMaxOutputDividerHalf = std::int64_t{1} << 24;   // code R/2-1 in 24 bits
constexpr std::int64_t kMaxInputDivider = (std::int64_t{1} << 48) - 1;  // 6 bytes
constexpr std::uint64_t kMaxFittingDenominator = 2147483647;            // d * 2^1 <= 0xFFFFFFFF

constexpr std::uint8_t kMatchExact = 6;
constexpr std::uint8_t kMatchInexact = 2;

bool BoardClearsSelect(int board) { return board == 7310 || board == 7320 || board == 7777; }

// Fixed notation with 9 decimals, then a trailing run of two or more zeros removed; a single
// trailing zero stays.
std::string Fixed9Trimmed(double x) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.9f", x);
    std::string text(buffer);
    const auto last_non_zero = text.find_last_not_of('0');
    const std::size_t run = text.size() - (last_non_zero == std::string::npos ? 0 : last_non_zero + 1);
    if (run >= 2) text.resize(text.size() - run);
    return text;
}

}  // namespace

const char* ToString(PlanStatus status) noexcept {
    switch (status) {
        case PlanStatus::Planned:
            return "planned";
        case PlanStatus::ModeNotPlanned:
            return "mode not planned (only modes 0, 1 and 2 are)";
        case PlanStatus::LoopAFailed:
            return "no output and input divider fit loop A";
        case PlanStatus::LoopBFailed:
            return "no output and input divider fit loop B";
    }
    return "unknown";
}

// The result of one loop's search.
struct SI5346_API::Loop {
    std::int64_t output_divider = 0;  // R
    std::int64_t input_divider = 0;   // P
    Decimal phase_detector{};         // input / P
    Decimal ratio{};                  // multisynth / phase detector, cut to 9 decimals
    std::uint64_t multisynth_numerator = 0;
    std::uint64_t feedback_numerator = 0;
    std::uint64_t feedback_denominator = 0;
    Decimal achieved{};  // phase detector x feedback numerator / (R x feedback denominator)
    std::uint8_t match_code = kMatchInexact;
};

double SI5346_API::DecimalFraction(double x, double& denominator) {
    // Worked on the magnitude; a negative x gets its sign back on the numerator.
    const double magnitude = std::fabs(x);
    const std::string text = Fixed9Trimmed(magnitude);
    const double parsed = std::stod(text + " ");
    if (!(parsed < 2147483648.0))
        throw std::out_of_range("DecimalFraction: integer part of " + text + " exceeds 32 bits");
    const std::int32_t integer_part = static_cast<std::int32_t>(parsed);

    // What follows "<integer part>." are the fractional digits.
    std::string fraction = text;
    const std::string integer_text = std::to_string(integer_part) + ".";
    const auto at = fraction.find(integer_text);
    if (at != std::string::npos) fraction.erase(at, integer_text.size());

    const double f = std::stod(fraction);
    const double scale = std::pow(10.0, static_cast<double>(fraction.size()));
    denominator = scale;
    const double numerator = scale * integer_part + f;
    return x < 0 ? -numerator : numerator;
}

PlanStatus SI5346_API::PlanFromDoubles(double& p1, double& p2, double& p3, double& p4, int mode, int board_selector) {
    Decimal d1(p1), d2(p2), d3(p3), d4(p4);
    const PlanStatus status = PlanClocks(d1, d2, d3, d4, mode, board_selector);
    if (status == PlanStatus::Planned) {
        p1 = d1.ToDouble();
        p2 = d2.ToDouble();
        p3 = d3.ToDouble();
        p4 = d4.ToDouble();
    }
    return status;
}

bool SI5346_API::PlanLoop(Loop& loop, const Decimal& input, const Decimal& requested, bool is_loop_a,
                          bool truncate_input_bounds) {
    if (!input.IsFinite() || !requested.IsFinite() || !(requested > Decimal(0))) return false;

    // Starting input divider: the first P from 1 up that lies inside the loop's bounds. The
    // bounds do not depend on R, so neither does P.
    const Decimal upper = input * Decimal(1000) / Decimal(8);
    const Decimal half = input / Decimal(2);
    std::int64_t p = 1;
    if (is_loop_a) {
        const std::int64_t low = half.ToInt64(truncate_input_bounds);
        const std::int64_t high = upper.ToInt64(truncate_input_bounds);
        p = std::max<std::int64_t>(1, low);
        if (p > high) return false;
    } else {
        if (half >= Decimal(1)) p = half.ToInt64(true) + 1;
        if (p <= 0 || !(Decimal(p) < upper)) return false;
    }
    if (p > kMaxInputDivider) return false;
    const Decimal phase_detector = input / Decimal(p);
    // The phase-detector part of the window does not change with R either.
    if (is_loop_a ? phase_detector.ToInt64(true) < 1 : phase_detector <= Decimal(1)) return false;

    // Every R below the one reaching 710 fails the window's lower edge; start just below it.
    const std::int64_t reach = (Decimal(kWindowLow / 2) / requested).ToInt64(true);
    if (reach < 0 || reach > kMaxOutputDividerHalf) return false;
    std::int64_t half_r = std::max<std::int64_t>(1, reach - 1);

    Decimal multisynth, ratio;
    for (;; ++half_r) {
        if (half_r > kMaxOutputDividerHalf) return false;
        multisynth = Decimal(2 * half_r) * requested;
        // Past the upper edge (loop A: trunc(multisynth) > 1420) no larger R can pass.
        if (multisynth >= Decimal(is_loop_a ? kWindowHigh + 1 : kWindowHigh)) return false;
        const std::int64_t ms = multisynth.ToInt64(true);
        ratio = multisynth / phase_detector;
        const std::int64_t t = ratio.ToInt64(true);
        bool fails;
        if (is_loop_a) {
            fails = t > (ms * 1000) / 8 || t + 1 < ms / 2 || ms < kWindowLow;
        } else {
            const auto ut = static_cast<std::uint64_t>(t);
            const auto ums = static_cast<std::uint64_t>(ms);
            fails = ut > (ums * 1000) / 8 || ut + 1 < ums / 2 || multisynth <= Decimal(kWindowLow);
        }
        if (!fails) break;
    }

    loop.output_divider = 2 * half_r;
    loop.input_divider = p;
    loop.phase_detector = phase_detector;

    const Decimal billion(std::int64_t{1000000000});
    ratio = Decimal((ratio * billion).ToInt64(true)) / billion;
    loop.ratio = ratio;

    loop.multisynth_numerator =
        static_cast<std::uint64_t>(
            (Decimal(kOscillator) / multisynth * Decimal(kMultisynthDenominator)).ToInt64(true)) &
        kMultisynthNumeratorMask;

    const Decimal trillion(std::int64_t{1000000000000});
    const std::int64_t whole = ratio.ToInt64(true);
    const Decimal frac = ratio * trillion - Decimal(whole) * trillion;
    if (frac.ToInt64(true) == 0) {
        loop.feedback_denominator = kFeedbackUnit;
        loop.feedback_numerator = static_cast<std::uint64_t>(whole) * kFeedbackUnit;
    } else {
        double d_double = 0;
        const double n_double = DecimalFraction(ratio.ToDouble(), d_double);
        std::uint64_t n = Decimal(n_double).ToUint64(true);
        std::uint64_t d = Decimal(d_double).ToUint64(true);
        if (d == 0 || d == 0x8000000000000000ULL) throw std::domain_error("DecimalFraction gave no usable denominator");
        if (d > kMaxFittingDenominator) {
            const si5346::Fraction near = si5346::BestRationalApproximation(n, d, kMaxFittingDenominator);
            n = near.numerator;
            d = near.denominator;
        }
        int shift = 0;
        if (d >= 2) {
            shift = 1;
            while (shift < 30 && (d << (31 - shift)) > 0xFFFFFFFFULL) ++shift;
        }
        loop.feedback_denominator = d << (31 - shift);
        loop.feedback_numerator = n << (31 - shift);
    }

    loop.achieved = phase_detector * Decimal(loop.feedback_numerator) /
                    Decimal(static_cast<std::uint64_t>(loop.output_divider) * loop.feedback_denominator);
    loop.match_code = loop.achieved == requested ? kMatchExact : kMatchInexact;
    return true;
}

PlanStatus SI5346_API::PlanClocks(Decimal& p1, Decimal& p2, Decimal& p3, Decimal& p4, int mode, int board_selector) {
    addresses_.clear();
    values_.clear();
    if (mode < 0 || mode > 2) return PlanStatus::ModeNotPlanned;

    const bool replace_input_a = mode == 0 && board_selector != 7777;
    const Decimal input_a = mode != 0 ? p3 : replace_input_a ? Decimal(50) : p1;
    Loop a, b;
    if (!PlanLoop(a, input_a, p2, true, mode == 0)) return PlanStatus::LoopAFailed;
    // Mode 1 passes loop B's requested frequency through a double first.
    const Decimal requested_b = mode == 1 ? Decimal(p4.ToDouble()) : p4;
    if (!PlanLoop(b, p3, requested_b, false, false)) return PlanStatus::LoopBFailed;

    using si5346::Field;
    si5346::FieldValues fields{};
    auto set = [&fields](Field f, std::uint64_t v) { fields[static_cast<std::size_t>(f)] = v; };
    set(Field::MatchA, a.match_code);
    set(Field::MatchB, b.match_code);
    set(Field::BoardSelect, BoardClearsSelect(board_selector) ? 0x00 : 0x04);
    set(Field::InputDividerA, static_cast<std::uint64_t>(a.input_divider));
    set(Field::InputDividerB, static_cast<std::uint64_t>(b.input_divider));
    set(Field::OutputDividerA, static_cast<std::uint64_t>(a.output_divider / 2 - 1));
    set(Field::OutputDividerB, static_cast<std::uint64_t>(b.output_divider / 2 - 1));
    set(Field::MultisynthNumeratorA, a.multisynth_numerator);
    set(Field::MultisynthNumeratorB, b.multisynth_numerator);
    set(Field::FeedbackNumeratorA, a.feedback_numerator);
    set(Field::FeedbackNumeratorB, b.feedback_numerator);
    set(Field::FeedbackDenominatorA, a.feedback_denominator);
    set(Field::FeedbackDenominatorB, b.feedback_denominator);

    const auto& cells = si5346::RegisterTemplate(mode);
    addresses_.reserve(cells.size());
    values_.reserve(cells.size());
    for (const si5346::RegisterCell& cell : cells) {
        addresses_.push_back(cell.address);
        values_.push_back(si5346::CellValue(cell, fields));
    }

    if (replace_input_a) p1 = Decimal(50);
    p2 = Decimal(a.achieved.ToDouble());
    p4 = Decimal(b.achieved.ToDouble());
    return PlanStatus::Planned;
}

namespace si5346 {

Fraction BestRationalApproximation(std::uint64_t numerator, std::uint64_t denominator, std::uint64_t max_denominator) {
    __extension__ typedef unsigned __int128 U128;
    if (denominator <= max_denominator) return {numerator, denominator};
    // Convergents p/q of the continued fraction; stop before q passes the limit.
    U128 p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    U128 n = numerator, d = denominator;
    while (d != 0) {
        const U128 a = n / d;
        const U128 q2 = q0 + a * q1;
        if (q2 > max_denominator) break;
        const U128 p2 = p0 + a * p1;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const U128 r = n - a * d;
        n = d;
        d = r;
    }
    if (d == 0) return {static_cast<std::uint64_t>(p1), static_cast<std::uint64_t>(q1)};
    // The last semiconvergent may lie closer than the last convergent.
    const U128 k = (max_denominator - q0) / q1;
    const U128 ps = p0 + k * p1, qs = q0 + k * q1;
    const Decimal target = Decimal(numerator) / Decimal(denominator);
    auto error = [&](U128 p, U128 q) {
        const Decimal e = Decimal(static_cast<std::uint64_t>(p)) / Decimal(static_cast<std::uint64_t>(q)) - target;
        return e < Decimal(0) ? Decimal(0) - e : e;
    };
    if (error(ps, qs) < error(p1, q1)) return {static_cast<std::uint64_t>(ps), static_cast<std::uint64_t>(qs)};
    return {static_cast<std::uint64_t>(p1), static_cast<std::uint64_t>(q1)};
}

}  // namespace si5346
