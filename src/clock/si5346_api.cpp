#include "zel_clock/si5346_plan.h"

#include "si5346_detail.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

constexpr std::int64_t window_low = 710;     // MHz, multisynth frequency
constexpr std::int64_t window_high = 1420;   // MHz
constexpr std::uint64_t oscillator = 14200;  // MHz
constexpr std::uint64_t multisynth_denominator = 0xA0000000;
constexpr std::uint64_t multisynth_numerator_mask = (std::uint64_t{1} << 44) - 1;
constexpr std::uint64_t feedback_unit = std::uint64_t{1} << 31;
constexpr std::int64_t max_output_divider_half = std::int64_t{1} << 24;  // code R/2-1 in 24 bits
constexpr std::int64_t max_input_divider = (std::int64_t{1} << 48) - 1;  // 6 bytes
constexpr std::uint64_t max_fitting_denominator = 2147483647;            // d * 2^1 <= 0xFFFFFFFF

constexpr std::uint8_t match_exact = 6;
constexpr std::uint8_t match_inexact = 2;

bool board_clears_select(int board) { return board == 7310 || board == 7320 || board == 7777; }

// Fixed notation with 9 decimals, then a trailing run of two or more zeros removed; a single
// trailing zero stays.
std::string fixed9_trimmed(double x) {
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.9f", x);
    std::string text(buffer);
    const auto last_non_zero = text.find_last_not_of('0');
    const std::size_t run = text.size() - (last_non_zero == std::string::npos ? 0 : last_non_zero + 1);
    if (run >= 2) text.resize(text.size() - run);
    return text;
}

}  // namespace

