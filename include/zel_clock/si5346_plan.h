#pragma once
// SI5346_API: frequency plan for an Si5346 clock synthesizer (two loops, A and B, each driving
// one output) rendered as the chip's ordered list of 378 register writes.
//
// All frequencies are in MHz; the chip's oscillator runs at 14200. Per loop the plan picks an
// even output divider R (2, 4, 6, ...) so that the multisynth frequency R x output lies in the
// window 710..1420, an input divider P giving the phase-detector frequency input / P, and the
// feedback ratio multisynth / phase detector, cut to 9 decimals and written as a fraction whose
// denominator fits in 32 bits. The class only computes; it never talks to a unit.
//
// Decisions the register list and the loop search leave to this class:
//  * The R search stops at the first R whose multisynth frequency is past the loop's upper
//    window edge (loop A tests the truncated multisynth frequency, so it stops once
//    trunc(R x output) > 1420; loop B once R x output >= 1420). Larger R only raise the
//    multisynth frequency further, so none of them could pass. The search also stops when
//    R would no longer fit the 24-bit output divider code, or when the requested frequency is
//    not a positive finite number, or when no input divider P exists for the loop's input.
//    Any of these is a failure: both lists stay empty, every parameter keeps its value and
//    PlanClocks returns PlanStatus::LoopAFailed or LoopBFailed.
//  * The search starts at the first R that can reach the lower window edge (R x output >=
//    710) instead of at 2. Every smaller R fails the lower edge, so the chosen R is the same;
//    a low output frequency no longer costs hundreds of thousands of idle steps.
//  * Match code (0x0112 for loop A, 0x0126 and 0x012B for loop B, modes 0 and 1): 6 when the
//    loop's feedback fraction reproduces the requested output frequency exactly, that is when
//    phase detector x feedback numerator / (R x feedback denominator) equals the requested
//    frequency in decimal arithmetic; 2 otherwise. Comparing the feedback ratio itself with
//    the output frequency would set 6 only by coincidence.
//  * A feedback denominator from DecimalFraction that cannot be scaled into 32 bits
//    (d > 2147483647; 9 decimals never produce one) is replaced by the best rational
//    approximation n'/d' of n/d with d' <= 2147483647 (continued fractions), and the shift
//    search runs on d'.
//  * DecimalFraction throws std::out_of_range when the integer part of x does not fit a
//    32-bit integer, instead of truncating it. A negative x is expressed through its
//    magnitude and the numerator negated (-2.5 gives -25 over 10); the text of a negative
//    number would otherwise count its sign as a digit. Ratios of a plan are always positive.
//  * An input divider P that does not fit its 48-bit register field fails the loop.

#include "zel_clock/decimal.h"

#include <cstdint>
#include <vector>

enum class PlanStatus {
    Planned,         // both lists hold the 378 pairs of the mode
    ModeNotPlanned,  // a mode other than 0, 1 or 2: nothing computed, not an error
    LoopAFailed,     // no output divider / input divider satisfies loop A
    LoopBFailed,     // no output divider / input divider satisfies loop B
};

const char* ToString(PlanStatus status) noexcept;

class SI5346_API {
public:
    SI5346_API() = default;
    ~SI5346_API() = default;
    SI5346_API(const SI5346_API&) = default;
    SI5346_API& operator=(const SI5346_API&) = default;

    // x as numerator / 10^k from its fixed-point text with 9 decimals (trailing zero runs
    // stripped): 433.333333333 gives 433333333333 over 10^9, 0.5 gives 5 over 10. An integral
    // x leaves no fractional digits and std::stod throws std::invalid_argument.
    virtual double DecimalFraction(double x, double& denominator);

    // Plans from doubles through PlanClocks; on success p2 and p4 return the achieved
    // frequencies and p1 returns 50 when mode 0 replaced it. On failure nothing changes.
    virtual PlanStatus PlanFromDoubles(double& p1, double& p2, double& p3, double& p4, int mode, int board_selector);

    // p1: input of loop A (mode 0 only; replaced by 50 unless the board selector is 7777).
    // p2: requested output A, achieved output A on return.
    // p3: input of both loops in modes 1 and 2, of loop B in mode 0.
    // p4: requested output B, achieved output B on return.
    // board_selector: used in mode 0 only (7310, 7320 and 7777 are special).
    virtual PlanStatus PlanClocks(Decimal& p1, Decimal& p2, Decimal& p3, Decimal& p4, int mode, int board_selector);

    // Register addresses and their values (0..255), entry i of one belonging to entry i of
    // the other, in the order they are to be written.
    const std::vector<std::uint16_t>& Addresses() const noexcept { return addresses_; }
    const std::vector<std::uint16_t>& Values() const noexcept { return values_; }

private:
    struct Loop;
    bool PlanLoop(Loop& loop, const Decimal& input, const Decimal& requested, bool is_loop_a,
                  bool truncate_input_bounds);

    std::vector<std::uint16_t> addresses_;
    std::vector<std::uint16_t> values_;
};
