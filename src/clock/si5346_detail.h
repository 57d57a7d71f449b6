#pragma once
// Internals of the Si5346 plan: the register template and the fraction helper.

#include <array>
#include <cstdint>
#include <vector>

namespace si5346 {

// Values computed by the plan that the register template places into its rows.
enum class Field : std::uint8_t {
    Literal,               // the cell's byte is the value itself
    MatchA,                // match code of loop A (6 or 2)
    MatchB,                // match code of loop B
    BoardSelect,           // 0x00 for board selectors 7310, 7320 and 7777, else 0x04
    InputDividerA,         // P of loop A, 48 bits
    InputDividerB,         // P of loop B
    OutputDividerA,        // output divider code R/2 - 1 of loop A, 24 bits
    OutputDividerB,        // same for loop B
    MultisynthNumeratorA,  // over the fixed denominator 0xA0000000, 44 bits
    MultisynthNumeratorB,
    FeedbackNumeratorA,  // 56 bits
    FeedbackNumeratorB,
    FeedbackDenominatorA,  // 32 bits
    FeedbackDenominatorB,
};
inline constexpr std::size_t kFieldCount = 14;

using FieldValues = std::array<std::uint64_t, kFieldCount>;

// One register write of the template: a literal byte, or byte `byte` (least significant
// first) of a computed field.
struct RegisterCell {
    std::uint16_t address;
    Field field;
    std::uint8_t byte;
};

inline constexpr std::size_t kRegisterCount = 378;

// The 378 writes of mode 0, 1 or 2 in the order they are to be written.
const std::vector<RegisterCell>& RegisterTemplate(int mode);

std::uint8_t CellValue(const RegisterCell& cell, const FieldValues& values) noexcept;

struct Fraction {
    std::uint64_t numerator;
    std::uint64_t denominator;
};

// The fraction closest to numerator / denominator whose denominator is at most
// max_denominator (continued fractions with the last semiconvergent).
Fraction BestRationalApproximation(std::uint64_t numerator, std::uint64_t denominator, std::uint64_t max_denominator);

}  // namespace si5346
