#include "zel_clock/decimal.h"

// The library build libbidgcc000: arguments by value, rounding mode and status flags passed
// on every call (no global rounding state, no global flag word inside the library).
#define DECIMAL_CALL_BY_REFERENCE 0
#define DECIMAL_GLOBAL_ROUNDING 0
#define DECIMAL_GLOBAL_EXCEPTION_FLAGS 0
extern "C" {
#include <bid_conf.h>
#include <bid_functions.h>
}

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <type_traits>

static_assert(sizeof(BID_UINT128) == 16 && alignof(BID_UINT128) == 16);
static_assert(alignof(Decimal) == 16);
static_assert(std::is_same_v<_IDEC_flags, std::uint32_t>);
static_assert(std::is_same_v<_IDEC_round, std::uint32_t>);

std::uint32_t Decimal::rounding_mode = 0;
std::uint32_t Decimal::status_flags = 0;

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr int exponent_bias = 6176;
constexpr int min_exponent = -6176;
constexpr int max_exponent = 6111;
constexpr std::uint64_t sign_bit = 0x8000000000000000ULL;
constexpr std::uint64_t coefficient_high_mask = 0x0001FFFFFFFFFFFFULL;  // 49 bits

// 10^34: the first coefficient a canonical decimal128 cannot hold.
constexpr u128 coefficient_limit = [] {
    u128 v = 1;
    for (int i = 0; i < 34; ++i) v *= 10;
    return v;
}();
constexpr u128 mask96 = (u128{1} << 96) - 1;

inline BID_UINT128 bid(const Decimal& d) noexcept {
    BID_UINT128 r;
    r.w[0] = d.low_bits();
    r.w[1] = d.high_bits();
    return r;
}

inline Decimal wrap(const BID_UINT128& v) noexcept { return Decimal::from_bits(v.w[1], v.w[0]); }

inline _IDEC_round mode() noexcept { return Decimal::rounding_mode; }
inline _IDEC_flags* flags() noexcept { return &Decimal::status_flags; }

// A finite value from sign, coefficient (< 10^34) and an exponent in range.
Decimal encode(bool negative, u128 coefficient, int exponent) noexcept {
    const auto biased = static_cast<std::uint64_t>(exponent + exponent_bias);
    const std::uint64_t high =
        (negative ? sign_bit : 0) | (biased << 49) | static_cast<std::uint64_t>(coefficient >> 64);
    return Decimal::from_bits(high, static_cast<std::uint64_t>(coefficient));
}

u128 coefficient_of(const DecimalFields& f) noexcept { return (u128{f.coefficient_high} << 64) | f.coefficient_low; }

}  // namespace

Decimal::~Decimal() = default;

Decimal Decimal::from_bits(std::uint64_t high, std::uint64_t low) noexcept {
    Decimal d;
    d.w_[0] = low;
    d.w_[1] = high;
    return d;
}

Decimal::Decimal(std::int32_t v) noexcept : Decimal(wrap(bid128_from_int32(v))) {}
Decimal::Decimal(std::uint32_t v) noexcept : Decimal(wrap(bid128_from_uint32(v))) {}
Decimal::Decimal(std::int64_t v) noexcept : Decimal(wrap(bid128_from_int64(v))) {}
Decimal::Decimal(std::uint64_t v) noexcept : Decimal(wrap(bid128_from_uint64(v))) {}
Decimal::Decimal(float v) noexcept : Decimal(wrap(binary32_to_bid128(v, mode(), flags()))) {}
Decimal::Decimal(double v) noexcept : Decimal(wrap(binary64_to_bid128(v, mode(), flags()))) {}

Decimal::Decimal(std::string text) {
    *this = wrap(bid128_from_string(text.data(), mode(), flags()));
    text.clear();
}

Decimal::Decimal(const DecimalRecord& record) noexcept {
    const auto& b = record.bytes;
    std::uint64_t low = 0;
    for (int i = 15; i >= 8; --i) low = (low << 8) | b[static_cast<std::size_t>(i)];
    std::uint32_t high = 0;
    for (int i = 7; i >= 4; --i) high = (high << 8) | b[static_cast<std::size_t>(i)];
    const u128 coefficient = (u128{high} << 64) | low;
    *this = encode((b[3] & 0x80) != 0, coefficient, -static_cast<int>(b[2] & 0x1F));
}

