// The parts of Decimal that are more than one library call: text, records, parts and fields.
#include "zel_clock/decimal.h"

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <type_traits>

static_assert(sizeof(BID_UINT128) == 16 && alignof(BID_UINT128) == 16);
static_assert(alignof(Decimal) == 16);
static_assert(std::is_same_v<_IDEC_flags, std::uint32_t>);
static_assert(std::is_same_v<_IDEC_round, std::uint32_t>);

std::uint32_t Decimal::rounding_mode_ = 0;
std::uint32_t Decimal::status_flags_ = 0;

namespace {

__extension__ typedef unsigned __int128 U128;

constexpr int kExponentBias = 6176;
constexpr int kMinExponent = -6176;
constexpr int kMaxExponent = 6111;
constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;
constexpr std::uint64_t kCoefficientHighMask = 0x0001FFFFFFFFFFFFULL;  // 49 bits

// 10^34: the first coefficient a canonical decimal128 cannot hold.
constexpr U128 kCoefficientLimit = [] {
    U128 v = 1;
    for (int i = 0; i < 34; ++i) v *= 10;
    return v;
}();
constexpr U128 kMask96 = (U128{1} << 96) - 1;

// A finite value from sign, coefficient (< 10^34) and an exponent in range.
Decimal Encode(bool negative, U128 coefficient, int exponent) noexcept {
    const auto biased = static_cast<std::uint64_t>(exponent + kExponentBias);
    const std::uint64_t high =
        (negative ? kSignBit : 0) | (biased << 49) | static_cast<std::uint64_t>(coefficient >> 64);
    return Decimal::FromBits(high, static_cast<std::uint64_t>(coefficient));
}

U128 CoefficientOf(const DecimalFields& f) noexcept { return (U128{f.coefficient_high} << 64) | f.coefficient_low; }

}  // namespace

Decimal::~Decimal() = default;

Decimal::Decimal(std::string text) {
    *this = Of(bid128_from_string(text.data(), Mode(), Flags()));
    text.clear();
}

Decimal::Decimal(const DecimalRecord& record) noexcept {
    const auto& b = record.bytes;
    std::uint64_t low = 0;
    for (int i = 15; i >= 8; --i) low = (low << 8) | b[static_cast<std::size_t>(i)];
    std::uint32_t high = 0;
    for (int i = 7; i >= 4; --i) high = (high << 8) | b[static_cast<std::size_t>(i)];
    const U128 coefficient = (U128{high} << 64) | low;
    *this = Encode((b[3] & 0x80) != 0, coefficient, -static_cast<int>(b[2] & 0x1F));
}

Decimal::Decimal(std::uint32_t low, std::uint32_t middle, std::uint32_t high, std::int32_t exponent,
                 std::int32_t sign) noexcept {
    const U128 coefficient = (U128{high} << 64) | (U128{middle} << 32) | low;
    if (exponent >= kMinExponent && exponent <= kMaxExponent) {
        *this = Encode(sign < 0, coefficient, exponent);
    } else {
        // Beyond the exponent range: let the library scale, round and raise the flags.
        const Decimal unscaled = Encode(sign < 0, coefficient, 0);
        *this = Of(bid128_scalbn(unscaled.Bits(), exponent, Mode(), Flags()));
    }
}

Decimal::Decimal(const DecimalParts& parts) noexcept
    : Decimal(parts.low, parts.middle, parts.high, parts.exponent, parts.sign) {}

DecimalFields Decimal::Fields() const noexcept {
    DecimalFields f;
    const std::uint64_t high = w_[1];
    f.negative = (high & kSignBit) != 0;
    if ((high & 0x7C00000000000000ULL) == 0x7C00000000000000ULL) {
        f.kind = (high & 0x0200000000000000ULL) ? DecimalFields::Kind::SignalingNaN : DecimalFields::Kind::QuietNaN;
        return f;
    }
    if ((high & 0x7800000000000000ULL) == 0x7800000000000000ULL) {
        f.kind = DecimalFields::Kind::Infinity;
        return f;
    }
    if ((high & 0x6000000000000000ULL) == 0x6000000000000000ULL) {
        // The form with the implied leading bits: its coefficient is always at least 2^113,
        // beyond 10^34, so it is non-canonical and reads as zero.
        f.exponent = static_cast<std::int32_t>((high >> 47) & 0x3FFF) - kExponentBias;
        return f;
    }
    f.exponent = static_cast<std::int32_t>((high >> 49) & 0x3FFF) - kExponentBias;
    const U128 coefficient = (U128{high & kCoefficientHighMask} << 64) | w_[0];
    if (coefficient < kCoefficientLimit) {
        f.coefficient_high = static_cast<std::uint64_t>(coefficient >> 64);
        f.coefficient_low = static_cast<std::uint64_t>(coefficient);
    }
    return f;
}

DecimalParts Decimal::ToParts() const noexcept {
    const DecimalFields f = Fields();
    DecimalParts p;
    p.sign = f.negative ? -1 : 1;
    if (f.kind != DecimalFields::Kind::Finite) return p;
    const U128 coefficient = CoefficientOf(f);
    p.low = static_cast<std::uint32_t>(coefficient);
    p.middle = static_cast<std::uint32_t>(coefficient >> 32);
    p.high = static_cast<std::uint32_t>(coefficient >> 64);
    p.exponent = f.exponent;
    return p;
}

std::optional<DecimalRecord> Decimal::ToRecord() const noexcept {
    const DecimalFields f = Fields();
    if (f.kind != DecimalFields::Kind::Finite) return std::nullopt;
    U128 coefficient = CoefficientOf(f);
    int exponent = f.exponent;
    if (coefficient == 0) exponent = std::clamp(exponent, -31, 0);
    // Fold a positive exponent into the coefficient while it stays within 96 bits.
    for (; exponent > 0; --exponent) {
        if (coefficient > kMask96 / 10) return std::nullopt;
        coefficient *= 10;
    }
    // Drop trailing zeros that only widen the coefficient or the scale.
    while (exponent < 0 && coefficient % 10 == 0 && (coefficient > kMask96 || exponent < -31)) {
        coefficient /= 10;
        ++exponent;
    }
    if (coefficient > kMask96 || exponent < -31) return std::nullopt;

    DecimalRecord r;
    r.bytes[2] = static_cast<std::uint8_t>(-exponent);
    r.bytes[3] = f.negative ? 0x80 : 0x00;
    for (int i = 0; i < 4; ++i)
        r.bytes[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(coefficient >> (64 + 8 * i));
    for (int i = 0; i < 8; ++i)
        r.bytes[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(coefficient >> (8 * i));
    return r;
}

std::string Decimal::ToString() const {
    char buffer[1024] = {};
    bid128_to_string(buffer, Bits(), Flags());
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

std::ostream& operator<<(std::ostream& os, const Decimal& d) { return os << d.ToString(); }
