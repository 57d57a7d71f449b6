#include "calib_records.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace zelctl::calib {
namespace {

constexpr double kScale = 1e12;
constexpr double kTwo63 = 9223372036854775808.0;
// What a scaled record whose top bit is set reads as: INT64_MIN x 10^-12.
constexpr double kScaledFloor = -9223372.036854775808;

std::uint64_t GetLE64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void PutLE64(std::uint64_t v, std::uint8_t* p) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

double DecodeScaled(const std::uint8_t* p) {
    const std::uint64_t v = GetLE64(p);
    if (v >> 63 != 0) return kScaledFloor;
    return static_cast<double>(static_cast<std::int64_t>(v)) / kScale;
}

std::uint64_t EncodeScaled(double x) {
    if (x == kScaledFloor) return ~std::uint64_t{0};  // erased
    const double p = x * kScale;
    if (!(x >= 0.0) || !(p < kTwo63)) throw std::invalid_argument("outside 0 .. 9223372.036854");
    const auto nearest = std::min<std::uint64_t>(static_cast<std::uint64_t>(std::nearbyint(p)), INT64_MAX);
    // The product rounds; the stored integer is the one that reads back as x, where there is one.
    for (std::uint64_t n : {nearest, nearest - 1, nearest + 1}) {
        if (n <= static_cast<std::uint64_t>(INT64_MAX) &&
            static_cast<double>(static_cast<std::int64_t>(n)) / kScale == x)
            return n;
    }
    return nearest;
}

}  // namespace

const std::vector<ItemShape>& Items() {
    static const std::vector<ItemShape> items{
        {Item::Tap, ZEL_RECORD_TAP, "tap", "TAP factor (uW/count)", 1, true, Encoding::Scaled},
        {Item::Voa, ZEL_RECORD_VOA, "voa", "VOA coefficients c0..c3", 4, true, Encoding::Raw},
        {Item::Defined, ZEL_RECORD_DEFINED, "defined", "VOA defined values", 30, true, Encoding::Words},
        {Item::VoaLoss, ZEL_RECORD_VOA_LOSS, "voa_loss", "VOA insertion loss (dB)", 1, true, Encoding::Scaled},
        {Item::SwitchLoss, ZEL_RECORD_SWITCH_LOSS, "switch_loss", "4x1 switch insertion loss (dB)", 1, true,
         Encoding::Scaled},
        {Item::UserTx, ZEL_RECORD_USER_TX, "user_tx", "User TX calibration", 1, false, Encoding::Scaled},
        {Item::UserRx, ZEL_RECORD_USER_RX, "user_rx", "User RX calibration", 1, false, Encoding::Scaled},
    };
    return items;
}

std::vector<const ItemShape*> ItemsOf(bool per_slot) {
    std::vector<const ItemShape*> out;
    for (const auto& shape : Items()) {
        if (shape.per_slot == per_slot) out.push_back(&shape);
    }
    return out;
}

const ItemShape& ShapeOf(Item item) {
    for (const auto& s : Items()) {
        if (s.item == item) return s;
    }
    throw std::logic_error("unknown calibration item");
}

bool IsErased(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
}

std::vector<double> Decode(const ItemShape& shape, const Bytes& bytes) {
    if (bytes.size() != shape.Size()) throw std::invalid_argument("record of the wrong size");
    std::vector<double> out;
    for (std::size_t i = 0; i < shape.count; ++i) {
        switch (shape.encoding) {
            case Encoding::Scaled:
                out.push_back(DecodeScaled(&bytes[8 * i]));
                break;
            case Encoding::Raw: {
                const std::uint64_t bits = GetLE64(&bytes[8 * i]);
                double x;
                std::memcpy(&x, &bits, sizeof x);
                out.push_back(x);
                break;
            }
            case Encoding::Words:
                out.push_back(bytes[2 * i] | bytes[2 * i + 1] << 8);
                break;
        }
    }
    return out;
}

Bytes Encode(const ItemShape& shape, const std::vector<double>& values) {
    if (values.size() != shape.count)
        throw std::invalid_argument("expected " + std::to_string(shape.count) + " values");
    Bytes out(shape.Size());
    for (std::size_t i = 0; i < shape.count; ++i) {
        const double x = values[i];
        switch (shape.encoding) {
            case Encoding::Scaled:
                PutLE64(EncodeScaled(x), &out[8 * i]);
                break;
            case Encoding::Raw: {
                std::uint64_t bits;
                std::memcpy(&bits, &x, sizeof bits);
                PutLE64(bits, &out[8 * i]);
                break;
            }
            case Encoding::Words: {
                if (!(x >= 0 && x <= 0xFFFF && x == std::floor(x))) throw std::invalid_argument("not a whole 0..65535");
                const auto w = static_cast<std::uint16_t>(x);
                out[2 * i] = static_cast<std::uint8_t>(w);
                out[2 * i + 1] = static_cast<std::uint8_t>(w >> 8);
                break;
            }
        }
    }
    return out;
}

std::string Hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool FromHex(const std::string& text, Bytes& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    bytes = std::move(out);
    return true;
}

}  // namespace zelctl::calib