Decimal::Decimal(std::uint32_t low, std::uint32_t middle, std::uint32_t high, std::int32_t exponent,
                 std::int32_t sign) noexcept {
    const u128 coefficient = (u128{high} << 64) | (u128{middle} << 32) | low;
    if (exponent >= min_exponent && exponent <= max_exponent) {
        *this = encode(sign < 0, coefficient, exponent);
    } else {
        // Beyond the exponent range: let the library scale, round and raise the flags.
        const Decimal unscaled = encode(sign < 0, coefficient, 0);
        *this = wrap(bid128_scalbn(bid(unscaled), exponent, mode(), flags()));
    }
}

Decimal::Decimal(const DecimalParts& parts) noexcept
    : Decimal(parts.low, parts.middle, parts.high, parts.exponent, parts.sign) {}

Decimal operator+(const Decimal& a, const Decimal& b) noexcept {
    return wrap(bid128_add(bid(a), bid(b), mode(), flags()));
}
Decimal operator-(const Decimal& a, const Decimal& b) noexcept {
    return wrap(bid128_sub(bid(a), bid(b), mode(), flags()));
}
Decimal operator*(const Decimal& a, const Decimal& b) noexcept {
    return wrap(bid128_mul(bid(a), bid(b), mode(), flags()));
}
Decimal operator/(const Decimal& a, const Decimal& b) noexcept {
    return wrap(bid128_div(bid(a), bid(b), mode(), flags()));
}
Decimal Decimal::remainder(const Decimal& a, const Decimal& b) noexcept {
    return wrap(bid128_rem(bid(a), bid(b), flags()));
}

Decimal& Decimal::operator+=(const Decimal& b) noexcept { return *this = *this + b; }
Decimal& Decimal::operator-=(const Decimal& b) noexcept { return *this = *this - b; }
Decimal& Decimal::operator*=(const Decimal& b) noexcept { return *this = *this * b; }
Decimal& Decimal::operator/=(const Decimal& b) noexcept { return *this = *this / b; }
Decimal& Decimal::operator++() noexcept { return *this += Decimal(1); }
Decimal& Decimal::operator--() noexcept { return *this -= Decimal(1); }
Decimal Decimal::operator++(int) noexcept {
    const Decimal old = *this;
    ++*this;
    return old;
}
Decimal Decimal::operator--(int) noexcept {
    const Decimal old = *this;
    --*this;
    return old;
}

bool operator==(const Decimal& a, const Decimal& b) noexcept {
    return !bid128_quiet_not_equal(bid(a), bid(b), flags());
}
bool operator!=(const Decimal& a, const Decimal& b) noexcept { return !bid128_quiet_equal(bid(a), bid(b), flags()); }
bool operator<(const Decimal& a, const Decimal& b) noexcept {
    return !bid128_quiet_less_equal(bid(b), bid(a), flags());
}
bool operator<=(const Decimal& a, const Decimal& b) noexcept { return !bid128_quiet_less(bid(b), bid(a), flags()); }
bool operator>(const Decimal& a, const Decimal& b) noexcept {
    return !bid128_quiet_greater_equal(bid(b), bid(a), flags());
}
bool operator>=(const Decimal& a, const Decimal& b) noexcept { return !bid128_quiet_greater(bid(b), bid(a), flags()); }

bool Decimal::is_nan() const noexcept { return bid128_isNaN(bid(*this)) != 0; }
bool Decimal::is_finite() const noexcept { return bid128_isFinite(bid(*this)) != 0; }

double Decimal::to_double() const noexcept { return bid128_to_binary64(bid(*this), mode(), flags()); }
float Decimal::to_float() const noexcept { return bid128_to_binary32(bid(*this), mode(), flags()); }
std::int32_t Decimal::to_int32(bool truncate) const noexcept {
    return truncate ? bid128_to_int32_xint(bid(*this), flags()) : bid128_to_int32_xrninta(bid(*this), flags());
}
std::uint32_t Decimal::to_uint32(bool truncate) const noexcept {
    return truncate ? bid128_to_uint32_xint(bid(*this), flags()) : bid128_to_uint32_xrninta(bid(*this), flags());
}
std::int64_t Decimal::to_int64(bool truncate) const noexcept {
    return truncate ? bid128_to_int64_xint(bid(*this), flags()) : bid128_to_int64_xrninta(bid(*this), flags());
}
std::uint64_t Decimal::to_uint64(bool truncate) const noexcept {
    return truncate ? bid128_to_uint64_xint(bid(*this), flags()) : bid128_to_uint64_xrninta(bid(*this), flags());
}

