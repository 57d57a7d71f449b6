// Extras that reach past the two families' split: tracing a table entry's link, an instance
// choosing the wavelength whose calibration its dB and power operations use, the instance forms
// of the unit-index operations, what a host learns about its unit, and block EEPROM reads.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "api/instance_table.h"
#include "support/unit_fixture.h"
#include "transport/frame_codec.h"
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

// ---- block EEPROM reads ----

class BlockReadTest : public SelectWavelengthTest {
protected:
    void SetUp() override {
        SelectWavelengthTest::SetUp();
        std::mt19937 random(16);
        image.resize(ZEL_EEPROM_SIZE);
        for (auto& b : image) b = static_cast<std::uint8_t>(random());
        unit->model().SetEepromImage(image);
        unit->clear_frames();
    }
    // Addresses of the block reads the unit received, in order; any other frame fails the test.
    std::vector<std::uint32_t> BlockReads() {
        std::vector<std::uint32_t> at;
        for (const auto& f : unit->frames()) {
            EXPECT_FALSE(zeltest::IsRegisterFrame(f));
            EXPECT_EQ(f[1], zel::frame::kSubBlock);
            EXPECT_EQ(f[zel::frame::kBlockDirection], 0x01);
            at.push_back(zel::codec::GetLE32(&f[zel::frame::kBlockAddress]));
        }
        unit->clear_frames();
        return at;
    }
    std::vector<std::uint8_t> image;
};

TEST_F(BlockReadTest, ReadsAnyRangeWithOneBlockPer128Bytes) {
    struct Range {
        std::uint32_t address;
        std::size_t length;
        std::vector<std::uint32_t> blocks;
    };
    const Range ranges[] = {
        {0x2000, 128, {0x2000}},
        {0x2000, 129, {0x2000, 0x2080}},
        {0x1F3, 300, {0x1F3, 0x273, 0x2F3}},             // unaligned start and end
        {0x7F, 2, {0x7F}},                               // two bytes astride a 128-byte boundary
        {ZEL_EEPROM_SIZE - 5, 5, {ZEL_EEPROM_SIZE - 128}},  // the last bytes: no block past the end
        {ZEL_EEPROM_SIZE - 200, 200, {ZEL_EEPROM_SIZE - 200, ZEL_EEPROM_SIZE - 128}},
        {0x10000 - 64, 128, {0x10000 - 64}},             // across the two 64 KiB banks
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(testing::Message() << std::hex << r.address << " +" << std::dec << r.length);
        std::vector<std::uint8_t> got(r.length + 2, 0xEE);
        ASSERT_EQ(zel_ReadEEProm(inst, r.address, got.data() + 1, r.length), 1);
        EXPECT_EQ(zel_LastError(inst), ZEL_OK);
        EXPECT_TRUE(std::equal(got.begin() + 1, got.end() - 1, image.begin() + r.address));
        EXPECT_EQ(got.front(), 0xEE);
        EXPECT_EQ(got.back(), 0xEE);
        EXPECT_EQ(BlockReads(), r.blocks);
    }

    std::vector<std::uint8_t> all(ZEL_EEPROM_SIZE);
    ASSERT_EQ(zel_ReadEEProm(inst, 0, all.data(), all.size()), 1);
    EXPECT_EQ(all, image);
    const auto blocks = BlockReads();
    ASSERT_EQ(blocks.size(), 1024u);
    for (std::size_t i = 0; i < blocks.size(); ++i) ASSERT_EQ(blocks[i], 128 * i);
}

TEST_F(BlockReadTest, RefusesRangesBeyondTheEEPromWithoutSending) {
    std::uint8_t byte = 0x5A;
    std::vector<std::uint8_t> buffer(256, 0x5A);
    EXPECT_EQ(zel_ReadEEProm(inst, ZEL_EEPROM_SIZE - 1, buffer.data(), 2), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_ReadEEProm(inst, ZEL_EEPROM_SIZE, &byte, 1), 0);
    EXPECT_EQ(zel_ReadEEProm(inst, 0xFFFFFFFFu, &byte, 1), 0);
    EXPECT_EQ(zel_ReadEEProm(inst, 0x100, buffer.data(), SIZE_MAX), 0);  // length that would wrap the sum
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_ReadEEProm(inst, 0, nullptr, 4), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(byte, 0x5A);
    EXPECT_TRUE(unit->frames().empty());
    // Up to the very end, and an empty range, are fine.
    EXPECT_EQ(zel_ReadEEProm(inst, ZEL_EEPROM_SIZE, buffer.data(), 0), 1);
    EXPECT_TRUE(unit->frames().empty());
    ASSERT_EQ(zel_ReadEEProm(inst, ZEL_EEPROM_SIZE - 1, &byte, 1), 1);
    EXPECT_EQ(byte, image.back());
}

TEST_F(BlockReadTest, FailsWholeWhenABlockIsLost) {
    zel_SetTimeout(inst, 300);
    const struct {
        zelsim::Fault kind;
        zel_error reason;
    } faults[] = {{zelsim::Fault::Close, ZEL_ERR_PEER_CLOSED},
                  {zelsim::Fault::Stall, ZEL_ERR_TIMEOUT},
                  {zelsim::Fault::ShortReply, ZEL_ERR_SHORT_REPLY}};
    for (const auto& fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault.kind));
        unit->server().SetFaults({.kind = fault.kind, .after_frames = 3});
        std::vector<std::uint8_t> buffer(1000, 0xEE);
        EXPECT_EQ(zel_ReadEEProm(inst, 0x3010, buffer.data(), buffer.size()), 0);
        EXPECT_EQ(zel_LastError(inst), fault.reason);
        // Nothing of the blocks that did arrive reaches the host, and no block follows the lost one.
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 1000);
        EXPECT_LE(unit->frames().size(), 4u);
        unit->server().SetFaults({});
        unit->clear_frames();
        // The next call reopens the link and reads the range whole.
        ASSERT_EQ(zel_ReadEEProm(inst, 0x3010, buffer.data(), buffer.size()), 1);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), image.begin() + 0x3010));
        unit->clear_frames();
    }
}

}  // namespace
