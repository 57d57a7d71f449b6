// VOA attenuation: the bisection from dB to drive code, setting and reading the attenuator in dB and
// as a code, and the per-slot VOA calibration, defined values and insertion loss in the EEPROM.
#include <chrono>
#include <cmath>
#include <limits>

#include "calibration_support.h"
#include "register_checks.h"
#include "instrument/voa_bisection.h"

namespace {

using caltest::kRegVOA;
using zeltest::AddressOf;
using zeltest::IsWrite;
using zeltest::SelectOf;
using zeltest::ValueOf;
using Coefficients = std::array<double, 4>;
using Clock = std::chrono::steady_clock;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Coefficients kLinear = {0, 0, 0.01, 0};  // cubic form: A(x) = x / 100

// ---- the bisection on its own ----

struct Probes {
    std::vector<int> codes;
    std::uint16_t result = 0;
};
Probes Bisect(double target, double (*curve)(int)) {
    Probes p;
    p.result = zel::voa::BisectCode(
        [&](int code) {
            p.codes.push_back(code);
            return curve(code);
        },
        target);
    return p;
}
double Hundredth(int code) { return code / 100.0; }

TEST(VoaBisection, HalvesTheStepTowardsTheTarget) {
    Probes p = Bisect(10.0, Hundredth);
    EXPECT_EQ(p.codes, (std::vector<int>{2048, 1024, 512, 768, 896, 960, 992, 1008, 1000}));
    EXPECT_EQ(p.result, 1000);

    p = Bisect(25.0, Hundredth);
    EXPECT_EQ(p.codes.size(), 10u);
    EXPECT_EQ(p.result, 2500);

    p = Bisect(40.96, Hundredth);  // the top code is reached with the last non-zero step
    EXPECT_EQ(p.codes.size(), 12u);
    EXPECT_EQ(p.result, 4095);
}

TEST(VoaBisection, GivesUpAfterTwentyProbes) {
    Probes p = Bisect(41.0, Hundredth);
    EXPECT_EQ(p.result, zel::voa::kNoCode);
    ASSERT_EQ(p.codes.size(), 20u);
    // From the twelfth probe on the step is 0: the search stands still at the top code.
    for (std::size_t i = 11; i < p.codes.size(); ++i) EXPECT_EQ(p.codes[i], 4095) << i;
}

TEST(VoaBisection, ZeroTargetNotANumberAndNegativeCodes) {
    Probes p = Bisect(0.0, Hundredth);
    EXPECT_TRUE(p.codes.empty());
    EXPECT_EQ(p.result, 0);

    // A comparison that cannot be ordered counts as a hit: the first probe is taken.
    p = Bisect(10.0, [](int) { return std::numeric_limits<double>::quiet_NaN(); });
    EXPECT_EQ(p.codes, std::vector<int>{2048});
    EXPECT_EQ(p.result, 2048);
    p = Bisect(kNaN, Hundredth);
    EXPECT_EQ(p.result, 2048);

    // Below the curve's start the search walks into negative codes, returned in two's complement.
    p = Bisect(-10.0, Hundredth);
    EXPECT_EQ(p.codes.front(), -2048);
    EXPECT_EQ(p.result, static_cast<std::uint16_t>(-1000));
}

// ---- the instrument's inverse with the board type's polynomial ----

std::uint16_t Invert(ZEL_API& inst, const Coefficients& c, double target) {
    return inst.InvertVOACalibration(c[0], c[1], c[2], c[3], target);
}

TEST(VoaCalibrationCurve, CubicFormOnOrdinaryBoards) {
    ZEL_API inst;
    inst.AdoptBoardType(6);
    EXPECT_EQ(Invert(inst, kLinear, 10.0), 1000);
    EXPECT_EQ(Invert(inst, kLinear, 25.0), 2500);
    EXPECT_EQ(Invert(inst, kLinear, 41.0), 0xFFFF);
    EXPECT_EQ(Invert(inst, {1e-9, 0, 0, 0}, 8.0), 2000);     // the cube term leads: 1e-9 * 2000^3
    EXPECT_EQ(Invert(inst, {0, 0, 0.01, 5.0}, 15.0), 1000);  // c3 is the constant term
}

TEST(VoaCalibrationCurve, AllZeroCoefficientsFindNoCode) {
    ZEL_API inst;
    inst.AdoptBoardType(0);
    const Coefficients zero{};
    for (double t : {0.01, 0.5, 12.5, 30.0}) EXPECT_EQ(Invert(inst, zero, t), 0xFFFF) << t;
    // 0 dB is already within 0.01 dB of a target below 0.01 dB at the first probe.
    EXPECT_EQ(Invert(inst, zero, 0.005), 2048);
    EXPECT_EQ(Invert(inst, zero, 0.0), 0);
}

TEST(VoaCalibrationCurve, QuarticFormOnBoardTypeFour) {
    ZEL_API inst;
    inst.AdoptBoardType(4);
    EXPECT_EQ(Invert(inst, {0, 0, 0, 0.01}, 10.0), 1000);   // no constant term: c3 multiplies x
    EXPECT_EQ(Invert(inst, {1e-12, 0, 0, 0}, 16.0), 2000);  // c0 multiplies x^4
    EXPECT_EQ(Invert(inst, kLinear, 10.0), 0xFFFF);         // 0.01 x^2 misses 10 dB by more than 0.01 at every code
    // The form follows the board type at the moment of evaluation.
    inst.AdoptBoardType(5);
    EXPECT_EQ(Invert(inst, kLinear, 10.0), 1000);
    EXPECT_DOUBLE_EQ(inst.Attenuation(kLinear.data(), 1000), 10.0);
    inst.AdoptBoardType(4);
    EXPECT_DOUBLE_EQ(inst.Attenuation(kLinear.data(), 1000), 10000.0);
}

// ---- against a unit ----

// Board type 6 (eight channels, select = channel) with calibrations the tests control in slot 0,
// and a second slot for 1550 nm.
class VoaTest : public zeltest::UnitTest {
protected:
    VoaTest() : UnitTest(caltest::UnitOf(6, {1550})) {
        auto& m = unit->model();
        caltest::PutChannelCalibration(m, 0, 2, 0.025, kLinear);
        caltest::PutChannelCalibration(m, 0, 5, 0.025, {0, 0, 0, 0});
        caltest::PutChannelCalibration(m, 0, 6, 0.025, {0, 0, 0.01, 5.0});
    }