DecimalFields Decimal::fields() const noexcept {
    DecimalFields f;
    const std::uint64_t high = w_[1];
    f.negative = (high & sign_bit) != 0;
    if ((high & 0x7C00000000000000ULL) == 0x7C00000000000000ULL) {
        f.kind = (high & 0x0200000000000000ULL) ? DecimalFields::Kind::signaling_nan : DecimalFields::Kind::quiet_nan;
        return f;
    }
    if ((high & 0x7800000000000000ULL) == 0x7800000000000000ULL) {
        f.kind = DecimalFields::Kind::infinity;
        return f;
    }
    if ((high & 0x6000000000000000ULL) == 0x6000000000000000ULL) {
        // The form with the implied leading bits: its coefficient is always at least 2^113,
        // beyond 10^34, so it is non-canonical and reads as zero.
        f.exponent = static_cast<std::int32_t>((high >> 47) & 0x3FFF) - exponent_bias;
        return f;
    }
    f.exponent = static_cast<std::int32_t>((high >> 49) & 0x3FFF) - exponent_bias;
    const u128 coefficient = (u128{high & coefficient_high_mask} << 64) | w_[0];
    if (coefficient < coefficient_limit) {
        f.coefficient_high = static_cast<std::uint64_t>(coefficient >> 64);
        f.coefficient_low = static_cast<std::uint64_t>(coefficient);
    }
    return f;
}

DecimalParts Decimal::to_parts() const noexcept {
    const DecimalFields f = fields();
    DecimalParts p;
    p.sign = f.negative ? -1 : 1;
    if (f.kind != DecimalFields::Kind::finite) return p;
    const u128 coefficient = coefficient_of(f);
    p.low = static_cast<std::uint32_t>(coefficient);
    p.middle = static_cast<std::uint32_t>(coefficient >> 32);
    p.high = static_cast<std::uint32_t>(coefficient >> 64);
    p.exponent = f.exponent;
    return p;
}

std::optional<DecimalRecord> Decimal::to_record() const noexcept {
    const DecimalFields f = fields();
    if (f.kind != DecimalFields::Kind::finite) return std::nullopt;
    u128 coefficient = coefficient_of(f);
    int exponent = f.exponent;
    if (coefficient == 0) exponent = std::clamp(exponent, -31, 0);
    // Fold a positive exponent into the coefficient while it stays within 96 bits.
    for (; exponent > 0; --exponent) {
        if (coefficient > mask96 / 10) return std::nullopt;
        coefficient *= 10;
    }
    // Drop trailing zeros that only widen the coefficient or the scale.
    while (exponent < 0 && coefficient % 10 == 0 && (coefficient > mask96 || exponent < -31)) {
        coefficient /= 10;
        ++exponent;
    }
    if (coefficient > mask96 || exponent < -31) return std::nullopt;

    DecimalRecord r;
    r.bytes[2] = static_cast<std::uint8_t>(-exponent);
    r.bytes[3] = f.negative ? 0x80 : 0x00;
    for (int i = 0; i < 4; ++i)
        r.bytes[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(coefficient >> (64 + 8 * i));
    for (int i = 0; i < 8; ++i)
        r.bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(coefficient >> (8 * i));
    return r;
}

std::string Decimal::to_string() const {
    char buffer[1024] = {};
    bid128_to_string(buffer, bid(*this), flags());
    std::string text(buffer);
    const auto e = text.find('E');
    if (e == std::string::npos) return text;  // infinities and NaNs
    const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
    text.resize(e);
    if (exponent >= 0) return text;
    const long point = static_cast<long>(text.size()) + exponent;
    if (point >= 1) {
        text.insert(static_cast<std::size_t>(point), 1, '.');
        return text;
    }
    // The point lies before the first digit: pad with zeros behind "0." (+5E-3 -> +0.005).
    const std::size_t digits_at = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    const long zeros = -exponent - static_cast<long>(text.size() - digits_at);
    text.insert(digits_at, "0." + std::string(static_cast<std::size_t>(zeros), '0'));
    return text;
}

std::ostream& operator<<(std::ostream& os, const Decimal& d) { return os << d.to_string(); }