const char* to_string(PlanStatus status) noexcept {
    switch (status) {
        case PlanStatus::planned:
            return "planned";
        case PlanStatus::mode_not_planned:
            return "mode not planned (only modes 0, 1 and 2 are)";
        case PlanStatus::loop_a_failed:
            return "no output and input divider fit loop A";
        case PlanStatus::loop_b_failed:
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
    std::uint8_t match_code = match_inexact;
};

double SI5346_API::DecimalFraction(double x, double& denominator) {
    // Worked on the magnitude; a negative x gets its sign back on the numerator.
    const double magnitude = std::fabs(x);
    const std::string text = fixed9_trimmed(magnitude);
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
    if (status == PlanStatus::planned) {
        p1 = d1.to_double();
        p2 = d2.to_double();
        p3 = d3.to_double();
        p4 = d4.to_double();
    }
    return status;
}

bool SI5346_API::plan_loop(Loop& loop, const Decimal& input, const Decimal& requested, bool is_loop_a,
                           bool truncate_input_bounds) {
    if (!input.is_finite() || !requested.is_finite() || !(requested > Decimal(0))) return false;

    // Starting input divider: the first P from 1 up that lies inside the loop's bounds. The
    // bounds do not depend on R, so neither does P.
    const Decimal upper = input * Decimal(1000) / Decimal(8);
    const Decimal half = input / Decimal(2);
    std::int64_t p = 1;
    if (is_loop_a) {
        const std::int64_t low = half.to_int64(truncate_input_bounds);
        const std::int64_t high = upper.to_int64(truncate_input_bounds);
        p = std::max<std::int64_t>(1, low);
        if (p > high) return false;
    } else {
        if (half >= Decimal(1)) p = half.to_int64(true) + 1;
        if (p <= 0 || !(Decimal(p) < upper)) return false;
    }
    if (p > max_input_divider) return false;
    const Decimal phase_detector = input / Decimal(p);
    // The phase-detector part of the window does not change with R either.
    if (is_loop_a ? phase_detector.to_int64(true) < 1 : phase_detector <= Decimal(1)) return false;

    // Every R below the one reaching 710 fails the window's lower edge; start just below it.
    const std::int64_t reach = (Decimal(window_low / 2) / requested).to_int64(true);
    if (reach < 0 || reach > max_output_divider_half) return false;
    std::int64_t half_r = std::max<std::int64_t>(1, reach - 1);

    Decimal multisynth, ratio;
    for (;; ++half_r) {
        if (half_r > max_output_divider_half) return false;
        multisynth = Decimal(2 * half_r) * requested;
        // Past the upper edge (loop A: trunc(multisynth) > 1420) no larger R can pass.
        if (multisynth >= Decimal(is_loop_a ? window_high + 1 : window_high)) return false;
        const std::int64_t ms = multisynth.to_int64(true);
        ratio = multisynth / phase_detector;
        const std::int64_t t = ratio.to_int64(true);
        bool fails;
        if (is_loop_a) {
            fails = t > (ms * 1000) / 8 || t + 1 < ms / 2 || ms < window_low;
        } else {
            const auto ut = static_cast<std::uint64_t>(t);
            const auto ums = static_cast<std::uint64_t>(ms);
            fails = ut > (ums * 1000) / 8 || ut + 1 < ums / 2 || multisynth <= Decimal(window_low);
        }
        if (!fails) break;
    }

    loop.output_divider = 2 * half_r;
    loop.input_divider = p;
    loop.phase_detector = phase_detector;

    const Decimal billion(std::int64_t{1000000000});
    ratio = Decimal((ratio * billion).to_int64(true)) / billion;
    loop.ratio = ratio;

    loop.multisynth_numerator =
        static_cast<std::uint64_t>(
            (Decimal(oscillator) / multisynth * Decimal(multisynth_denominator)).to_int64(true)) &
        multisynth_numerator_mask;

    const Decimal trillion(std::int64_t{1000000000000});
    const std::int64_t whole = ratio.to_int64(true);
    const Decimal frac = ratio * trillion - Decimal(whole) * trillion;
    if (frac.to_int64(true) == 0) {
        loop.feedback_denominator = feedback_unit;
        loop.feedback_numerator = static_cast<std::uint64_t>(whole) * feedback_unit;
    } else {
        double d_double = 0;
        const double n_double = DecimalFraction(ratio.to_double(), d_double);
        std::uint64_t n = Decimal(n_double).to_uint64(true);
        std::uint64_t d = Decimal(d_double).to_uint64(true);
        if (d == 0 || d == 0x8000000000000000ULL) throw std::domain_error("DecimalFraction gave no usable denominator");
        if (d > max_fitting_denominator) {
            const si5346::Fraction near = si5346::best_rational_approximation(n, d, max_fitting_denominator);
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
    loop.match_code = loop.achieved == requested ? match_exact : match_inexact;
    return true;
}

PlanStatus SI5346_API::PlanClocks(Decimal& p1, Decimal& p2, Decimal& p3, Decimal& p4, int mode, int board_selector) {
    addresses_.clear();
    values_.clear();
    if (mode < 0 || mode > 2) return PlanStatus::mode_not_planned;

    const bool replace_input_a = mode == 0 && board_selector != 7777;
    const Decimal input_a = mode != 0 ? p3 : replace_input_a ? Decimal(50) : p1;
    Loop a, b;
    if (!plan_loop(a, input_a, p2, true, mode == 0)) return PlanStatus::loop_a_failed;
    // Mode 1 passes loop B's requested frequency through a double first.
    const Decimal requested_b = mode == 1 ? Decimal(p4.to_double()) : p4;
    if (!plan_loop(b, p3, requested_b, false, false)) return PlanStatus::loop_b_failed;

    using si5346::Field;
    si5346::FieldValues fields{};
    auto set = [&fields](Field f, std::uint64_t v) { fields[static_cast<std::size_t>(f)] = v; };
    set(Field::match_a, a.match_code);
    set(Field::match_b, b.match_code);
    set(Field::board_select, board_clears_select(board_selector) ? 0x00 : 0x04);
    set(Field::input_divider_a, static_cast<std::uint64_t>(a.input_divider));
    set(Field::input_divider_b, static_cast<std::uint64_t>(b.input_divider));
    set(Field::output_divider_a, static_cast<std::uint64_t>(a.output_divider / 2 - 1));
    set(Field::output_divider_b, static_cast<std::uint64_t>(b.output_divider / 2 - 1));
    set(Field::multisynth_numerator_a, a.multisynth_numerator);
    set(Field::multisynth_numerator_b, b.multisynth_numerator);
    set(Field::feedback_numerator_a, a.feedback_numerator);
    set(Field::feedback_numerator_b, b.feedback_numerator);
    set(Field::feedback_denominator_a, a.feedback_denominator);
    set(Field::feedback_denominator_b, b.feedback_denominator);

    const auto& cells = si5346::register_template(mode);
    addresses_.reserve(cells.size());
    values_.reserve(cells.size());
    for (const si5346::RegisterCell& cell : cells) {
        addresses_.push_back(cell.address);
        values_.push_back(si5346::cell_value(cell, fields));
    }

    if (replace_input_a) p1 = Decimal(50);
    p2 = Decimal(a.achieved.to_double());
    p4 = Decimal(b.achieved.to_double());
    return PlanStatus::planned;
}

namespace si5346 {

Fraction best_rational_approximation(std::uint64_t numerator, std::uint64_t denominator,
                                     std::uint64_t max_denominator) {
    __extension__ typedef unsigned __int128 u128;
    if (denominator <= max_denominator) return {numerator, denominator};
    // Convergents p/q of the continued fraction; stop before q passes the limit.
    u128 p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    u128 n = numerator, d = denominator;
    while (d != 0) {
        const u128 a = n / d;
        const u128 q2 = q0 + a * q1;
        if (q2 > max_denominator) break;
        const u128 p2 = p0 + a * p1;
        p0 = p1;
        q0 = q1;
        p1 = p2;
        q1 = q2;
        const u128 r = n - a * d;
        n = d;
        d = r;
    }
    if (d == 0) return {static_cast<std::uint64_t>(p1), static_cast<std::uint64_t>(q1)};
    // The last semiconvergent may lie closer than the last convergent.
    const u128 k = (max_denominator - q0) / q1;
    const u128 ps = p0 + k * p1, qs = q0 + k * q1;
    const Decimal target = Decimal(numerator) / Decimal(denominator);
    auto error = [&](u128 p, u128 q) {
        const Decimal e = Decimal(static_cast<std::uint64_t>(p)) / Decimal(static_cast<std::uint64_t>(q)) - target;
        return e < Decimal(0) ? Decimal(0) - e : e;
    };
    if (error(ps, qs) < error(p1, q1)) return {static_cast<std::uint64_t>(ps), static_cast<std::uint64_t>(qs)};
    return {static_cast<std::uint64_t>(p1), static_cast<std::uint64_t>(q1)};
}

}  // namespace si5346
