// Optics, sensors and switches of the unit as a host sees them through frames.
#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "support.h"

using namespace simtest;
using zelsim::UnitConfig;
using zelsim::UnitModel;

namespace {

double MeanPower(UnitModel& unit, unsigned select, int reads = 10) {
    double sum = 0;
    for (int i = 0; i < reads; ++i) sum += Value(Ask(unit, RegisterRead(select, 36)));
    return sum / reads;
}

// The default slot's stored coefficients of one select, decoded from the image.
std::array<double, 4> StoredCurve(const Bytes& img, unsigned s) {
    const std::uint32_t a = 0x2000 + 80 + 32 * s;
    return {Raw(img, a), Raw(img, a + 8), Raw(img, a + 16), Raw(img, a + 24)};
}

double Db(const std::array<double, 4>& c, bool quartic, double x) {
    return quartic ? (((c[0] * x + c[1]) * x + c[2]) * x + c[3]) * x : ((c[0] * x + c[1]) * x + c[2]) * x + c[3];
}

TEST(Attenuator, MonotonicFromZeroBeyondThirtyAndMatchesStoredCalibration) {
    for (int type : {0, 4, 6}) {
        UnitConfig cfg;
        cfg.board_type = type;
        UnitModel unit(cfg);
        const Bytes img = unit.EepromImage();
        for (unsigned s = 0; s < 8; ++s) {
            SCOPED_TRACE("type " + std::to_string(type) + " select " + std::to_string(s));
            const auto stored = StoredCurve(img, s);
            EXPECT_EQ(unit.TrueAttenuationDb(s, 0), 0.0);
            EXPECT_GT(unit.TrueAttenuationDb(s, 4095), 30.0);
            double prev = -1;
            for (unsigned code = 0; code < 4096; ++code) {
                const double db = unit.TrueAttenuationDb(s, static_cast<std::uint16_t>(code));
                ASSERT_GT(db, prev) << "code " << code;
                ASSERT_NEAR(Db(stored, type == 4, code), db, 0.05) << "code " << code;
                prev = db;
            }
            // Codes above 12 bits act on their low 12 bits, as the register keeps them.
            EXPECT_EQ(unit.TrueAttenuationDb(s, 0xFFFF), unit.TrueAttenuationDb(s, 0x0FFF));
        }
    }
}

TEST(PowerMonitor, TenDecibelsGivesATenthAndTapFactorGivesMicrowatts) {
    UnitModel unit;
    const Bytes img = unit.EepromImage();
    for (unsigned s : {0u, 3u, 7u}) {
        SCOPED_TRACE(s);
        const double tap = Scaled(img, 0x2008 + 8 * s);  // factory TAP factor, uW per count
        Ask(unit, RegisterWrite(s, 37, 0));
        const double open = MeanPower(unit, s);
        EXPECT_NEAR(open * tap, 1000.0, 5.0);
        // The code for 10 dB from the stored defined values (j = 9).
        const unsigned code = img[0x2158 + 60 * s + 18] | img[0x2158 + 60 * s + 19] << 8;
        Ask(unit, RegisterWrite(s, 37, static_cast<std::uint16_t>(code)));
        const double ten = MeanPower(unit, s);
        EXPECT_NEAR(ten / open, 0.1, 0.003);
        EXPECT_NEAR(unit.OutputPowerUw(s), 100.0, 1.0);
    }
}

TEST(PowerMonitor, InputPowerNoiseAndSaturation) {
    UnitModel unit;
    unit.SetInputPower(2, 250.0);
    EXPECT_NEAR(MeanPower(unit, 2) / MeanPower(unit, 1), 0.25, 0.01);
    unit.SetInputPower(2, 5000.0);  // beyond the 16-bit range of the monitor
    EXPECT_EQ(Value(Ask(unit, RegisterRead(2, 36))), 65535);
    unit.SetInputPower(2, 0.0);
    EXPECT_LE(MeanPower(unit, 2), 3.0);
    unit.SetInputPower(2, -5.0);  // ignored
    EXPECT_EQ(unit.InputPower(2), 0.0);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(9, 36))), 0);  // no optics beyond select 7

    std::vector<std::uint16_t> readings;
    for (int i = 0; i < 50; ++i) readings.push_back(Value(Ask(unit, RegisterRead(1, 36))));
    std::sort(readings.begin(), readings.end());
    EXPECT_NE(readings.front(), readings.back());                         // there is noise
    EXPECT_LT(readings.back() - readings.front(), readings.back() / 50);  // but it is small
}

TEST(PowerMonitor, NoiseAndDriftAreDeterministicPerSeed) {
    auto sample = [](std::uint64_t seed) {
        UnitConfig cfg;
        cfg.seed = seed;
        UnitModel unit(cfg);
        std::vector<std::uint16_t> v;
        for (int i = 0; i < 20; ++i) {
            v.push_back(Value(Ask(unit, RegisterRead(i % 8, 36))));
            v.push_back(Value(Ask(unit, RegisterRead(i % 16, 16))));
        }
        return v;
    };
    EXPECT_EQ(sample(5), sample(5));
    EXPECT_NE(sample(5), sample(6));
}

TEST(TemperatureSensor, PlausibleSlowDrift) {
    UnitModel unit;
    for (unsigned s : {0u, 1u, 15u}) {
        SCOPED_TRACE(s);
        int prev = Value(Ask(unit, RegisterRead(s, 16)));
        int lo = prev, hi = prev;
        for (int i = 0; i < 500; ++i) {
            const int t = Value(Ask(unit, RegisterRead(s, 16)));
            ASSERT_LE(std::abs(t - prev), 10) << "a step above 0.1 degC";
            prev = t;
            lo = std::min(lo, t);
            hi = std::max(hi, t);
        }
        EXPECT_GT(lo, 1500);  // hundredths of a degree: between 15 and 40 degC
        EXPECT_LT(hi, 4000);
        EXPECT_GT(hi - lo, 20);  // it does move
        EXPECT_NEAR(unit.TemperatureC(s), prev / 100.0, 1e-9);
    }
}

TEST(Switches, PortCountsFollowTheBoardTypeInEeprom) {
    const unsigned expected[8] = {1, 1, 4, 4, 4, 4, 8, 8};
    for (int type = 0; type < 8; ++type) {
        UnitConfig cfg;
        cfg.board_type = type;
        UnitModel unit(cfg);
        EXPECT_EQ(unit.SwitchPorts(), expected[type]) << type;
        EXPECT_EQ(unit.BoardType(), type);
    }
    // A host that rewrites record 0 (3.9 as a scaled value) changes the port count.
    UnitModel unit;
    const std::uint64_t v = 3900000000000ull;
    for (std::uint32_t i = 0; i < 8; ++i) unit.SetEeprom(0x2000 + i, static_cast<std::uint8_t>(v >> (8 * i)));
    EXPECT_EQ(unit.BoardType(), 3);
    EXPECT_EQ(unit.SwitchPorts(), 4u);
}

}  // namespace
