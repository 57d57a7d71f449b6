#pragma once
// Decimal: one IEEE 754-2008 decimal128 number in the binary integer decimal (BID) encoding.
//
// Every operation is one call into the Intel decimal floating-point library (libbidgcc000),
// which gets the process-wide rounding mode and status-flag word passed on each call.
// Nothing here allocates except the conversion to text. Exceptional results (invalid,
// division by zero, overflow, underflow, inexact) are never thrown: they follow the
// decimal128 rules and are recorded only in Decimal::status_flags.
//
// Decisions for the cases the conversions leave open:
//  * Text of a value whose negative exponent reaches past the digits (+5E-3): the digits are
//    padded with zeros behind "0." (+0.005, +0.05 for +5E-2). When the point lands right
//    after the sign the text keeps the bare form (+.5 for +5E-1).
//  * to_record() of a value the 16-byte record cannot hold exactly: a positive exponent is
//    folded into the coefficient (12E+3 is stored as 12000 with scale 0); trailing zeros of a
//    wide coefficient are dropped while the exponent is negative (10^30 E-2 becomes 10^28).
//    Whatever still does not fit -- a coefficient beyond 96 bits, a scale beyond 31 (the
//    record constructor reads only five scale bits), an infinity or a NaN -- gives
//    std::nullopt instead of a record that would read back as another number.
//  * to_parts() of an infinity or NaN gives coefficient 0 and exponent 0; a coefficient
//    wider than 96 bits keeps its low 96 bits (the parts carry no more).

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

// The 16-byte scaled-integer record: bytes 0-1 zero, byte 2 scale (power-of-ten divisor),
// byte 3 sign in bit 7, bytes 4-7 coefficient bits 64-95, bytes 8-15 coefficient bits 0-63
// (least significant byte first). Value = (-1)^sign * coefficient / 10^scale.
struct DecimalRecord {
    std::array<std::uint8_t, 16> bytes{};
};

// A 96-bit coefficient in three 32-bit words, a power-of-ten exponent and a sign (-1 or +1).
struct DecimalParts {
    std::uint32_t low = 0;
    std::uint32_t middle = 0;
    std::uint32_t high = 0;
    std::int32_t exponent = 0;
    std::int32_t sign = 1;
};

// The encoding split into its fields, coefficient as a 113-bit number in two words.
struct DecimalFields {
    enum class Kind : std::uint8_t { finite, infinity, quiet_nan, signaling_nan };
    Kind kind = Kind::finite;
    bool negative = false;
    std::uint64_t coefficient_high = 0;  // bits 64-112
    std::uint64_t coefficient_low = 0;   // bits 0-63
    std::int32_t exponent = 0;           // unbiased; 0 for infinities and NaNs
};

class Decimal {
public:
    // Status-flag bits, as the library reports them.
    static constexpr std::uint32_t flag_invalid = 0x01;
    static constexpr std::uint32_t flag_denormal = 0x02;
    static constexpr std::uint32_t flag_division_by_zero = 0x04;
    static constexpr std::uint32_t flag_overflow = 0x08;
    static constexpr std::uint32_t flag_underflow = 0x10;
    static constexpr std::uint32_t flag_inexact = 0x20;

    // Process-wide rounding mode (0: to nearest, ties to even) and the status-flag word that
    // every operation ORs its exceptions into. They are shared by every Decimal of every thread
    // and unlocked: two threads computing at once both write status_flags (a data race, and the
    // flags of one thread's operation may show up in the other's reading), and a change of mode
    // would reach every thread's next operation. Nothing in the program changes the mode, no
    // operation reads the flags, and only single-threaded tests read or clear them; a caller that
    // wants to know whether its own computation was exact must run it alone, clearing the word
    // before and reading it after.
    static std::uint32_t rounding_mode;
    static std::uint32_t status_flags;

    // Leaves the value undefined; Decimal{} gives the all-zero encoding (+0E-6176).
    Decimal() noexcept = default;
    Decimal(const Decimal&) noexcept = default;
    Decimal& operator=(const Decimal&) noexcept = default;
    virtual ~Decimal();

    Decimal(std::int32_t v) noexcept;
    Decimal(std::uint32_t v) noexcept;
    Decimal(std::int64_t v) noexcept;
    Decimal(std::uint64_t v) noexcept;
    Decimal(float v) noexcept;
    Decimal(double v) noexcept;
    // Parses the text under the rounding mode; the string is consumed (left empty).
    explicit Decimal(std::string text);
    explicit Decimal(const DecimalRecord& record) noexcept;
    // coefficient (high:middle:low) * 10^exponent, negative when sign < 0.
    Decimal(std::uint32_t low, std::uint32_t middle, std::uint32_t high, std::int32_t exponent,
            std::int32_t sign) noexcept;
    explicit Decimal(const DecimalParts& parts) noexcept;

    static Decimal from_bits(std::uint64_t high, std::uint64_t low) noexcept;
    std::uint64_t high_bits() const noexcept { return w_[1]; }
    std::uint64_t low_bits() const noexcept { return w_[0]; }

    friend Decimal operator+(const Decimal& a, const Decimal& b) noexcept;
    friend Decimal operator-(const Decimal& a, const Decimal& b) noexcept;
    friend Decimal operator*(const Decimal& a, const Decimal& b) noexcept;
    friend Decimal operator/(const Decimal& a, const Decimal& b) noexcept;
    // IEEE remainder: a - b * n with n = a / b rounded to nearest, ties to even.
    static Decimal remainder(const Decimal& a, const Decimal& b) noexcept;

    Decimal& operator+=(const Decimal& b) noexcept;
    Decimal& operator-=(const Decimal& b) noexcept;
    Decimal& operator*=(const Decimal& b) noexcept;
    Decimal& operator/=(const Decimal& b) noexcept;
    Decimal& operator++() noexcept;
    Decimal& operator--() noexcept;
    Decimal operator++(int) noexcept;
    Decimal operator--(int) noexcept;

    // Each is the negation of the library's quiet test of the converse relation, so with a
    // NaN operand == is false and every other comparison is true.
    friend bool operator==(const Decimal& a, const Decimal& b) noexcept;
    friend bool operator!=(const Decimal& a, const Decimal& b) noexcept;
    friend bool operator<(const Decimal& a, const Decimal& b) noexcept;
    friend bool operator<=(const Decimal& a, const Decimal& b) noexcept;
    friend bool operator>(const Decimal& a, const Decimal& b) noexcept;
    friend bool operator>=(const Decimal& a, const Decimal& b) noexcept;

    bool is_nan() const noexcept;
    bool is_finite() const noexcept;

    double to_double() const noexcept;
    float to_float() const noexcept;
    // truncate = true: toward zero; false: to nearest, halves away from zero. Out of range or
    // NaN gives the integer-indefinite value (sign bit only) and raises the invalid flag.
    std::int32_t to_int32(bool truncate) const noexcept;
    std::uint32_t to_uint32(bool truncate) const noexcept;
    std::int64_t to_int64(bool truncate) const noexcept;
    std::uint64_t to_uint64(bool truncate) const noexcept;

    DecimalFields fields() const noexcept;
    DecimalParts to_parts() const noexcept;
    std::optional<DecimalRecord> to_record() const noexcept;
    // The library's scientific form (+12345E-2) with the exponent applied as a point (+123.45).
    std::string to_string() const;

private:
    alignas(16) std::uint64_t w_[2];  // BID encoding, low word first
};

std::ostream& operator<<(std::ostream& os, const Decimal& d);
