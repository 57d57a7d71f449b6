#pragma once
// Internals of the Si5346 plan: the register template and the fraction helper.

#include <array>
#include <cstdint>
#include <vector>

namespace si5346 {

// Values computed by the plan that the register template places into its rows.
enum class Field : std::uint8_t {
    literal,                 // the cell's byte is the value itself
    match_a,                 // match code of loop A (6 or 2)
    match_b,                 // match code of loop B
    board_select,            // 0x00 for board selectors 7310, 7320 and 7777, else 0x04
    input_divider_a,         // P of loop A, 48 bits
    input_divider_b,         // P of loop B
    output_divider_a,        // output divider code R/2 - 1 of loop A, 24 bits
    output_divider_b,        // same for loop B
    multisynth_numerator_a,  // over the fixed denominator 0xA0000000, 44 bits
    multisynth_numerator_b,
    feedback_numerator_a,  // 56 bits
    feedback_numerator_b,
    feedback_denominator_a,  // 32 bits
    feedback_denominator_b,
};
inline constexpr std::size_t field_count = 14;

using FieldValues = std::array<std::uint64_t, field_count>;

// One register write of the template: a literal byte, or byte `byte` (least significant
// first) of a computed field.
struct RegisterCell {
    std::uint16_t address;
    Field field;
    std::uint8_t byte;
};

inline constexpr std::size_t register_count = 378;

// The 378 writes of mode 0, 1 or 2 in the order they are to be written.
const std::vector<RegisterCell>& register_template(int mode);

std::uint8_t cell_value(const RegisterCell& cell, const FieldValues& values) noexcept;

struct Fraction {
    std::uint64_t numerator;
    std::uint64_t denominator;
};

// The fraction closest to numerator / denominator whose denominator is at most
// max_denominator (continued fractions with the last semiconvergent).
Fraction best_rational_approximation(std::uint64_t numerator, std::uint64_t denominator, std::uint64_t max_denominator);

}  // namespace si5346