    // The VOA register writes that reached the unit.
    std::vector<zelsim::Frame> VoaWrites() {
        std::vector<zelsim::Frame> out;
        for (const auto& f : caltest::RegisterFrames(unit->frames(), kRegVOA))
            if (IsWrite(f)) out.push_back(f);
        return out;
    }
    // Sets an attenuation and returns the single code the unit received for it.
    std::uint16_t CodeSentFor(std::uint16_t channel, double db, std::uint8_t expected_result) {
        unit->clear_frames();
        EXPECT_EQ(inst.SetVOAAttenuation(channel, db), expected_result) << db;
        auto writes = VoaWrites();
        EXPECT_EQ(unit->frames().size(), 1u) << db;
        if (writes.size() != 1) return 0xBEEF;
        EXPECT_EQ(SelectOf(writes[0]), channel);
        return ValueOf(writes[0]);
    }
};

TEST_F(VoaTest, AttenuationIsSentAsTheCodeOfTheChannelsCalibration) {
    ConnectInstrument();
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(2)), kLinear);
    caltest::PrimeStatusField(inst, 0);
    EXPECT_EQ(CodeSentFor(2, 10.0, 1), 1000);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(unit->model().Register(2, kRegVOA), 1000);
    EXPECT_EQ(CodeSentFor(2, 0.0, 1), 0);
    EXPECT_EQ(CodeSentFor(2, 30.0, 1), 3000);  // the top of the range is accepted
    EXPECT_EQ(CodeSentFor(2, 12.5, 1), 1250);
    EXPECT_EQ(CodeSentFor(6, 15.0, 1), 1000);
}

TEST_F(VoaTest, AttenuationOutsideTheRangeIsRefusedWithoutSending) {
    ConnectInstrument();
    caltest::PrimeStatusField(inst, 1);
    unit->clear_frames();
    for (double db : {-0.5, 30.5, 30.000001, -1e-9, kNaN, std::numeric_limits<double>::infinity()}) {
        inst.ClearLastError();
        EXPECT_EQ(inst.SetVOAAttenuation(2, db), 0) << db;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << db;
        EXPECT_EQ(inst.StatusField(), 1) << db;  // left alone
    }
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(VoaTest, CalibrationWithoutACodeSendsTheMarkerAndFails) {
    ConnectInstrument();
    caltest::PrimeStatusField(inst, 1);
    inst.ClearLastError();
    EXPECT_EQ(CodeSentFor(5, 12.5, 0), 0xFFFF);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_FOUND);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(CodeSentFor(5, 30.0, 0), 0xFFFF);
    EXPECT_EQ(CodeSentFor(5, 0.01, 0), 0xFFFF);
    EXPECT_EQ(CodeSentFor(5, 0.005, 1), 2048);
    EXPECT_EQ(inst.StatusField(), 1);
}

