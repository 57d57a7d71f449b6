#include "instrument/record_codec.h"

#include <cmath>
#include <cstring>

#include "transport/frame_codec.h"

namespace zel::records {

namespace {
constexpr double kScale = 1e12;
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;
constexpr std::uint64_t kBit63 = 0x8000000000000000ull;

Bytes8 ToBytes(std::uint64_t v) {
    Bytes8 b{};
    codec::PutLE64(b.data(), v);
    return b;
}
}  // namespace

std::uint16_t RecordAddress(std::uint16_t group, std::uint16_t number) {
    return static_cast<std::uint16_t>((96u * group + number + 1024u) * 8u);
}

std::uint64_t ScaledInteger(double x) {
    const double p = x * kScale;
    if (std::isnan(p) || p >= kTwo64 || p < -kTwo63) return kBit63;
    if (p >= kTwo63) return static_cast<std::uint64_t>(p - kTwo63) | kBit63;
    if (p < 0) return static_cast<std::uint64_t>(static_cast<std::int64_t>(p));
    return static_cast<std::uint64_t>(p);
}

Bytes8 EncodeScaled(double x) { return ToBytes(ScaledInteger(x)); }

bool ScaledCanHold(double x) {
    // NaN fails both comparisons; an infinite product fails the second.
    return x >= 0.0 && x * kScale < kTwo63;
}

double DecodeScaled(const Bytes8& bytes) {
    std::int64_t s = 0;
    for (int i = 0; i < 8; ++i) {
        const double t = std::ldexp(static_cast<double>(bytes[i]), 8 * i) + static_cast<double>(s);
        s = t >= kTwo63 ? INT64_MIN : static_cast<std::int64_t>(t);
    }
    return static_cast<double>(s) / kScale;
}

double DecodeScaledBlock(const std::uint8_t* bytes) { return static_cast<double>(codec::GetLE64(bytes)) / kScale; }

bool IsErased(const std::uint8_t* bytes) {
    for (int i = 0; i < 8; ++i)
        if (bytes[i] != 0xFF) return false;
    return true;
}

Bytes8 EncodeRaw(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return ToBytes(bits);
}

double DecodeRaw(const std::uint8_t* bytes) {
    const std::uint64_t bits = codec::GetLE64(bytes);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

}  // namespace zel::records
