// Frame codec and the two EEPROM number encodings: nanoseconds per call. Every result is checked
// against the unit's side of the wire (the simulator's own field decoding and number readers).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "instrument/record_codec.h"
#include "measure.h"
#include "transport/frame_codec.h"
#include "zelsim/factory.h"

namespace {

namespace rec = zel::records;

// Values of the kind the EEPROM holds: board types, TAP factors (uW per count), losses in dB.
std::vector<double> RecordValues() {
    std::vector<double> xs;
    for (int i = 0; i < 64; ++i) xs.push_back(0.001 * (i + 1) + 0.37 * (i % 7) + 1.0 * (i % 9));
    return xs;
}

// The bytes of `value` as the unit stores them, through the simulator's writer.
rec::Bytes8 UnitBytes(double value, bool scaled) {
    std::vector<std::uint8_t> image(8);
    if (scaled)
        zelsim::PutScaled(image, 0, value);
    else
        zelsim::PutRaw(image, 0, value);
    rec::Bytes8 b{};
    std::memcpy(b.data(), image.data(), 8);
    return b;
}

// A scaled record keeps whole 10^-12 steps; the double accumulation adds a few ulps.
bool ScaledClose(double got, double want) { return std::fabs(got - want) <= 2e-12 + 4e-16 * std::fabs(want); }

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void BM_ControlWord(benchmark::State& state) {
    std::uint32_t i = 0;
    bool ok = true;
    for (auto _ : state) {
        const bool write = (i >> 15) & 1u;
        const auto select = static_cast<std::uint16_t>(i & 0xFu);
        const auto address = static_cast<std::uint16_t>((i >> 4) & 0x7FFu);
        std::uint16_t word = zel::frame::ControlWord(write, select, address);
        benchmark::DoNotOptimize(word);
        // Decoded the way the unit reads it: bit 15 write, bits 14..11 select, bits 10..0 address.
        ok &= ((word >> 15) != 0) == write && ((word >> 11) & 0xFu) == select && (word & 0x7FFu) == address;
        ++i;
    }
    if (!ok) state.SkipWithError("control word does not decode to its write flag, select and address");
}
BENCHMARK(BM_ControlWord);

void BM_EncodeScaled(benchmark::State& state) {
    const std::vector<double> xs = RecordValues();
    const auto out = zelbench::CallInTurn(state, xs, [](double x) { return rec::EncodeScaled(x); });
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::vector<std::uint8_t> image(out[k].begin(), out[k].end());
        if (!ScaledClose(zelsim::GetScaled(image, 0), xs[k])) return state.SkipWithError("unit reads another value");
    }
}
BENCHMARK(BM_EncodeScaled);

void BM_DecodeScaled(benchmark::State& state) {
    const std::vector<double> xs = RecordValues();
    std::vector<rec::Bytes8> in;
    for (double x : xs) in.push_back(UnitBytes(x, true));
    const auto out = zelbench::CallInTurn(state, in, [](const rec::Bytes8& b) { return rec::DecodeScaled(b); });
    for (std::size_t k = 0; k < out.size(); ++k)
        if (!ScaledClose(out[k], xs[k])) return state.SkipWithError("decoded record differs from the stored value");
}
BENCHMARK(BM_DecodeScaled);

void BM_EncodeRaw(benchmark::State& state) {
    const std::vector<double> xs = RecordValues();
    const auto out = zelbench::CallInTurn(state, xs, [](double x) { return rec::EncodeRaw(x); });
    for (std::size_t k = 0; k < out.size(); ++k)
        if (out[k] != UnitBytes(xs[k], false)) return state.SkipWithError("raw bytes differ from the unit's");
}
BENCHMARK(BM_EncodeRaw);

void BM_DecodeRaw(benchmark::State& state) {
    const std::vector<double> xs = RecordValues();
    std::vector<rec::Bytes8> in;
    for (double x : xs) in.push_back(UnitBytes(x, false));
    const auto out = zelbench::CallInTurn(state, in, [](const rec::Bytes8& b) { return rec::DecodeRaw(b); });
    for (std::size_t k = 0; k < out.size(); ++k)
        if (!SameBits(out[k], xs[k])) return state.SkipWithError("decoded double differs from the stored one");
}
BENCHMARK(BM_DecodeRaw);

}  // namespace
