// The EEPROM record codecs on arbitrary bytes and doubles. Beyond the sanitizers: raw records
// keep every bit, a scaled record of a value it can hold reads back within its resolution, and
// the scaled encoding is the scaled integer's bytes, least significant first.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "instrument/record_codec.h"

namespace rec = zel::records;

namespace {

[[noreturn]] void Fail(const char* what, double x) {
    std::fprintf(stderr, "record codec: %s (%.17g)\n", what, x);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t at = 0; at + 8 <= size; at += 8) {
        rec::Bytes8 bytes;
        std::memcpy(bytes.data(), data + at, 8);
        const double scaled = rec::DecodeScaled(bytes);
        const double block = rec::DecodeScaledBlock(bytes.data());
        if (std::isnan(scaled) || std::isnan(block)) Fail("a scaled record decoded to NaN", scaled);

        double x;
        std::memcpy(&x, bytes.data(), sizeof x);
        const rec::Bytes8 raw = rec::EncodeRaw(x);
        if (raw != bytes) Fail("raw encoding is not the double's bytes", x);
        const double back = rec::DecodeRaw(raw);
        if (std::memcmp(&back, &x, sizeof x) != 0) Fail("raw record did not keep every bit", x);

        const rec::Bytes8 enc = rec::EncodeScaled(x);
        const std::uint64_t n = rec::ScaledInteger(x);
        for (int i = 0; i < 8; ++i) {
            if (enc[static_cast<std::size_t>(i)] != static_cast<std::uint8_t>(n >> (8 * i))) {
                Fail("scaled encoding is not the scaled integer, low byte first", x);
            }
        }
        // 0 <= x < 2^63 / 10^12 fits; truncation loses under 10^-12, the double reading a few ulps.
        if (x >= 0 && x < 9.2e6) {
            const double read = rec::DecodeScaled(enc);
            if (!(std::fabs(read - x) <= 1.5e-12 + 4e-16 * x)) Fail("scaled record read back wrong", x);
        }
        const auto group = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
        const auto number = static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8);
        if (rec::RecordAddress(group, number) % 8 != 0) Fail("record address not on an 8-byte boundary", x);
    }
    return 0;
}
