// The EEPROM number formats and record addressing, without a unit.
#include "instrument/record_codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "instrument/unit_map.h"
#include "instrument/zel_api_class.h"
#include "zelsim/factory.h"

namespace {

namespace rec = zel::records;
using rec::Bytes8;

constexpr std::uint64_t kBit63 = 0x8000000000000000ull;
// What every pattern with byte 7 at 0x80 or more reads back as.
const double kNegativeReading = -std::ldexp(1.0, 63) / 1e12;

std::uint64_t BitsOf(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(RecordAddress, GroupZeroStartsAt0x2000AndStepsByEightBytes) {
    EXPECT_EQ(rec::RecordAddress(0, 0), 0x2000);
    EXPECT_EQ(rec::RecordAddress(0, 1), 0x2008);
    EXPECT_EQ(rec::RecordAddress(0, 255), 0x27F8);
    EXPECT_EQ(rec::RecordAddress(0, 256 * 2 + 111 + 1), 0x3380);  // switch loss, slot 2, select 1
}

// The library's map of the unit and the simulator's, written from the wire side, must name the
// same registers and the same EEPROM places; the record codec must land on the layout's bytes.
TEST(UnitMap, LibraryAndSimulatorAgreeOnRegistersAndEepromPlaces) {
    namespace lay = zel::layout;
    namespace sim = zelsim;
    const std::pair<unsigned, unsigned> registers[] = {
        {zel::reg::kFirmwareRevision, sim::reg::kFirmware},
        {zel::reg::kEepromAddress, sim::reg::kEepromAddress},
        {zel::reg::kEepromData, sim::reg::kEepromData},
        {zel::reg::kTemperature, sim::reg::kTemperature},
        {zel::reg::kBoardID, sim::reg::kBoardId},
        {zel::reg::kSerialWord0, sim::reg::kSerial0},
        {zel::reg::kSerialWord1, sim::reg::kSerial1},
        {zel::reg::kSerialWord2, sim::reg::kSerial2},
        {zel::reg::kSerialWord3, sim::reg::kSerial3},
        {zel::reg::kSerialCheck, sim::reg::kSerialCheck},
        {zel::reg::kSwitch2x2, sim::reg::kSwitch2x2},
        {zel::reg::kSwitchMEMS, sim::reg::kSwitchMems},
        {zel::reg::kSwitchLBMM, sim::reg::kSwitchLbmm},
        {zel::reg::kOpticalPower, sim::reg::kOpticalPower},
        {zel::reg::kVOACode, sim::reg::kVoaCode},
        {zel::reg::kScreenControl, sim::reg::kScreen},
        {zel::reg::kAddressCount, sim::kRegistersPerSelect},
        {zel::reg::kBankCount, sim::kSelects},
    };
    for (const auto& [library, unit] : registers) EXPECT_EQ(library, unit);

    EXPECT_EQ(lay::kSlotBase, sim::kSlotBase);
    EXPECT_EQ(lay::kSlotSize, sim::kSlotSize);
    EXPECT_EQ(static_cast<unsigned>(lay::kSlotCount), sim::kSlots);
    EXPECT_EQ(ZEL_API::kDefinedValues, static_cast<int>(sim::kDefinedValues));
    EXPECT_EQ(ZEL_API::kEepromSize, sim::kEepromSize);
    EXPECT_EQ(lay::kUserTXBase * 8u, sim::kUserCalBegin);
    EXPECT_EQ((lay::kUserRXBase + ZEL_API::kSelects) * 8u, sim::kUserCalEnd);
    for (int w = 0; w < lay::kSlotCount; ++w) {
        const std::uint32_t base = sim::kSlotBase + sim::kSlotSize * w;
        const auto at = [w](int offset) { return rec::RecordAddress(0, lay::kRecordsPerSlot * w + offset); };
        EXPECT_EQ(at(lay::kBoardTypeRecord), base + sim::slot_offset::kWavelength) << w;
        for (int s = 0; s < ZEL_API::kSelects; ++s) {
            EXPECT_EQ(at(lay::kTAPOffset + s), base + sim::slot_offset::kTap + 8 * s);
            EXPECT_EQ(at(lay::kVOACoefficientOffset + 4 * s + 3),
                      base + sim::slot_offset::kVoaCoefficients + 32 * s + 24);
            EXPECT_EQ(
                lay::kSlotBase + lay::kSlotSize * w + lay::kDefinedValuesInSlot + lay::kDefinedValuesPerSelect * s,
                base + sim::slot_offset::kDefinedValues + 60 * s);
            EXPECT_EQ(at(lay::kVOALossOffset + s), base + sim::slot_offset::kVoaInsertionLoss + 8 * s);
            EXPECT_EQ(at(lay::kSwitchLossOffset + s), base + sim::slot_offset::kSwitchInsertionLoss + 8 * s);
        }
    }
}

// The library's board table and the simulator's name the same facts of every board type.
TEST(UnitMap, LibraryAndSimulatorAgreeOnEveryBoardType) {
    ASSERT_EQ(zel::board::kBoardTypes, zelsim::kBoardTypes);
    for (int type = -1; type <= zel::board::kBoardTypes; ++type) {
        SCOPED_TRACE(type);
        EXPECT_EQ(zel::board::IsKnownBoardType(type), zelsim::IsKnownBoardType(type));
        const zel::board::BoardFacts* library = zel::board::FactsOf(type);
        if (library == nullptr) continue;
        const zelsim::BoardFacts& unit = zelsim::BoardFactsOf(type);
        EXPECT_EQ(library->default_nm, unit.default_nm);
        EXPECT_EQ(library->voa_order == 4, unit.quartic);
        EXPECT_EQ(library->two_by_two_ports, unit.two_by_two_positions);
        EXPECT_EQ(library->mems_ports, unit.selector_ports);
        EXPECT_EQ(library->lbmm_ports, unit.selector_ports);
    }
}

TEST(RecordAddress, EachGroupMovesNinetySixRecords) {
    EXPECT_EQ(rec::RecordAddress(1, 0), 0x2300);
    EXPECT_EQ(rec::RecordAddress(2, 0), 0x2600);
    EXPECT_EQ(rec::RecordAddress(1, 96), rec::RecordAddress(2, 0));
}

TEST(RecordAddress, WrapsInSixteenBits) {
    EXPECT_EQ(rec::RecordAddress(0, 7168), 0x0000);
    EXPECT_EQ(rec::RecordAddress(0, 7167), 0xFFF8);
    EXPECT_EQ(rec::RecordAddress(0, 7169), 0x0008);
    // ((96 x 65535 + 65535 + 1024) x 8) mod 65536
    EXPECT_EQ(rec::RecordAddress(0xFFFF, 0xFFFF), 0x1CF8);
    EXPECT_EQ(rec::RecordAddress(0, 0xFFFF), 0x1FF8);
}

TEST(ScaledEncoding, StoresValueTimesTenToTheTwelveLeastSignificantByteFirst) {
    EXPECT_EQ(rec::EncodeScaled(1.5), (Bytes8{0x00, 0x98, 0xF7, 0x3E, 0x5D, 0x01, 0x00, 0x00}));
    EXPECT_EQ(rec::EncodeScaled(3.9), (Bytes8{0x00, 0x58, 0x1D, 0x0A, 0x8C, 0x03, 0x00, 0x00}));
    EXPECT_EQ(rec::EncodeScaled(0.0), Bytes8{});
    EXPECT_EQ(rec::EncodeScaled(-1.0), (Bytes8{0x00, 0xF0, 0x5A, 0x2B, 0x17, 0xFF, 0xFF, 0xFF}));
}

TEST(ScaledEncoding, TruncatesTowardZero) {
    EXPECT_EQ(rec::ScaledInteger(2.5e-12), 2u);
    EXPECT_EQ(rec::ScaledInteger(2.99e-12), 2u);
    EXPECT_EQ(rec::ScaledInteger(-2.5e-12), static_cast<std::uint64_t>(-2));
    EXPECT_EQ(rec::ScaledInteger(-0.4e-12), 0u);
    EXPECT_EQ(rec::ScaledInteger(-0.0), 0u);
}

TEST(ScaledEncoding, ProductsFromTwoToTheSixtyThreeUpToTwoToTheSixtyFourKeepTheirValue) {
    // 10^19 and 1.8 x 10^19 are exact doubles between 2^63 and 2^64.
    EXPECT_EQ(rec::ScaledInteger(1e7), 10000000000000000000ull);
    EXPECT_EQ(rec::ScaledInteger(1.8e7), 18000000000000000000ull);
}

TEST(ScaledEncoding, OutOfRangeAndNaNGiveOnlyBitSixtyThree) {
    EXPECT_EQ(rec::ScaledInteger(1.85e7), kBit63);  // 1.85 x 10^19 >= 2^64
    EXPECT_EQ(rec::ScaledInteger(1e300), kBit63);
    EXPECT_EQ(rec::ScaledInteger(std::numeric_limits<double>::infinity()), kBit63);
    EXPECT_EQ(rec::ScaledInteger(-9.3e6), kBit63);  // -9.3 x 10^18 < -2^63
    EXPECT_EQ(rec::ScaledInteger(-std::numeric_limits<double>::infinity()), kBit63);
    EXPECT_EQ(rec::ScaledInteger(std::numeric_limits<double>::quiet_NaN()), kBit63);
    EXPECT_EQ(rec::EncodeScaled(std::nan("")), (Bytes8{0, 0, 0, 0, 0, 0, 0, 0x80}));
}

TEST(ScaledEncoding, NegativeProductsInRangeBecomeTwosComplement) {
    EXPECT_EQ(rec::ScaledInteger(-9e6), static_cast<std::uint64_t>(-9000000000000000000ll));
    EXPECT_EQ(rec::ScaledInteger(-1.0), static_cast<std::uint64_t>(-1000000000000ll));
}

TEST(ScaledDecoding, ReadsBackWhatWasWrittenBelowTwoToTheFiftyThree) {
    EXPECT_EQ(rec::DecodeScaled({0x00, 0x98, 0xF7, 0x3E, 0x5D, 0x01, 0x00, 0x00}), 1.5);
    for (double x : {0.0, 0.001, 1.0, 3.9, 12.5, 123.456, 4095.0, 9000.0}) {
        EXPECT_NEAR(rec::DecodeScaled(rec::EncodeScaled(x)), x, 2e-12 * (1 + x)) << x;
    }
    // 65538 x 10^12 lies above 2^53 but every partial sum is a multiple of 2^13 and stays exact.
    EXPECT_EQ(rec::DecodeScaled(rec::EncodeScaled(65538.0)), 65538.0);
}

TEST(ScaledDecoding, EveryPatternWithTheTopBitSetReadsAsMinusTwoToTheSixtyThree) {
    EXPECT_EQ(rec::DecodeScaled({0x00, 0xF0, 0x5A, 0x2B, 0x17, 0xFF, 0xFF, 0xFF}), kNegativeReading);
    EXPECT_EQ(rec::DecodeScaled(rec::EncodeScaled(-1e-12)), kNegativeReading);
    EXPECT_EQ(rec::DecodeScaled({0, 0, 0, 0, 0, 0, 0, 0x80}), kNegativeReading);
    EXPECT_EQ(rec::DecodeScaled({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), kNegativeReading);
    EXPECT_DOUBLE_EQ(kNegativeReading, -9223372.036854776);
}

TEST(ScaledDecoding, AccumulatesInDoublePrecisionByteByByte) {
    // 2^62 + 2^55 + 513: adding byte 6 rounds 2^55 + 513 to 2^55 + 512 (steps of 8), and adding
    // byte 7 then ties to even at 2^62 + 2^55 (steps of 1024). Converting the whole 64-bit pattern at
    // once would round up to 2^62 + 2^55 + 1024 instead.
    const std::uint8_t bytes[8] = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x80, 0x40};
    const Bytes8 pattern{0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x80, 0x40};
    const double accumulated = (std::ldexp(1.0, 62) + std::ldexp(1.0, 55)) / 1e12;
    const double whole = (std::ldexp(1.0, 62) + std::ldexp(1.0, 55) + 1024.0) / 1e12;
    ASSERT_NE(accumulated, whole);
    EXPECT_EQ(rec::DecodeScaled(pattern), accumulated);
    // The calibration scan reads a block the other way: the whole pattern, divided once.
    EXPECT_EQ(rec::DecodeScaledBlock(bytes), whole);
}

TEST(ScaledDecoding, TheLargestPositivePatternOverflowsWhileAccumulating) {
    // Bytes 0..6 sum to 2^56 - 1, which rounds to 2^56; adding 0x7F x 2^56 then reaches 2^63.
    EXPECT_EQ(rec::DecodeScaled({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), kNegativeReading);
    // Just below, with low bytes that do not round up, the value stays positive.
    EXPECT_EQ(rec::DecodeScaled({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F}), 127 * std::ldexp(1.0, 56) / 1e12);
}

TEST(ScaledEncoding, WhatItAcceptsBothReadersGiveBack) {
    // Each accepted value must come back from the record reader and the scan's block reader alike
    // (to the 10^-12 the encoding keeps); the top of the range is where accumulating in double
    // precision could overflow into the negative reading.
    auto agrees = [](double x) {
        const Bytes8 b = rec::EncodeScaled(x);
        const double want = std::trunc(x * 1e12) / 1e12;
        return rec::DecodeScaled(b) == want && rec::DecodeScaledBlock(b.data()) == want;
    };
    double top = std::ldexp(1.0, 63) / 1e12;
    while (!rec::ScaledCanHold(top)) top = std::nextafter(top, 0.0);
    EXPECT_GT(top, 9223372.0368);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> spread(0.0, top);
    std::vector<double> accepted{0.0, -0.0, 1e-12, 0.5e-12, top, std::nextafter(top, 0.0)};
    for (int i = 0; i < 20000; ++i) accepted.push_back(spread(rng));
    for (double x : accepted) {
        ASSERT_TRUE(rec::ScaledCanHold(x)) << x;
        ASSERT_TRUE(agrees(x)) << x;
    }
    // Refused: every negative value, NaN, the infinities, and from 2^63 / 10^12 up.
    for (double x :
         {-1e-300, -1e-13, -1.0, -top, std::nextafter(top, 1e300), 1e7, 1e300, std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
        EXPECT_FALSE(rec::ScaledCanHold(x)) << x;
}

TEST(RawEncoding, StoresTheDoubleItselfLeastSignificantByteFirst) {
    EXPECT_EQ(rec::EncodeRaw(-1.0), (Bytes8{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}));
    EXPECT_EQ(rec::EncodeRaw(1.5), (Bytes8{0, 0, 0, 0, 0, 0, 0xF8, 0x3F}));
    EXPECT_EQ(rec::DecodeRaw(Bytes8{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}), -1.0);
    EXPECT_EQ(rec::DecodeRaw(Bytes8{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}),
              std::bit_cast<double>(0x0807060504030201ull));
}

TEST(RawEncoding, EveryDoubleComesBackBitForBit) {
    std::mt19937_64 rng(20240305);
    std::uniform_real_distribution<double> spread(-1e6, 1e6);
    auto check = [](double x) {
        const Bytes8 b = rec::EncodeRaw(x);
        const std::uint64_t bits = BitsOf(x);
        for (int i = 0; i < 8; ++i) ASSERT_EQ(b[i], static_cast<std::uint8_t>(bits >> (8 * i))) << x;
        ASSERT_EQ(BitsOf(rec::DecodeRaw(b)), bits) << x;
    };
    for (int i = 0; i < 50000; ++i) {
        check(std::bit_cast<double>(rng()));  // any pattern: NaN payloads, subnormals, infinities
        check(spread(rng));
    }
    for (double x : {0.0, -0.0, std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::max(),
                     std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::quiet_NaN()})
        check(x);
}

}  // namespace