TEST_F(VoaTest, ChannelWithoutLayoutEntryIsRefusedWithoutSending) {
    ConnectInstrument();
    double db = -1;
    std::uint16_t code = 0xABCD;
    double c[4] = {1, 2, 3, 4};
    for (std::uint16_t channel : {8, 9, 0xFFFF}) {
        EXPECT_EQ(inst.SetVOAAttenuation(channel, 10.0), 0);
        EXPECT_EQ(inst.LastError(), ZEL_ERR_NO_SUCH_CHANNEL);
        EXPECT_EQ(inst.SetVOAAttenuation(channel, std::int32_t{100}), 0);
        EXPECT_EQ(inst.ReadVOAAttenuation(channel, &db), 0);
        EXPECT_EQ(inst.ReadVOAAttenuation(channel, &code), 0);
        EXPECT_EQ(inst.ReadVOACalibration(channel, c), 0);
        EXPECT_EQ(inst.WriteVOACalibration(channel, c), 0);
        EXPECT_EQ(inst.LastError(), ZEL_ERR_NO_SUCH_CHANNEL);
    }
    EXPECT_EQ(db, -1);
    EXPECT_EQ(code, 0xABCD);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(VoaTest, CodeFormKeepsTheLowTwelveBitsOnTheChannelsSelect) {
    ConnectInstrument();
    inst.AdoptBoardType(5);  // channels 4..7 share the selects of channels 0..3
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    EXPECT_EQ(inst.SetVOAAttenuation(6, std::int32_t{0x1234}), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(inst.SetVOAAttenuation(7, std::int32_t{-1}), 1);
    EXPECT_EQ(inst.SetVOAAttenuation(0, std::int32_t{4096}), 1);
    auto writes = VoaWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(SelectOf(writes[0]), 2u);
    EXPECT_EQ(ValueOf(writes[0]), 0x0234);
    EXPECT_EQ(SelectOf(writes[1]), 3u);
    EXPECT_EQ(ValueOf(writes[1]), 0x0FFF);
    EXPECT_EQ(SelectOf(writes[2]), 0u);
    EXPECT_EQ(ValueOf(writes[2]), 0);
}

TEST_F(VoaTest, ReadingTheAttenuationAppliesTheCalibrationExceptAtCodeZero) {
    ConnectInstrument();
    auto& m = unit->model();
    double db = -1;
    m.SetRegister(2, kRegVOA, 1000);
    caltest::PrimeStatusField(inst, 0);
    EXPECT_EQ(inst.ReadVOAAttenuation(2, &db), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_DOUBLE_EQ(db, 10.0);
    m.SetRegister(6, kRegVOA, 1000);
    EXPECT_EQ(inst.ReadVOAAttenuation(6, &db), 1);
    EXPECT_DOUBLE_EQ(db, 15.0);
    m.SetRegister(6, kRegVOA, 0);  // 5 dB by the polynomial, but code 0 is no attenuation
    EXPECT_EQ(inst.ReadVOAAttenuation(6, &db), 1);
    EXPECT_EQ(db, 0.0);

    std::uint16_t code = 0;
    m.SetRegister(3, kRegVOA, 0xFFFF);
    EXPECT_EQ(inst.ReadVOAAttenuation(3, &code), 1);
    EXPECT_EQ(code, 0xFFFF);
    auto reads = caltest::RegisterFrames(unit->frames(), kRegVOA);
    ASSERT_FALSE(reads.empty());
    EXPECT_FALSE(IsWrite(reads.back()));
    EXPECT_EQ(SelectOf(reads.back()), 3u);

    // A failed read still turns the word it was left with (the last reply's) into dB.
    m.SetRegister(2, kRegVOA, 1000);
    ASSERT_EQ(inst.ReadVOAAttenuation(2, &code), 1);
    m.SetRegister(2, kRegVOA, 2000);
    unit->server().SetFaults({.kind = zelsim::Fault::Close});
    db = -1;
    EXPECT_EQ(inst.ReadVOAAttenuation(2, &db), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_DOUBLE_EQ(db, 10.0);
}

// ---- calibration records, cache and active copy ----

constexpr Coefficients kNewCurve = {2.5e-10, -1.5e-6, 0.0125, 0.03125};

TEST_F(VoaTest, CalibrationWriteGoesToTheCurrentSlotAndUpdatesActiveAndCache) {
    ConnectInstrument();
    const Coefficients slot0 = caltest::AsArray(inst.CachedVOA(0, 3));
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    ASSERT_EQ(inst.CurrentSlot(), 1);
    unit->clear_frames();
    caltest::PrimeStatusField(inst, 0);
    EXPECT_EQ(inst.WriteVOACalibration(3, kNewCurve.data()), 1);
    EXPECT_EQ(inst.StatusField(), 1);

    const auto accesses = zeltest::EepromAccesses(unit->frames());
    ASSERT_EQ(accesses.size(), 32u);
    for (int i = 0; i < 32; ++i) {
        EXPECT_TRUE(accesses[i].write);
        EXPECT_EQ(accesses[i].address, 0x28B0 + i) << i;  // slot 1, select 3: 0x2800 + 80 + 32 * 3
    }
    EXPECT_EQ(caltest::StoredVOA(unit->model(), 1, 3), kNewCurve);
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(3)), kNewCurve);
    EXPECT_EQ(caltest::AsArray(inst.CachedVOA(1, 3)), kNewCurve);
    EXPECT_EQ(caltest::AsArray(inst.CachedVOA(0, 3)), slot0);

    // While the cache is valid a read costs nothing on the link and leaves the status field alone.
    unit->clear_frames();
    caltest::PrimeStatusField(inst, 0);
    double c[4] = {};
    EXPECT_EQ(inst.ReadVOACalibration(3, c), 1);
    EXPECT_EQ(caltest::AsArray(c), kNewCurve);
    EXPECT_EQ(inst.StatusField(), 0);
    // Back in slot 0 the active copy follows only once the channel's calibration is read.
    ASSERT_EQ(inst.SetDefaultWavelength(), 1);
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(3)), kNewCurve);
    EXPECT_EQ(inst.ReadVOACalibration(3, c), 1);
    EXPECT_EQ(caltest::AsArray(c), slot0);
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(3)), slot0);
    EXPECT_TRUE(unit->frames().empty());
    // The cache path keeps out of the status field for a channel without layout entry too.
    caltest::PrimeStatusField(inst, 1);
    EXPECT_EQ(inst.ReadVOACalibration(8, c), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NO_SUCH_CHANNEL);
    EXPECT_EQ(inst.StatusField(), 1);
}

