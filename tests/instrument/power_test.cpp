// Optical power: averaging ten readings, scaling by the TAP factor, the TAP calibration per
// wavelength slot, the user TX/RX calibration values, and a whole attenuate-and-measure round.
#include <chrono>
#include <limits>
#include <numeric>

#include "calibration_support.h"

namespace {

using caltest::kRegPower;
using zeltest::AddressOf;
using zeltest::IsWrite;
using zeltest::SelectOf;
using Clock = std::chrono::steady_clock;

std::vector<std::uint16_t> Readings(std::uint16_t first, int count, int step = 1) {
    std::vector<std::uint16_t> v;
    for (int i = 0; i < count; ++i) v.push_back(static_cast<std::uint16_t>(first + step * i));
    return v;
}

// Board type 6 with a second slot for 1550 nm; select 1 has a TAP factor of 0.002, select 4 none.
class PowerTest : public zeltest::UnitTest {
protected:
    PowerTest() : UnitTest(caltest::UnitOf(6, {1550})) {
        caltest::PutScaled(unit->model(), caltest::TapAddress(0, 1), 0.002);
        caltest::PutScaled(unit->model(), caltest::TapAddress(0, 4), 0.0);
    }

    // Checks that `count` reads of the power register on `select` and nothing else reached the unit.
    void ExpectPowerReads(unsigned select, std::size_t count) {
        const auto frames = unit->frames();
        EXPECT_EQ(frames.size(), count);
        for (const auto& f : frames) {
            EXPECT_EQ(AddressOf(f), kRegPower);
            EXPECT_FALSE(IsWrite(f));
            EXPECT_EQ(SelectOf(f), select);
        }
    }
};

TEST_F(PowerTest, TenReadingsAreAveragedAndScaledByTheTapFactor) {
    ConnectInstrument();
    ASSERT_EQ(inst.ActiveTAP(1), 0.002);
    auto& m = unit->model();
    m.ScriptReads(1, kRegPower, Readings(100, 10));
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    std::uint16_t raw = 0;
    const auto start = Clock::now();
    EXPECT_EQ(inst.ReadOpticalPower(1, &raw), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));  // 10 ms before every reading
    EXPECT_EQ(raw, 104);                                              // 1045 / 10, truncated
    EXPECT_EQ(inst.StatusField(), 1);
    ExpectPowerReads(1, 10);

    m.ScriptReads(1, kRegPower, Readings(100, 10));
    double power = 0;
    EXPECT_EQ(inst.ReadOpticalPower(1, &power), 1);
    EXPECT_NEAR(power, 0.209, 1e-15);  // 104.5 x 0.002: the fraction of the average is kept

    m.ScriptReads(1, kRegPower, std::vector<std::uint16_t>(10, 65535));  // the sum needs more than 16 bits
    EXPECT_EQ(inst.ReadOpticalPower(1, &raw), 1);
    EXPECT_EQ(raw, 65535);
    m.ScriptReads(1, kRegPower, Readings(60000, 10, 500));
    EXPECT_EQ(inst.ReadOpticalPower(1, &power), 1);
    EXPECT_NEAR(power, 62250 * 0.002, 1e-9);
}

TEST_F(PowerTest, ASampleAtFullScaleMakesTheCalibratedReadingALowerBound) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> samples;
        zel_error error;  // of the calibrated read; the raw form always succeeds
    };
    const std::vector<std::uint16_t> one_saturated{65534, 65534, 65534, 65534, 65535,
                                                   65534, 65534, 65534, 65534, 65534};
    const Case cases[] = {
        {"every sample at full scale", std::vector<std::uint16_t>(10, 65535), ZEL_ERR_OVER_RANGE},
        {"one sample at full scale", one_saturated, ZEL_ERR_OVER_RANGE},
        {"just below full scale", std::vector<std::uint16_t>(10, 65534), ZEL_OK},
        {"dark", std::vector<std::uint16_t>(10, 0), ZEL_OK},
    };
    ConnectInstrument();
    auto& m = unit->model();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double average = std::accumulate(c.samples.begin(), c.samples.end(), 0.0) / 10;
        m.ScriptReads(1, kRegPower, c.samples);
        inst.ClearLastError();
        double power = -1;
        EXPECT_EQ(inst.ReadOpticalPower(1, &power), c.error == ZEL_OK ? 1 : 0);
        EXPECT_EQ(inst.LastError(), c.error);
        EXPECT_EQ(inst.StatusField(), c.error == ZEL_OK ? 1 : 0);
        EXPECT_NEAR(power, average * 0.002, 1e-9);  // the figure is handed back either way
        m.ScriptReads(1, kRegPower, c.samples);
        inst.ClearLastError();
        std::uint16_t raw = 0;
        EXPECT_EQ(inst.ReadOpticalPower(1, &raw), 1);
        EXPECT_EQ(inst.LastError(), ZEL_OK);
        EXPECT_EQ(raw, static_cast<std::uint16_t>(average));
    }
}

