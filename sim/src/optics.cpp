#include "optics.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "mix.h"
#include "zelsim/factory.h"

namespace zelsim {

namespace {
constexpr int kTempWarmup = 150;  // a unit starts 1.5 degC below its settled temperature
}  // namespace

Optics::Optics(const UnitConfig& cfg) : rng_(Mix64(cfg.seed ^ 0x5EED5EED5EED5EEDull)) {
    quartic_ = BoardFactsOf(cfg.board_type).quartic;
    for (unsigned s = 0; s < kChannels; ++s) {
        const ChannelCalibration cal = FactoryCalibration(cfg, 0, s);
        std::copy(std::begin(cal.voa), std::end(cal.voa), curve_[s]);
        tap_[s] = cal.tap_uw_per_count;
        input_uw_[s] = std::max(0.0, cfg.input_power_uw[s]);
    }
    for (unsigned s = 0; s < kSelects; ++s) {
        // Settled temperatures between about 24.7 and 30.9 degC, a little warmer on higher selects.
        temp_base_[s] = 2500 + 35 * static_cast<int>(s) + static_cast<int>(Mix64(cfg.seed + s) % 61) - 30;
    }
}

double Optics::AttenuationDb(unsigned select, std::uint16_t code) const {
    if (select >= kChannels) return 0.0;
    return EvalVoaCurve(curve_[select], quartic_, code & 0x0FFF);
}

double Optics::TapFactorUwPerCount(unsigned select) const { return select < kChannels ? tap_[select] : 0.0; }

double Optics::OutputPowerUw(unsigned select, std::uint16_t code) const {
    if (select >= kChannels) return 0.0;
    return input_uw_[select] * std::pow(10.0, -AttenuationDb(select, code) / 10.0);
}

double Optics::IdealCounts(unsigned select, std::uint16_t code) const {
    if (select >= kChannels) return 0.0;
    return OutputPowerUw(select, code) / tap_[select];
}

std::uint16_t Optics::NoisyCounts(unsigned select, std::uint16_t code) {
    if (select >= kChannels) return 0;
    // 0.2 % gain noise plus about one count of detector noise.
    const double counts = IdealCounts(select, code) * (1.0 + 0.002 * NextGaussian()) + NextGaussian();
    return static_cast<std::uint16_t>(std::clamp(std::round(counts), 0.0, 65535.0));
}

void Optics::SetInputPowerUw(unsigned select, double microwatts) {
    if (select >= kChannels || !(microwatts >= 0.0)) return;
    input_uw_[select] = microwatts;
}

double Optics::InputPowerUw(unsigned select) const { return select < kChannels ? input_uw_[select] : 0.0; }

std::uint16_t Optics::FirstTemperature(unsigned select) const {
    return static_cast<std::uint16_t>(temp_base_[select] - kTempWarmup);
}

std::uint16_t Optics::NextTemperature(unsigned select, std::uint16_t now) {
    // Each read moves the sensor a little: a pull of 2 % towards the settled value
    // plus a random step of about 0.015 degC, kept within 10 degC of it.
    const int base = temp_base_[select];
    int next = now + static_cast<int>(std::lround(0.02 * (base - now) + 1.5 * NextGaussian()));
    next = std::clamp(next, base - 1000, base + 1000);
    return static_cast<std::uint16_t>(next);
}

double Optics::NextUniform() {
    rng_ = Mix64(rng_);
    return UnitInterval(rng_);
}

double Optics::NextGaussian() {
    // Irwin-Hall: the sum of 12 uniforms less 6 has mean 0 and variance 1.
    double sum = 0;
    for (int i = 0; i < 12; ++i) sum += NextUniform();
    return sum - 6.0;
}

}  // namespace zelsim