TEST_F(VoaTest, FailedCalibrationWriteChangesTheActiveCopyButNotTheCache) {
    ConnectInstrument();
    const Coefficients before = caltest::AsArray(inst.CachedVOA(0, 4));
    // Each coefficient is an 8-byte record of 16 exchanges: the fourth one fails from its first byte.
    unit->server().SetFaults({.kind = zelsim::Fault::Close, .after_frames = 48});
    EXPECT_EQ(inst.WriteVOACalibration(4, kNewCurve.data()), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(4)), kNewCurve);
    const double* cached = inst.CachedVOA(0, 4);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(cached[k], kNewCurve[k]) << k;
    EXPECT_EQ(cached[3], before[3]);
    const Coefficients stored = caltest::StoredVOA(unit->model(), 0, 4);
    EXPECT_EQ(stored[2], kNewCurve[2]);
    EXPECT_EQ(stored[3], before[3]);
}

TEST_F(VoaTest, CalibrationWriteWithALostFrameFailsAndStoresNothingElsewhere) {
    zeltest::ShortenLinkTimeouts(300);
    ConnectInstrument();
    const Coefficients cached_before = caltest::AsArray(inst.CachedVOA(0, 4));
    const auto image_before = unit->model().EepromImage();
    caltest::PrimeStatusField(inst, 1);
    unit->clear_frames();
    {
        // The address write of coefficient 0's first byte never reaches the unit, whose address
        // register still points into the board-type record that the connect read last.
        caltest::OneFailedExchange fault(unit->server(), 0, zelsim::Fault::Stall);
        inst.ClearLastError();
        EXPECT_EQ(inst.WriteVOACalibration(4, kNewCurve.data()), 0);
    }
    EXPECT_EQ(inst.LastError(), ZEL_ERR_TIMEOUT);
    EXPECT_EQ(inst.StatusField(), 0);
    const std::uint16_t first = caltest::VoaAddress(0, 4, 0);
    for (std::uint32_t a : caltest::ChangedBytes(image_before, unit->model().EepromImage())) {
        EXPECT_GE(a, first) << std::hex << a;
        EXPECT_LT(a, first + 32u) << std::hex << a;
    }
    EXPECT_EQ(unit->model().BoardType(), 6);
    // Coefficient 0's first byte went out to no address: its data write was never sent.
    for (const auto& access : zeltest::EepromAccesses(unit->frames())) EXPECT_NE(access.address, first);
    EXPECT_EQ(inst.CachedVOA(0, 4)[0], cached_before[0]);  // its record failed: the cache keeps it

    // A failure in the first record fails the call even though the last record went through.
    {
        caltest::OneFailedExchange fault(unit->server(), 5);  // a byte of the first coefficient
        EXPECT_EQ(inst.WriteVOACalibration(4, kNewCurve.data()), 0);
    }
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(4)), kNewCurve);
}