TEST_F(PowerTest, ChannelWithoutTapFactorReadsZeroPowerWithSuccess) {
    ConnectInstrument();
    double power = -1;
    EXPECT_EQ(inst.ReadOpticalPower(4, &power), 1);
    EXPECT_EQ(power, 0.0);
    std::uint16_t raw = 0;
    EXPECT_EQ(inst.ReadOpticalPower(4, &raw), 1);
    EXPECT_GT(raw, 1000);  // light is there; only the factor is missing
}

TEST_F(PowerTest, ReadingStopsAtTheFirstFailureAndCountsTheWordItLeft) {
    zeltest::ShortenLinkTimeouts(300);
    ConnectInstrument();
    for (int form = 0; form < 2; ++form) {
        SCOPED_TRACE(form == 0 ? "raw" : "calibrated");
        unit->model().ScriptReads(1, kRegPower, {500, 600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400});
        caltest::PrimeStatusField(inst, 1);
        unit->clear_frames();
        // Only the third read fails; the unit would answer later ones. The failed read leaves the
        // word of the last reply (600), counted for it and the seven passes after it:
        // 500 + 600 + 8 x 600.
        caltest::OneFailedExchange fault(unit->server(), 2);
        if (form == 0) {
            std::uint16_t raw = 0;
            EXPECT_EQ(inst.ReadOpticalPower(1, &raw), 0);
            EXPECT_EQ(raw, 590);
        } else {
            double power = 0;
            EXPECT_EQ(inst.ReadOpticalPower(1, &power), 0);
            EXPECT_NEAR(power, 590.0 * 0.002, 1e-12);
        }
        EXPECT_EQ(inst.StatusField(), 0);
        ExpectPowerReads(1, 3);
        unit->model().ClearScripts();
    }
}

// ---- TAP calibration ----

