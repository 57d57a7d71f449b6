// Extras that reach past the two families' split: tracing a table entry's link, and an instance
// choosing the wavelength whose calibration its dB and power operations use.
#include <cmath>

#include "api/instance_table.h"
#include "support/unit_fixture.h"
#include "zel_api.h"

namespace {

struct FrameCount {
    int sent = 0, received = 0;
    static void Record(void* user, int direction, const std::uint8_t*, std::size_t) {
        auto* c = static_cast<FrameCount*>(user);
        (direction == ZEL_FRAME_SENT ? c->sent : c->received)++;
    }
};

TEST(TableTrace, SeesTheEntrysFramesAndRefusesBadIndexes) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    const std::uint8_t u = 12;
    ASSERT_EQ(APIConnect(u, unit.ip().c_str()), 1);
    unit.clear_frames();
    FrameCount count;
    ASSERT_EQ(APISetFrameTrace(u, &FrameCount::Record, &count), 1);
    std::uint16_t position = 0;
    ASSERT_EQ(APIReadSwicthSelect_MEMS_1x4(u, 0, &position), 1);
    ASSERT_EQ(APISwicthSelect_LBMM_1x4(u, 0, 2), 1);
    EXPECT_EQ(count.sent, 2);
    EXPECT_EQ(count.received, 2);
    EXPECT_EQ(unit.frames().size(), 2u);
    ASSERT_EQ(APISetFrameTrace(u, nullptr, nullptr), 1);
    APIReadBoardID(u);
    EXPECT_EQ(count.sent, 2);
    EXPECT_EQ(APISetFrameTrace(32, &FrameCount::Record, &count), 0);
    EXPECT_EQ(APIDisconnect(u), 1);
}

class SelectWavelengthTest : public ::testing::Test {
protected:
    void SetUp() override {
        zeltest::ShortenLinkTimeouts();
        zelsim::UnitConfig cfg;
        cfg.board_type = 6;
        cfg.extra_wavelengths = {1550, 1625};
        unit = std::make_unique<zeltest::SimulatedUnit>(cfg);
        inst = zel_createInstance();
        ASSERT_EQ(zel_Connect(inst, unit->ip().c_str()), 1);
        core = reinterpret_cast<ZEL_API*>(inst);
    }
    void TearDown() override { zel_destroyInstance(inst); }
    // The code the unit's VOA register holds after a dB setting on channel 3.
    std::uint16_t CodeAfterSetting(double db) {
        EXPECT_EQ(zel_SetVOAAttenuation(inst, 3, db), 1);
        return unit->model().Register(3, 37);
    }
    std::unique_ptr<zeltest::SimulatedUnit> unit;
    zel_instance* inst = nullptr;
    ZEL_API* core = nullptr;
};

TEST_F(SelectWavelengthTest, DbAndPowerFollowTheSelectedSlotsCalibration) {
    const std::uint16_t at_default = CodeAfterSetting(12.0);
    ASSERT_EQ(zel_SelectWavelength(inst, 1625), 1);
    EXPECT_EQ(core->CurrentSlot(), 2);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(core->ActiveVOA(3)[k], core->CachedVOA(2, 3)[k]) << k;
    EXPECT_EQ(core->ActiveTAP(3), core->CachedTAP(2, 3));
    const std::uint16_t at_1625 = CodeAfterSetting(12.0);
    EXPECT_NE(at_1625, at_default);  // the slots hold different curves
    const double* c = core->CachedVOA(2, 3);
    EXPECT_NEAR(core->Attenuation(c, at_1625), 12.0, 0.01);

    // Back to the default wavelength: slot 0's calibration is in use again.
    ASSERT_EQ(zel_SelectWavelength(inst, 1310), 1);
    EXPECT_EQ(core->CurrentSlot(), 0);
    EXPECT_EQ(CodeAfterSetting(12.0), at_default);
}

TEST_F(SelectWavelengthTest, UnknownWavelengthKeepsSlotAndCalibration) {
    ASSERT_EQ(zel_SelectWavelength(inst, 1550), 1);
    const double before = core->ActiveVOA(5)[1];
    unit->clear_frames();
    EXPECT_EQ(zel_SelectWavelength(inst, 1490), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_FOUND);
    EXPECT_EQ(core->CurrentSlot(), 1);
    EXPECT_EQ(core->ActiveVOA(5)[1], before);
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(zel_SelectWavelength(nullptr, 1550), 0);
}

}  // namespace
