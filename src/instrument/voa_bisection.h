// The search that turns an attenuation into a VOA drive code: a fixed-step bisection over the
// 12-bit code range of an increasing calibration curve.
#pragma once

#include <cmath>
#include <cstdint>

namespace zel::voa {

inline constexpr std::uint16_t kNoCode = 0xFFFF;
inline constexpr double kTolerance = 0.01;  // dB
inline constexpr int kIterations = 20;

// `curve(code)` is the attenuation in dB at a code (an int, possibly negative). The step halves
// from 2048 down to 1 and then stays 0; the first code whose attenuation lies within 0.01 dB of
// `target` is returned (as its 16-bit two's complement when negative), kNoCode after 20 tries.
// A difference that cannot be ordered (NaN) counts as a hit. A target of exactly 0 dB is code 0.
template <class Curve>
std::uint16_t BisectCode(const Curve& curve, double target) {
    if (target == 0.0) return 0;
    int code = 0;
    int step = 4096;
    double value = 0.0;
    for (int n = 1;; ++n) {
        step /= 2;
        code = value > target ? code - step : code + step;
        value = curve(code);
        if (!(std::fabs(value - target) >= kTolerance)) return static_cast<std::uint16_t>(code);
        if (n == kIterations) return kNoCode;
    }
}

}  // namespace zel::voa