TEST_F(PowerTest, TapWriteGoesToTheCurrentSlotAndUpdatesActiveAndCache) {
    ConnectInstrument();
    const double slot0 = inst.CachedTAP(0, 2);
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    EXPECT_EQ(inst.WriteTAPCalibration(2, 0.0375), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    const auto accesses = zeltest::EepromAccesses(unit->frames());
    EXPECT_EQ(caltest::EepromAddresses(unit->frames()), caltest::Consecutive(0x2818, 8));
    for (const auto& a : accesses) EXPECT_TRUE(a.write);
    EXPECT_EQ(caltest::GetBytes(unit->model(), 0x2818), zel::records::EncodeScaled(0.0375));
    EXPECT_EQ(inst.ActiveTAP(2), 0.0375);
    EXPECT_EQ(inst.CachedTAP(1, 2), 0.0375);
    EXPECT_EQ(inst.CachedTAP(0, 2), slot0);

    // Cached reads cost nothing on the link, leave the status field alone and set the active factor.
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    double factor = 0;
    EXPECT_EQ(inst.ReadTAPCalibration(2, &factor), 1);
    EXPECT_EQ(factor, 0.0375);
    ASSERT_EQ(inst.SetDefaultWavelength(), 1);
    EXPECT_EQ(inst.ActiveTAP(2), 0.0375);  // a change of slot alone does not reload it
    EXPECT_EQ(inst.ReadTAPCalibration(2, &factor), 1);
    EXPECT_EQ(factor, slot0);
    EXPECT_EQ(inst.ActiveTAP(2), slot0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(PowerTest, FailedTapWriteChangesTheActiveFactorButNotTheCache) {
    ConnectInstrument();
    const double before = inst.CachedTAP(0, 5);
    ASSERT_NE(before, 0.5);
    unit->server().SetFaults({.kind = zelsim::Fault::Close});
    EXPECT_EQ(inst.WriteTAPCalibration(5, 0.5), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(inst.ActiveTAP(5), 0.5);
    EXPECT_EQ(inst.CachedTAP(0, 5), before);
}

TEST_F(PowerTest, CalibratedReadUsesTheActiveFactorEvenAfterAFailedWrite) {
    ConnectInstrument();
    unit->model().SetRegister(5, caltest::kRegVOA, 1000);
    std::uint16_t code = 0;
    ASSERT_EQ(inst.ReadVOAAttenuation(5, &code), 1);  // the last reply now carries 1000
    unit->server().SetFaults({.kind = zelsim::Fault::Close});
    EXPECT_EQ(inst.WriteTAPCalibration(5, 0.5), 0);
    // Every power read fails on the closed link and counts the last reply's word ten times.
    double power = 0;
    EXPECT_EQ(inst.ReadOpticalPower(5, &power), 0);
    EXPECT_EQ(power, 1000 * 0.5);
}

TEST_F(PowerTest, ErasedTapFactorIsNoCalibration) {
    // Slot 1 (1550 nm): select 1's TAP factor erased, select 2's calibrated.
    caltest::PutBytes(unit->model(), caltest::TapAddress(1, 1), caltest::kErasedRecord);
    caltest::PutScaled(unit->model(), caltest::TapAddress(1, 2), 0.004);
    ConnectInstrument();
    EXPECT_TRUE(inst.CachedTAPUncalibrated(1, 1));
    EXPECT_FALSE(inst.CachedTAPUncalibrated(0, 1));
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    ASSERT_EQ(inst.LoadCalibrations(), 1);
    caltest::PrimeStatusField(inst, 1);
    unit->clear_frames();
    double power = -1;
    inst.ClearLastError();
    EXPECT_EQ(inst.ReadOpticalPower(1, &power), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_EQ(power, -1);
    EXPECT_TRUE(unit->frames().empty());
    // The count itself is no calibration and still reads; so does a calibrated channel.
    std::uint16_t raw = 0;
    EXPECT_EQ(inst.ReadOpticalPower(1, &raw), 1);
    ExpectPowerReads(1, 10);
    unit->model().ScriptReads(2, kRegPower, std::vector<std::uint16_t>(10, 250));
    EXPECT_EQ(inst.ReadOpticalPower(2, &power), 1);
    EXPECT_NEAR(power, 1.0, 1e-12);
}

TEST_F(PowerTest, TapFactorFromAFailedReadIsNoCalibration) {
    zeltest::ShortenLinkTimeouts(300);
    {
        // Slot 0's first block fails at connect: the factors come from the records from now on.
        caltest::OneFailedExchange fault(unit->server(), 17);
        ASSERT_EQ(inst.Connect(unit->ip()), 0);
    }
    ASSERT_EQ(inst.CacheValid(), 0);
    double factor = 0;
    ASSERT_EQ(inst.ReadTAPCalibration(1, &factor), 1);
    ASSERT_FALSE(inst.ActiveTAPUncalibrated(1));
    {
        caltest::OneFailedExchange fault(unit->server(), 1);  // the data read of the factor's first byte
        EXPECT_EQ(inst.ReadTAPCalibration(1, &factor), 0);
    }
    EXPECT_TRUE(inst.ActiveTAPUncalibrated(1));
    unit->clear_frames();
    double power = -1;
    inst.ClearLastError();
    EXPECT_EQ(inst.ReadOpticalPower(1, &power), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_TRUE(unit->frames().empty());
    ASSERT_EQ(inst.ReadTAPCalibration(1, &factor), 1);
    EXPECT_EQ(factor, 0.002);
    EXPECT_EQ(inst.ReadOpticalPower(1, &power), 1);
}

TEST_F(PowerTest, TapFactorTheRecordCannotHoldIsRefusedAndNotTaken) {
    ConnectInstrument();
    const double before = inst.ActiveTAP(1);
    caltest::PrimeStatusField(inst, 1);
    unit->clear_frames();
    for (double factor : {-0.002, std::numeric_limits<double>::quiet_NaN(), 1e7}) {
        inst.ClearLastError();
        EXPECT_EQ(inst.WriteTAPCalibration(1, factor), 0) << factor;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << factor;
        EXPECT_EQ(inst.ActiveTAP(1), before) << factor;
        EXPECT_EQ(inst.CachedTAP(0, 1), before) << factor;
    }
    EXPECT_EQ(inst.StatusField(), 0);  // recorded as the other scaled records' refusals are
    EXPECT_EQ(inst.WriteUserRXCalibration(1, -0.125), 0);
    EXPECT_TRUE(unit->frames().empty());
}

// ---- user TX/RX calibration ----

TEST_F(PowerTest, UserCalibrationLivesAtFixedAddressesWhateverTheSlot) {
    ConnectInstrument();
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    EXPECT_EQ(inst.WriteUserTXCalibration(3, 2.5), 1);
    EXPECT_EQ(caltest::EepromAddresses(unit->frames()), caltest::Consecutive(0x5018, 8));
    unit->clear_frames();
    EXPECT_EQ(inst.WriteUserRXCalibration(3, 0.125), 1);
    EXPECT_EQ(caltest::EepromAddresses(unit->frames()), caltest::Consecutive(0x5118, 8));
    EXPECT_EQ(caltest::GetBytes(unit->model(), 0x5018), zel::records::EncodeScaled(2.5));
    EXPECT_EQ(caltest::GetBytes(unit->model(), 0x5118), zel::records::EncodeScaled(0.125));

    caltest::PutScaled(unit->model(), 0x5000 + 8 * 6, 7.75);
    caltest::PutScaled(unit->model(), 0x5100 + 8 * 6, 0.0625);
    double tx = 0, rx = 0;
    EXPECT_EQ(inst.ReadUserTXCalibration(6, &tx), 1);
    EXPECT_EQ(inst.ReadUserRXCalibration(6, &rx), 1);
    EXPECT_EQ(tx, 7.75);
    EXPECT_EQ(rx, 0.0625);
    EXPECT_EQ(inst.StatusField(), 0);  // none of the four touches the status field
}

// ---- against the unit's physics ----

class PowerRoundTrip : public zeltest::UnitTest, public ::testing::WithParamInterface<int> {
protected:
    PowerRoundTrip() : UnitTest(caltest::UnitOf(GetParam())) {}
};

TEST_P(PowerRoundTrip, TenDecibelsLeaveATenthOfThePower) {
    ConnectInstrument();
    const std::uint16_t channel = 3;
    ASSERT_EQ(inst.SetVOAAttenuation(channel, std::int32_t{0}), 1);
    double open = 0;
    ASSERT_EQ(inst.ReadOpticalPower(channel, &open), 1);
    EXPECT_NEAR(open, unit->model().InputPower(3), 0.02 * unit->model().InputPower(3));  // microwatts

    ASSERT_EQ(inst.SetVOAAttenuation(channel, 10.0), 1);
    const std::uint16_t code = unit->model().Register(3, caltest::kRegVOA);
    EXPECT_NEAR(unit->model().TrueAttenuationDb(3, code), 10.0, 0.06);
    double db = 0;
    EXPECT_EQ(inst.ReadVOAAttenuation(channel, &db), 1);
    EXPECT_NEAR(db, 10.0, 0.01);
    double attenuated = 0;
    ASSERT_EQ(inst.ReadOpticalPower(channel, &attenuated), 1);
    EXPECT_NEAR(attenuated / open, 0.1, 0.003);
}

INSTANTIATE_TEST_SUITE_P(CubicAndQuartic, PowerRoundTrip, ::testing::Values(6, 4));

}  // namespace
