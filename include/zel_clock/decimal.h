#pragma once
// Decimal: one IEEE 754-2008 decimal128 number in the binary integer decimal (BID) encoding.
//
// Every operation is one call into the Intel decimal floating-point library (libbidgcc000),
// which gets the process-wide rounding mode and status-flag word passed on each call. The thin
// operations (constructors from numbers, arithmetic, comparisons, tests and conversions to
// numbers) are defined here, inline, so that a caller pays for the library's call and nothing
// more: a call of its own around each would cost as much again as a decimal128 addition. The
// library's declarations come with this header, in the by-value configuration it was built in;
// text, records, parts and fields stay in decimal.cpp.
// Nothing here allocates except the conversion to text. Exceptional results (invalid,
// division by zero, overflow, underflow, inexact) are never thrown: they follow the
// decimal128 rules and are recorded only in Decimal::StatusFlags().
//
// Decisions for the cases the conversions leave open:
//  * Text of a value whose negative exponent reaches past the digits (+5E-3): the digits are
//    padded with zeros behind "0." (+0.005, +0.05 for +5E-2). When the point lands right
//    after the sign the text keeps the bare form (+.5 for +5E-1).
//  * ToRecord() of a value the 16-byte record cannot hold exactly: a positive exponent is
//    folded into the coefficient (12E+3 is stored as 12000 with scale 0); trailing zeros of a
//    wide coefficient are dropped while the exponent is negative (10^30 E-2 becomes 10^28).
//    Whatever still does not fit -- a coefficient beyond 96 bits, a scale beyond 31 (the
//    record constructor reads only five scale bits), an infinity or a NaN -- gives
//    std::nullopt instead of a record that would read back as another number.
//  * ToParts() of an infinity or NaN gives coefficient 0 and exponent 0; a coefficient
//    wider than 96 bits keeps its low 96 bits (the parts carry no more).

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

// The library build libbidgcc000: arguments by value, rounding mode and status flags passed on
// every call (no global rounding state, no global flag word inside the library). A translation
// unit that configured the library's header otherwise before including this one would call
// functions the archive does not have.
#if (defined(DECIMAL_CALL_BY_REFERENCE) && DECIMAL_CALL_BY_REFERENCE != 0) || \
    (defined(DECIMAL_GLOBAL_ROUNDING) && DECIMAL_GLOBAL_ROUNDING != 0) ||     \
    (defined(DECIMAL_GLOBAL_EXCEPTION_FLAGS) && DECIMAL_GLOBAL_EXCEPTION_FLAGS != 0)
#error "zel_clock/decimal.h needs the decimal library's by-value build (all three DECIMAL_ settings 0)"
#endif
#define DECIMAL_CALL_BY_REFERENCE 0
#define DECIMAL_GLOBAL_ROUNDING 0
#define DECIMAL_GLOBAL_EXCEPTION_FLAGS 0
extern "C" {
#include <bid_conf.h>
#include <bid_functions.h>
}

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
    enum class Kind : std::uint8_t { Finite, Infinity, QuietNaN, SignalingNaN };
    Kind kind = Kind::Finite;
    bool negative = false;
    std::uint64_t coefficient_high = 0;  // bits 64-112
    std::uint64_t coefficient_low = 0;   // bits 0-63
    std::int32_t exponent = 0;           // unbiased; 0 for infinities and NaNs
};

class Decimal {
public:
    // Status-flag bits, as the library reports them.
    static constexpr std::uint32_t kFlagInvalid = 0x01;
    static constexpr std::uint32_t kFlagDenormal = 0x02;
    static constexpr std::uint32_t kFlagDivisionByZero = 0x04;
    static constexpr std::uint32_t kFlagOverflow = 0x08;
    static constexpr std::uint32_t kFlagUnderflow = 0x10;
    static constexpr std::uint32_t kFlagInexact = 0x20;

    // Process-wide rounding mode (0: to nearest, ties to even) and the status-flag word that
    // every operation ORs its exceptions into. They are shared by every Decimal of every thread
    // and unlocked: two threads computing at once both write the flags (a data race, and the
    // flags of one thread's operation may show up in the other's reading), and a change of mode
    // would reach every thread's next operation. Nothing in the program changes the mode, no
    // operation reads the flags, and only single-threaded tests read or clear them; a caller that
    // wants to know whether its own computation was exact must run it alone, clearing the word
    // before and reading it after.
    static std::uint32_t& RoundingMode() noexcept { return rounding_mode_; }
    static std::uint32_t& StatusFlags() noexcept { return status_flags_; }

    // Leaves the value undefined; Decimal{} gives the all-zero encoding (+0E-6176).
    Decimal() noexcept = default;
    Decimal(const Decimal&) noexcept = default;
    Decimal& operator=(const Decimal&) noexcept = default;
    virtual ~Decimal();

    Decimal(std::int32_t v) noexcept : Decimal(Of(bid128_from_int32(v))) {}
    Decimal(std::uint32_t v) noexcept : Decimal(Of(bid128_from_uint32(v))) {}
    Decimal(std::int64_t v) noexcept : Decimal(Of(bid128_from_int64(v))) {}
    Decimal(std::uint64_t v) noexcept : Decimal(Of(bid128_from_uint64(v))) {}
    Decimal(float v) noexcept : Decimal(Of(binary32_to_bid128(v, Mode(), Flags()))) {}
    Decimal(double v) noexcept : Decimal(Of(binary64_to_bid128(v, Mode(), Flags()))) {}
    // Parses the text under the rounding mode; the string is consumed (left empty).
    explicit Decimal(std::string text);
    explicit Decimal(const DecimalRecord& record) noexcept;
    // coefficient (high:middle:low) * 10^exponent, negative when sign < 0.
    Decimal(std::uint32_t low, std::uint32_t middle, std::uint32_t high, std::int32_t exponent,
            std::int32_t sign) noexcept;
    explicit Decimal(const DecimalParts& parts) noexcept;

