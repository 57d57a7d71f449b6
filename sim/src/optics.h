// The optical side of the unit and its sensors: per channel the VOA curve and TAP factor at
// the default wavelength (slot 0) and the input power, the power detector's noise, and the
// temperature sensor of every select with its drift.
//
// Not locked: the model's mutex guards it. The curves and TAP factors are fixed when it is
// built and may be read without that mutex.
#pragma once

#include <cstdint>

#include "zelsim/model.h"

namespace zelsim {

class Optics {
public:
    explicit Optics(const UnitConfig& cfg);

    // Attenuation in dB of the VOA of `select` at `code` (taken modulo 4096); 0 off the channels.
    double AttenuationDb(unsigned select, std::uint16_t code) const;
    double TapFactorUwPerCount(unsigned select) const;  // 0 off the channels
    // Light leaving the channel with its VOA at `code`, and that power in detector counts.
    double OutputPowerUw(unsigned select, std::uint16_t code) const;
    double IdealCounts(unsigned select, std::uint16_t code) const;
    // One detector reading: the ideal counts with gain and detector noise, rounded and clamped.
    std::uint16_t NoisyCounts(unsigned select, std::uint16_t code);

    void SetInputPowerUw(unsigned select, double microwatts);  // ignores negative and NaN powers
    double InputPowerUw(unsigned select) const;

    // The temperature word (hundredths of a degree Celsius) at power-up, and the word one read
    // later when the sensor now shows `now`.
    std::uint16_t FirstTemperature(unsigned select) const;
    std::uint16_t NextTemperature(unsigned select, std::uint16_t now);

private:
    double NextUniform();  // [0, 1)
    double NextGaussian();

    double curve_[kChannels][4];  // polynomial coefficients, cubic or (board type 4) quartic
    double tap_[kChannels];
    bool quartic_ = false;
    double input_uw_[kChannels];
    int temp_base_[kSelects];  // settled temperature word of each select
    std::uint64_t rng_;
};

}  // namespace zelsim