TEST_F(VoaTest, CalibrationReadFromTheRecordsFailsOnAFailedFirstRecord) {
    zeltest::ShortenLinkTimeouts(300);
    {
        // Board ID 0, board type 1..16, slot 0's first block 17: the cache stays invalid and the
        // calibrations come from the records.
        caltest::OneFailedExchange fault(unit->server(), 17);
        ASSERT_EQ(inst.Connect(unit->ip()), 0);
    }
    ASSERT_EQ(inst.CacheValid(), 0);
    ASSERT_EQ(caltest::AsArray(inst.ActiveVOA(2)), caltest::StoredVOA(unit->model(), 0, 2));
    double c[4] = {};
    inst.ClearLastError();
    {
        caltest::OneFailedExchange fault(unit->server(), 1);  // the data read of coefficient 0's first byte
        EXPECT_EQ(inst.ReadVOACalibration(2, c), 0);
    }
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_NE(inst.LastError(), ZEL_OK);
    // What the failed read delivered is no calibration: the dB set refuses and sends nothing
    // until a read goes through again.
    EXPECT_TRUE(inst.ActiveVOAUncalibrated(2));
    unit->clear_frames();
    inst.ClearLastError();
    EXPECT_EQ(inst.SetVOAAttenuation(2, 3.0), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_TRUE(unit->frames().empty());
    ASSERT_EQ(inst.ReadVOACalibration(2, c), 1);
    EXPECT_FALSE(inst.ActiveVOAUncalibrated(2));
    EXPECT_EQ(inst.SetVOAAttenuation(2, 3.0), 1);
}

// ---- erased calibration ----

TEST_F(VoaTest, ErasedCoefficientsAreNoCalibrationAndNothingIsSentForThem) {
    auto& m = unit->model();
    // Slot 1 (1550 nm): select 3's coefficient 2 erased, the rest of the slot calibrated.
    caltest::PutBytes(m, caltest::VoaAddress(1, 3, 2), caltest::kErasedRecord);
    caltest::PutChannelCalibration(m, 1, 2, 0.025, kLinear);
    ConnectInstrument();
    EXPECT_TRUE(inst.CachedVOAUncalibrated(1, 3));
    EXPECT_FALSE(inst.CachedVOAUncalibrated(1, 2));
    EXPECT_FALSE(inst.CachedVOAUncalibrated(0, 3));
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    ASSERT_EQ(inst.LoadCalibrations(), 1);
    EXPECT_TRUE(inst.ActiveVOAUncalibrated(3));
    caltest::PrimeStatusField(inst, 1);
    unit->clear_frames();

    for (double db : {0.0, 10.0, 30.0}) {
        inst.ClearLastError();
        EXPECT_EQ(inst.SetVOAAttenuation(3, db), 0) << db;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED) << db;
    }
    EXPECT_EQ(inst.StatusField(), 1);
    double db = -1;
    inst.ClearLastError();
    EXPECT_EQ(inst.ReadVOAAttenuation(3, &db), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_EQ(db, -1);
    EXPECT_TRUE(unit->frames().empty());

    // The coefficients themselves still read as stored; the code forms and other channels work.
    double c[4] = {};
    EXPECT_EQ(inst.ReadVOACalibration(3, c), 1);
    EXPECT_EQ(zeltest::BitsOf(c[2]), ~std::uint64_t{0});
    EXPECT_EQ(inst.SetVOAAttenuation(3, std::int32_t{100}), 1);
    std::uint16_t code = 0;
    EXPECT_EQ(inst.ReadVOAAttenuation(3, &code), 1);
    EXPECT_EQ(code, 100);
    EXPECT_EQ(CodeSentFor(2, 10.0, 1), 1000);

    // Back at the default wavelength the channel is calibrated.
    ASSERT_EQ(inst.SetDefaultWavelength(), 1);
    ASSERT_EQ(inst.ReadVOACalibration(3, c), 1);
    EXPECT_FALSE(inst.ActiveVOAUncalibrated(3));
    EXPECT_EQ(inst.SetVOAAttenuation(3, 10.0), 1);
}

// ---- defined values and insertion loss ----

std::array<std::uint16_t, 30> DefinedValues() {
    std::array<std::uint16_t, 30> v{};
    v[0] = 0x1234;
    for (int j = 1; j < 30; ++j) v[j] = static_cast<std::uint16_t>(0x0F0F * j + 0x80);
    return v;
}

TEST_F(VoaTest, DefinedValuesAreStoredLowByteFirstInTheSelectsTable) {
    ConnectInstrument();
    const auto values = DefinedValues();
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    const auto start = Clock::now();
    EXPECT_EQ(inst.WriteVOADefinedValues(1, values.data()), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(600));  // 10 ms after each of 60 bytes
    EXPECT_EQ(inst.StatusField(), 0);                                 // the write leaves the status field alone

    const auto frames = unit->frames();
    EXPECT_EQ(frames.size(), 120u);
    EXPECT_EQ(caltest::EepromAddresses(frames), caltest::Consecutive(0x2194, 60));  // 0x2158 + 60 * 1
    const auto& m = unit->model();
    EXPECT_EQ(m.Eeprom(0x2194), 0x34);
    EXPECT_EQ(m.Eeprom(0x2195), 0x12);
    for (int j = 0; j < 30; ++j) {
        EXPECT_EQ(m.Eeprom(0x2194 + 2 * j), values[j] & 0xFF) << j;
        EXPECT_EQ(m.Eeprom(0x2195 + 2 * j), values[j] >> 8) << j;
    }
    std::array<std::uint16_t, 30> back{};
    EXPECT_EQ(inst.ReadVOADefinedValues(1, back.data()), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(back, values);
}

TEST_F(VoaTest, DefinedValuesReadReportsOneFailedTransferAndStillFillsEveryValue) {
    zeltest::ShortenLinkTimeouts(300);
    ConnectInstrument();
    const auto values = DefinedValues();
    auto& m = unit->model();
    for (int j = 0; j < 30; ++j) {
        m.SetEeprom(0x2158 + 2048 * 1 + 60 * 7 + 2 * j, static_cast<std::uint8_t>(values[j]));
        m.SetEeprom(0x2158 + 2048 * 1 + 60 * 7 + 2 * j + 1, static_cast<std::uint8_t>(values[j] >> 8));
    }
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    std::array<std::uint16_t, 30> back;
    back.fill(0xDEAD);
    {
        // Four exchanges per value: the read of value 15's low byte is exchange 61.
        caltest::OneFailedExchange fault(unit->server(), 61);
        EXPECT_EQ(inst.ReadVOADefinedValues(7, back.data()), 0);
    }
    EXPECT_EQ(inst.StatusField(), 0);
    const auto frames = unit->frames();
    EXPECT_EQ(frames.size(), 120u);  // every transfer was attempted
    EXPECT_EQ(caltest::EepromAddresses(frames), caltest::Consecutive(0x2800 + 0x158 + 420, 60));
    for (int j = 0; j < 30; ++j) {
        if (j == 15)
            EXPECT_EQ(back[j] >> 8, values[j] >> 8);
        else
            EXPECT_EQ(back[j], values[j]) << j;
    }
    EXPECT_NE(back[15], 0xDEAD);
}

TEST_F(VoaTest, InsertionLossIsAScaledRecordOfTheCurrentSlot) {
    ConnectInstrument();
    ASSERT_EQ(inst.SetWavelength(1550), 1);
    const std::uint16_t address = 0x2800 + 824 + 8 * 4;
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    EXPECT_EQ(inst.WriteVOAInsertionLoss(4, 0.75), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(caltest::EepromAddresses(unit->frames()), caltest::Consecutive(address, 8));
    EXPECT_EQ(caltest::GetBytes(unit->model(), address), zel::records::EncodeScaled(0.75));

    caltest::PutScaled(unit->model(), address, 1.25);
    caltest::PrimeStatusField(inst, 0);
    double loss = 0;
    EXPECT_EQ(inst.ReadVOAInsertionLoss(4, &loss), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(loss, 1.25);
}

}  // namespace