    static Decimal FromBits(std::uint64_t high, std::uint64_t low) noexcept {
        Decimal d;
        d.w_[0] = low;
        d.w_[1] = high;
        return d;
    }
    std::uint64_t HighBits() const noexcept { return w_[1]; }
    std::uint64_t LowBits() const noexcept { return w_[0]; }

    friend Decimal operator+(const Decimal& a, const Decimal& b) noexcept {
        return Of(bid128_add(a.Bits(), b.Bits(), Mode(), Flags()));
    }
    friend Decimal operator-(const Decimal& a, const Decimal& b) noexcept {
        return Of(bid128_sub(a.Bits(), b.Bits(), Mode(), Flags()));
    }
    friend Decimal operator*(const Decimal& a, const Decimal& b) noexcept {
        return Of(bid128_mul(a.Bits(), b.Bits(), Mode(), Flags()));
    }
    friend Decimal operator/(const Decimal& a, const Decimal& b) noexcept {
        return Of(bid128_div(a.Bits(), b.Bits(), Mode(), Flags()));
    }
    // IEEE remainder: a - b * n with n = a / b rounded to nearest, ties to even.
    static Decimal Remainder(const Decimal& a, const Decimal& b) noexcept {
        return Of(bid128_rem(a.Bits(), b.Bits(), Flags()));
    }

    Decimal& operator+=(const Decimal& b) noexcept { return *this = *this + b; }
    Decimal& operator-=(const Decimal& b) noexcept { return *this = *this - b; }
    Decimal& operator*=(const Decimal& b) noexcept { return *this = *this * b; }
    Decimal& operator/=(const Decimal& b) noexcept { return *this = *this / b; }
    Decimal& operator++() noexcept { return *this += Decimal(1); }
    Decimal& operator--() noexcept { return *this -= Decimal(1); }
    Decimal operator++(int) noexcept {
        const Decimal old = *this;
        ++*this;
        return old;
    }
    Decimal operator--(int) noexcept {
        const Decimal old = *this;
        --*this;
        return old;
    }

    // Each is the negation of the library's quiet test of the converse relation, so with a
    // NaN operand == is false and every other comparison is true.
    friend bool operator==(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_not_equal(a.Bits(), b.Bits(), Flags());
    }
    friend bool operator!=(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_equal(a.Bits(), b.Bits(), Flags());
    }
    friend bool operator<(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_less_equal(b.Bits(), a.Bits(), Flags());
    }
    friend bool operator<=(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_less(b.Bits(), a.Bits(), Flags());
    }
    friend bool operator>(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_greater_equal(b.Bits(), a.Bits(), Flags());
    }
    friend bool operator>=(const Decimal& a, const Decimal& b) noexcept {
        return !bid128_quiet_greater(b.Bits(), a.Bits(), Flags());
    }

    bool IsNaN() const noexcept { return bid128_isNaN(Bits()) != 0; }
    bool IsFinite() const noexcept { return bid128_isFinite(Bits()) != 0; }

    double ToDouble() const noexcept { return bid128_to_binary64(Bits(), Mode(), Flags()); }
    float ToFloat() const noexcept { return bid128_to_binary32(Bits(), Mode(), Flags()); }
    // truncate = true: toward zero; false: to nearest, halves away from zero. Out of range or
    // NaN gives the integer-indefinite value (sign bit only) and raises the invalid flag.
    std::int32_t ToInt32(bool truncate) const noexcept {
        return truncate ? bid128_to_int32_xint(Bits(), Flags()) : bid128_to_int32_xrninta(Bits(), Flags());
    }
    std::uint32_t ToUint32(bool truncate) const noexcept {
        return truncate ? bid128_to_uint32_xint(Bits(), Flags()) : bid128_to_uint32_xrninta(Bits(), Flags());
    }
    std::int64_t ToInt64(bool truncate) const noexcept {
        return truncate ? bid128_to_int64_xint(Bits(), Flags()) : bid128_to_int64_xrninta(Bits(), Flags());
    }
    std::uint64_t ToUint64(bool truncate) const noexcept {
        return truncate ? bid128_to_uint64_xint(Bits(), Flags()) : bid128_to_uint64_xrninta(Bits(), Flags());
    }

    DecimalFields Fields() const noexcept;
    DecimalParts ToParts() const noexcept;
    std::optional<DecimalRecord> ToRecord() const noexcept;
    // The library's scientific form (+12345E-2) with the exponent applied as a point (+123.45).
    std::string ToString() const;

private:
    // The value as the library takes it, and a library result as a Decimal.
    BID_UINT128 Bits() const noexcept {
        BID_UINT128 r;
        r.w[0] = w_[0];
        r.w[1] = w_[1];
        return r;
    }
    static Decimal Of(const BID_UINT128& v) noexcept { return FromBits(v.w[1], v.w[0]); }
    static _IDEC_round Mode() noexcept { return rounding_mode_; }
    static _IDEC_flags* Flags() noexcept { return &status_flags_; }

    static std::uint32_t rounding_mode_;
    static std::uint32_t status_flags_;

    alignas(16) std::uint64_t w_[2];  // BID encoding, low word first
};

std::ostream& operator<<(std::ostream& os, const Decimal& d);
