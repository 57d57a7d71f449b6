// The factory EEPROM image, decoded here with the test's own decoders.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "support.h"

using namespace simtest;
using zelsim::UnitConfig;
using zelsim::UnitModel;

namespace {

constexpr std::uint32_t kSlot = 2048;

std::uint16_t WavelengthWord(const Bytes& img, unsigned slot) {
    const std::uint32_t b = 0x2000 + kSlot * slot;
    return static_cast<std::uint16_t>(img[b] << 8 | img[b + 1]);
}

double Curve(const Bytes& img, unsigned slot, unsigned s, bool quartic, double x) {
    const std::uint32_t a = 0x2000 + kSlot * slot + 80 + 32 * s;
    const double c0 = Raw(img, a), c1 = Raw(img, a + 8), c2 = Raw(img, a + 16), c3 = Raw(img, a + 24);
    if (quartic) return c0 * x * x * x * x + c1 * x * x * x + c2 * x * x + c3 * x;
    return c0 * x * x * x + c1 * x * x + c2 * x + c3;
}

TEST(FactoryImage, BoardTypeRecordAndWavelengthWords) {
    for (int type = 0; type < 8; ++type) {
        UnitConfig cfg;
        cfg.board_type = type;
        const Bytes img = UnitModel(cfg).EepromImage();
        ASSERT_EQ(img.size(), 0x20000u);
        EXPECT_EQ(Le64(img, 0x2000), static_cast<std::uint64_t>(type) * 1000000000000ull) << type;
        EXPECT_EQ(WavelengthWord(img, 1), 0xFFFF);  // only the default slot
    }

    UnitConfig cfg;
    cfg.extra_wavelengths = {1550, 1490, 1625};
    Bytes img = zelsim::FactoryImage(cfg);
    EXPECT_EQ(img[0x2800], 0x06);  // 1550 = 0x060E, high byte first
    EXPECT_EQ(img[0x2801], 0x0E);
    EXPECT_EQ(WavelengthWord(img, 2), 1490);
    EXPECT_EQ(WavelengthWord(img, 3), 1625);
    EXPECT_EQ(WavelengthWord(img, 4), 0xFFFF);

    cfg.extra_wavelengths = {1550, 1490, 1625, 1270, 1610, 1330};  // one too many: the sixth is dropped
    img = zelsim::FactoryImage(cfg);
    for (unsigned w = 1; w < 6; ++w) EXPECT_NE(WavelengthWord(img, w), 0xFFFF) << w;
    EXPECT_EQ(WavelengthWord(img, 5), 1610);
}

TEST(FactoryImage, CalibrationOfEveryUsedSlotIsRealisticAndDistinct) {
    for (int type : {0, 4, 6}) {
        UnitConfig cfg;
        cfg.board_type = type;
        cfg.extra_wavelengths = {1550, 1490, 1625, 1270, 1610};
        const bool quartic = type == 4;
        const Bytes img = zelsim::FactoryImage(cfg);
        std::set<std::uint64_t> taps;
        std::set<double> full_scales;
        for (unsigned w = 0; w < 6; ++w) {
            const std::uint32_t b = 0x2000 + kSlot * w;
            for (unsigned s = 0; s < 8; ++s) {
                SCOPED_TRACE("type " + std::to_string(type) + " slot " + std::to_string(w) + " select " +
                             std::to_string(s));
                const double tap = Scaled(img, b + 8 + 8 * s);
                EXPECT_GT(tap, 0.02);
                EXPECT_LT(tap, 0.03);
                taps.insert(Le64(img, b + 8 + 8 * s));
                if (!quartic) {
                    EXPECT_EQ(Raw(img, b + 80 + 32 * s + 24), 0.0);  // cubic: no constant term
                }
                EXPECT_EQ(Curve(img, w, s, quartic, 0), 0.0);
                const double full = Curve(img, w, s, quartic, 4095);
                EXPECT_GT(full, 31.0);
                EXPECT_LT(full, 40.0);
                full_scales.insert(full);
                // Defined values: the code of (j + 1) dB, low byte first.
                for (unsigned j = 0; j < 30; ++j) {
                    const std::uint32_t a = b + 344 + 60 * s + 2 * j;
                    const unsigned code = img[a] | img[a + 1] << 8;
                    ASSERT_LT(code, 4096u);
                    EXPECT_NEAR(Curve(img, w, s, quartic, code), j + 1.0, 0.05) << "j " << j;
                }
                const double voa_il = Scaled(img, b + 824 + 8 * s);
                const double sw_il = Scaled(img, b + 888 + 8 * s);
                EXPECT_GT(voa_il, 0.2);
                EXPECT_LT(voa_il, 1.0);
                EXPECT_GT(sw_il, 0.5);
                EXPECT_LT(sw_il, 1.5);
            }
        }
        EXPECT_EQ(taps.size(), 48u);  // every select of every slot has its own factor
        EXPECT_EQ(full_scales.size(), 48u);
    }
}

TEST(FactoryImage, UserAreaEmptyAndUnusedSpaceErased) {
    UnitConfig cfg;
    cfg.extra_wavelengths = {1550};
    const Bytes img = zelsim::FactoryImage(cfg);
    for (std::uint32_t a = 0x5000; a < 0x5140; ++a) ASSERT_EQ(img[a], 0) << std::hex << a;
    // Slot 2 is the first free one: everything there and beyond is erased.
    for (std::uint32_t a = 0x3000; a < 0x5000; ++a) ASSERT_EQ(img[a], 0xFF) << std::hex << a;
    for (std::uint32_t a = 0x5140; a < 0x20000; ++a) ASSERT_EQ(img[a], 0xFF) << std::hex << a;
    for (std::uint32_t a = 0; a < 0x2000; ++a) ASSERT_EQ(img[a], 0xFF) << std::hex << a;
    // Unused gaps inside a used slot.
    for (std::uint32_t a = 0x2800 + 2; a < 0x2808; ++a) EXPECT_EQ(img[a], 0xFF);
    for (std::uint32_t a = 0x2000 + 952; a < 0x2800; ++a) ASSERT_EQ(img[a], 0xFF);
}

TEST(FactoryImage, SameConfigSameImageOtherSerialOtherCalibration) {
    UnitConfig a;
    UnitConfig b;
    b.serial = a.serial + 1;
    EXPECT_EQ(zelsim::FactoryImage(a), zelsim::FactoryImage(a));
    EXPECT_EQ(zelsim::FactoryImage(a), UnitModel(a).EepromImage());
    const Bytes ia = zelsim::FactoryImage(a), ib = zelsim::FactoryImage(b);
    EXPECT_NE(Le64(ia, 0x2008), Le64(ib, 0x2008));
    EXPECT_EQ(Le64(ia, 0x2000), Le64(ib, 0x2000));
}

}  // namespace
