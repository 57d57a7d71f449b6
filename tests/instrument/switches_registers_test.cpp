// Optical switches, switch insertion loss, raw register access, status records (Monitor),
// temperature and the front-panel screen, against a simulated unit.
#include <climits>
#include <cmath>

#include "instrument/record_codec.h"
#include "register_checks.h"

namespace {

namespace rec = zel::records;

using zelsim::Fault;
using zeltest::AddressRun;
using zeltest::BitsOf;
using zeltest::IsRegisterAccess;
using zeltest::IsWrite;
using zeltest::SelectOf;
using zeltest::ValueOf;

constexpr int kInterleavedType = 5;  // layout 0, 1, 2, 3, 0, 1, 2, 3; default wavelength 1310
constexpr int kAllThreeType = 7;     // layout 3 in every entry

class SwitchRegisterTest : public zeltest::UnitTest {
protected:
    // Replaces the unit with one of the given board type (and extra wavelength slots) and connects.
    void ConnectBoard(int board_type, std::vector<std::uint16_t> extra_wavelengths = {}) {
        zelsim::UnitConfig cfg;
        cfg.board_type = board_type;
        cfg.extra_wavelengths = std::move(extra_wavelengths);
        unit = std::make_unique<zeltest::SimulatedUnit>(cfg);
        ConnectInstrument();
        ASSERT_EQ(inst.BoardType(), board_type);
    }
    // The single frame the last operation sent.
    zelsim::Frame OnlyFrame() {
        auto frames = unit->frames();
        EXPECT_EQ(frames.size(), 1u);
        unit->clear_frames();
        return frames.empty() ? zelsim::Frame{} : frames.back();
    }
    std::vector<std::uint16_t> RecordAddresses(bool write) {
        std::vector<std::uint16_t> out;
        for (const auto& a : zeltest::EepromAccesses(unit->frames())) {
            EXPECT_EQ(a.write, write);
            EXPECT_EQ(a.select, 0u);
            out.push_back(a.address);
        }
        unit->clear_frames();
        return out;
    }
    void DropConnection() { unit->server().SetFaults({.kind = Fault::Close}); }
    // A status field of 1 left by an operation that records one.
    void StatusOne() {
        ASSERT_EQ(inst.SwitchSelect_LBMM(0, 0), 1);
        unit->clear_frames();
    }
    // A status field of 0 left by a channel without a layout entry (nothing is sent).
    void StatusZero() { ASSERT_EQ(inst.SwitchSelect_2x2(8, 0), 0); }
};

// ---- 2x2 switches ----

TEST_F(SwitchRegisterTest, TwoByTwoSwitchOfEachChannelFollowsTheLayout) {
    ConnectBoard(kInterleavedType);
    for (std::uint16_t c = 0; c < 8; ++c) {
        EXPECT_EQ(inst.SwitchSelect_2x2(c, static_cast<std::uint16_t>(0x100 + c)), 1);
        const auto f = OnlyFrame();
        EXPECT_TRUE(IsRegisterAccess(f, true, c % 4u, 33)) << c;
        EXPECT_EQ(ValueOf(f), 0x100 + c);
    }
    EXPECT_EQ(unit->model().Register(1, 33), 0x105);  // channel 5 came after channel 1 on select 1

    unit->model().SetRegister(1, 33, 1);
    std::uint16_t p = 0xFFFF;
    EXPECT_EQ(inst.ReadSwitchSelect_2x2(5, &p), 1);
    EXPECT_EQ(p, 1);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 1, 33));
}

TEST_F(SwitchRegisterTest, OnTheAllThreeLayoutEveryChannelReachesSelectThree) {
    ConnectBoard(kAllThreeType);
    for (std::uint16_t c = 0; c < 8; ++c) {
        EXPECT_EQ(inst.SwitchSelect_2x2(c, 1), 1);
        EXPECT_EQ(SelectOf(OnlyFrame()), 3u) << c;
        std::uint16_t p = 0;
        EXPECT_EQ(inst.ReadSwitchSelect_2x2(c, &p), 1);
        EXPECT_EQ(SelectOf(OnlyFrame()), 3u) << c;
    }
}

TEST_F(SwitchRegisterTest, BoardTypeFromTheUnitsRecordDecidesTheSelect) {
    // Board type written into record 0 of the unit, read when the instrument connects.
    for (unsigned i = 0; i < 8; ++i) unit->model().SetEeprom(0x2000 + i, rec::EncodeScaled(4.0)[i]);
    ConnectInstrument();
    EXPECT_EQ(inst.SwitchSelect_2x2(6, 0), 1);
    EXPECT_EQ(SelectOf(OnlyFrame()), 2u);
}

TEST_F(SwitchRegisterTest, FailedSwitchExchangeGivesStatusZeroAndStillHandsOutAWord) {
    ConnectBoard(kInterleavedType);
    unit->model().SetRegister(0, 35, 0x0304);
    std::uint16_t p = 0;
    ASSERT_EQ(inst.ReadSwitchSelect_LBMM(0, &p), 1);
    EXPECT_EQ(p, 0x0304);
    EXPECT_EQ(inst.StatusField(), 1);
    DropConnection();
    p = 0;
    EXPECT_EQ(inst.ReadSwitchSelect_MEMS(0, &p), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(p, 0x0304);  // the last reply the link received
    p = 0;
    EXPECT_EQ(inst.ReadSwitchSelect_2x2(2, &p), 0);
    EXPECT_EQ(p, 0x0304);
    EXPECT_EQ(inst.SwitchSelect_2x2(2, 1), 0);
    EXPECT_EQ(inst.SwitchSelect_MEMS(0, 1), 0);
}

// ---- selector switches ----

TEST_F(SwitchRegisterTest, SelectorSwitchesUseRegisters34And35OnSelectZero) {
    ConnectInstrument();
    std::uint32_t host_position = 0x12345;  // a wider host value keeps its low 16 bits
    EXPECT_EQ(inst.SwitchSelect_MEMS(7, static_cast<std::uint16_t>(host_position)), 1);
    auto f = OnlyFrame();
    EXPECT_TRUE(IsRegisterAccess(f, true, 0, 34));
    EXPECT_EQ(ValueOf(f), 0x2345);
    EXPECT_EQ(unit->model().Register(0, 34), 0x2345);

    EXPECT_EQ(inst.SwitchSelect_LBMM(7, 3), 1);
    f = OnlyFrame();
    EXPECT_TRUE(IsRegisterAccess(f, true, 0, 35));
    EXPECT_EQ(ValueOf(f), 3);

    unit->model().SetRegister(0, 34, 6);
    std::uint16_t p = 0;
    EXPECT_EQ(inst.ReadSwitchSelect_MEMS(7, &p), 1);
    EXPECT_EQ(p, 6);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 0, 34));
    EXPECT_EQ(inst.ReadSwitchSelect_LBMM(7, &p), 1);
    EXPECT_EQ(p, 3);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 0, 35));
}

TEST_F(SwitchRegisterTest, IgnoredArgumentLeavesTheFrameUnchanged) {
    ConnectInstrument();
    using Set = std::uint8_t (ZEL_API::*)(std::uint16_t, std::uint16_t);
    using Get = std::uint8_t (ZEL_API::*)(std::uint16_t, std::uint16_t*);
    for (Set op : {&ZEL_API::SwitchSelect_MEMS, &ZEL_API::SwitchSelect_LBMM}) {
        std::vector<zelsim::Frame> frames;
        for (std::uint16_t ignored : {0, 1, 7, 0xFFFF}) {
            EXPECT_EQ((inst.*op)(ignored, 2), 1);
            frames.push_back(OnlyFrame());
        }
        for (const auto& f : frames) EXPECT_EQ(f, frames[0]);
    }
    for (Get op : {&ZEL_API::ReadSwitchSelect_MEMS, &ZEL_API::ReadSwitchSelect_LBMM}) {
        std::vector<zelsim::Frame> frames;
        for (std::uint16_t ignored : {0, 1, 7, 0xFFFF}) {
            std::uint16_t p = 0;
            EXPECT_EQ((inst.*op)(ignored, &p), 1);
            EXPECT_EQ(p, 2);
            frames.push_back(OnlyFrame());
        }
        for (const auto& f : frames) EXPECT_EQ(f, frames[0]);
    }
}

// ---- switch insertion loss ----

TEST_F(SwitchRegisterTest, ChannelsSharingASelectShareTheirInsertionLossRecord) {
    ConnectBoard(kInterleavedType);
    StatusZero();
    EXPECT_EQ(inst.Write4x1SwitchInsertionLoss(5, 0.75), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(RecordAddresses(true), AddressRun(0x2380));  // record 111 + 1 of slot 0
    double loss = 0;
    StatusZero();
    EXPECT_EQ(inst.Read4x1SwitchInsertionLoss(1, &loss), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(loss, 0.75);
    EXPECT_EQ(RecordAddresses(false), AddressRun(0x2380));
}

TEST_F(SwitchRegisterTest, OnTheAllThreeLayoutEveryChannelUsesRecord114) {
    ConnectBoard(kAllThreeType);
    EXPECT_EQ(inst.Write4x1SwitchInsertionLoss(6, 1.125), 1);
    EXPECT_EQ(RecordAddresses(true), AddressRun(0x2000 + 8 * 114));
    double loss = 0;
    EXPECT_EQ(inst.Read4x1SwitchInsertionLoss(0, &loss), 1);
    EXPECT_EQ(loss, 1.125);
}

TEST_F(SwitchRegisterTest, InsertionLossFollowsTheCurrentWavelengthSlot) {
    ConnectBoard(kInterleavedType, {1550, 1625});
    ASSERT_EQ(inst.SetWavelength(1625), 1);
    ASSERT_EQ(inst.CurrentSlot(), 2);
    unit->clear_frames();
    EXPECT_EQ(inst.Write4x1SwitchInsertionLoss(1, 1.25), 1);
    EXPECT_EQ(RecordAddresses(true), AddressRun(0x3380));
    const rec::Bytes8 stored{0x00, 0x54, 0xCE, 0x09, 0x23, 0x01, 0x00, 0x00};  // 1.25, scaled
    for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(unit->model().Eeprom(0x3380 + i), stored[i]) << i;
    double loss = 0;
    EXPECT_EQ(inst.Read4x1SwitchInsertionLoss(5, &loss), 1);
    EXPECT_EQ(loss, 1.25);
}

TEST_F(SwitchRegisterTest, FailedInsertionLossTransferGivesStatusZero) {
    ConnectBoard(kInterleavedType);
    StatusOne();
    DropConnection();
    EXPECT_EQ(inst.Write4x1SwitchInsertionLoss(1, 0.5), 0);
    EXPECT_EQ(inst.StatusField(), 0);

    unit->server().SetFaults({});
    ConnectInstrument();
    StatusOne();
    DropConnection();
    double loss = std::nan("");
    EXPECT_EQ(inst.Read4x1SwitchInsertionLoss(1, &loss), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_FALSE(std::isnan(loss));  // decoded from whatever the failed reads delivered
}

// ---- raw register access ----

TEST_F(SwitchRegisterTest, BoardRegisterAccessUsesTheChannelsSelect) {
    ConnectBoard(kInterleavedType);
    std::uint16_t v = 0x0BAD;
    EXPECT_EQ(inst.AccessBoardRegister(1, 6, 100, &v), 1);
    auto f = OnlyFrame();
    EXPECT_TRUE(IsRegisterAccess(f, true, 2, 100));
    EXPECT_EQ(ValueOf(f), 0x0BAD);
    EXPECT_EQ(unit->model().Register(2, 100), 0x0BAD);

    unit->model().SetRegister(3, 200, 0x7E57);
    v = 0;
    EXPECT_EQ(inst.AccessBoardRegister(0, 7, 200, &v), 1);
    EXPECT_EQ(v, 0x7E57);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 3, 200));
}

TEST_F(SwitchRegisterTest, AnyNonZeroWriteFlagWrites) {
    ConnectBoard(kInterleavedType);
    for (std::uint8_t flag : {1, 2, 0x80, 0xFF}) {
        std::uint16_t v = flag;
        EXPECT_EQ(inst.AccessBoardRegister(flag, 0, 300, &v), 1);
        auto f = OnlyFrame();
        EXPECT_TRUE(IsWrite(f)) << int(flag);
        EXPECT_EQ(unit->model().Register(0, 300), flag);
    }
}

TEST_F(SwitchRegisterTest, RegisterAddressBeyondTheBankIsRefusedWithoutSending) {
    ConnectBoard(kInterleavedType);
    unit->model().SetRegister(1, 37, 0x0123);  // channel 1's VOA, one select above channel 0's bank
    unit->model().SetRegister(0, 2047, 0x07FF);
    StatusOne();
    // Bit 11 and up of an address would land in the select field (or the write bit) of the frame.
    for (std::uint16_t address : {0x0800, 0x0800 + 37, 0x0805, 0x8005, 0xFFFF}) {
        for (std::uint8_t write : {0, 1}) {
            std::uint16_t v = 0x0456;
            inst.ClearLastError();
            EXPECT_EQ(inst.AccessBoardRegister(write, 0, address, &v), 0) << address;
            EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << address;
            EXPECT_EQ(v, 0x0456) << address;
        }
    }
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(unit->model().Register(1, 37), 0x0123);
    EXPECT_EQ(inst.StatusField(), 1);
    // The last register of the bank is still reached.
    std::uint16_t v = 0;
    inst.ClearLastError();
    EXPECT_EQ(inst.AccessBoardRegister(0, 4, 2047, &v), 1);
    EXPECT_EQ(v, 0x07FF);
    EXPECT_EQ(inst.LastError(), ZEL_OK);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 0, 2047));
}

// By bank: every one of the 16 selects, those no channel maps to included, and nothing beyond.
TEST_F(SwitchRegisterTest, RegisterBankAccessReachesEverySelectAndNoOther) {
    ConnectBoard(kInterleavedType);  // channels on banks 0..3 only
    StatusOne();
    for (std::uint16_t select : {0, 3, 8, 12, 15}) {
        SCOPED_TRACE(select);
        std::uint16_t v = static_cast<std::uint16_t>(0x1000 + select);
        EXPECT_EQ(inst.AccessRegisterBank(1, select, 2047, &v), 1);
        auto f = OnlyFrame();
        EXPECT_TRUE(IsRegisterAccess(f, true, select, 2047));
        EXPECT_EQ(ValueOf(f), 0x1000 + select);
        EXPECT_EQ(unit->model().Register(select, 2047), 0x1000 + select);
        unit->model().SetRegister(select, 100, static_cast<std::uint16_t>(0x2000 + select));
        v = 0;
        EXPECT_EQ(inst.AccessRegisterBank(0, select, 100, &v), 1);
        EXPECT_EQ(v, 0x2000 + select);
        EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, select, 100));
    }
    // A select past the four bits would be cut to another bank, an address past the eleven would
    // spill into the select.
    const struct {
        std::uint16_t select, address;
    } refused[] = {{16, 100}, {28, 100}, {0xFFFF, 100}, {12, 2048}, {12, 0x8005}};
    for (const auto& c : refused) {
        for (std::uint8_t write : {0, 1}) {
            std::uint16_t v = 0x0456;
            inst.ClearLastError();
            EXPECT_EQ(inst.AccessRegisterBank(write, c.select, c.address, &v), 0) << c.select << " " << c.address;
            EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT);
            EXPECT_EQ(v, 0x0456);
        }
    }
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(unit->model().Register(12, 100), 0x200C);
    EXPECT_EQ(unit->model().Register(0, 100), 0x2000);
    EXPECT_EQ(inst.StatusField(), 1);
}

TEST_F(SwitchRegisterTest, BoardRegisterAccessLeavesTheStatusFieldAlone) {
    ConnectBoard(kInterleavedType);
    StatusOne();
    DropConnection();
    std::uint16_t v = 0;
    EXPECT_EQ(inst.AccessBoardRegister(0, 1, 33, &v), 0);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(inst.AccessBoardRegister(1, 1, 33, &v), 0);
    EXPECT_EQ(inst.StatusField(), 1);
}

TEST_F(SwitchRegisterTest, SuccessfulBoardRegisterAccessLeavesAFailedStatus) {
    ConnectBoard(kInterleavedType);
    EXPECT_EQ(inst.SwitchSelect_2x2(8, 1), 0);  // no such channel: status 0, nothing sent
    EXPECT_EQ(inst.StatusField(), 0);
    std::uint16_t v = 0;
    EXPECT_EQ(inst.AccessBoardRegister(0, 1, 33, &v), 1);
    EXPECT_EQ(inst.StatusField(), 0);
}

// ---- temperature ----

TEST_F(SwitchRegisterTest, TemperatureIsTheUnsignedWordOnTheGivenSelect) {
    ConnectInstrument();
    unit->model().ScriptReads(1, 16, {0xFFFF, 0x0000, 0x1234});
    EXPECT_EQ(inst.TempRead(1), 65535.0);
    EXPECT_TRUE(IsRegisterAccess(OnlyFrame(), false, 1, 16));
    EXPECT_EQ(inst.ResultField(), 1);
    EXPECT_EQ(inst.TempRead(1), 0.0);
    EXPECT_EQ(inst.ResultField(), 1);
    EXPECT_EQ(inst.TempRead(1), 4660.0);
    unit->clear_frames();
    unit->model().ScriptReads(15, 16, {0x0ABC});
    EXPECT_EQ(inst.TempRead(15), 2748.0);  // the top bank
    EXPECT_EQ(SelectOf(OnlyFrame()), 15u);
}

TEST_F(SwitchRegisterTest, TemperatureSelectOutsideTheSixteenBanksIsRefused) {
    ConnectInstrument();
    ASSERT_GE(inst.TempRead(0), 0.0);
    ASSERT_EQ(inst.ResultField(), 1);
    unit->clear_frames();
    // Cut to four bits these would read bank 0, 1, 15 and 10.
    for (std::int32_t select : {16, 17, -1, 0x1A, INT32_MIN, INT32_MAX}) {
        inst.ClearLastError();
        EXPECT_EQ(inst.TempRead(select), -1.0) << select;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << select;
        EXPECT_EQ(inst.ResultField(), 0) << select;
    }
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(SwitchRegisterTest, FailedTemperatureReadGivesMinusOne) {
    ConnectInstrument();
    unit->model().ScriptReads(2, 16, {0x4321});
    EXPECT_EQ(inst.TempRead(2), 17185.0);
    DropConnection();
    EXPECT_EQ(inst.TempRead(2), -1.0);
    EXPECT_EQ(inst.ResultField(), 0);
}

// ---- screen ----

TEST_F(SwitchRegisterTest, ScreenControlWritesOneByteToRegister38) {
    ConnectInstrument();
    ASSERT_EQ(inst.SwitchSelect_MEMS(0, 0xABCD), 1);  // leaves 0xCD 0xAB in the value bytes
    unit->clear_frames();
    std::uint16_t host_control = 0x1FF;  // a wider host value keeps its low 8 bits
    EXPECT_EQ(inst.ScreenControl(0x5555, static_cast<std::uint8_t>(host_control)), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    const auto f = OnlyFrame();
    EXPECT_TRUE(IsRegisterAccess(f, true, 0, 38));
    EXPECT_EQ(ValueOf(f), 0x00FF);
    EXPECT_EQ(unit->model().ScreenByte(), 0xFF);
    DropConnection();
    EXPECT_EQ(inst.ScreenControl(0, 1), 0);
    EXPECT_EQ(inst.StatusField(), 0);
}

// ---- status records ----

TEST_F(SwitchRegisterTest, MonitorReadsTheStatusRecordOfGroupAndNumber) {
    ConnectInstrument();
    struct Case {
        std::uint16_t group;
        std::uint8_t record;
        std::uint16_t address;
        double value;
    };
    const Case cases[] = {
        {1, 0, 0x2300, -273.15},
        {0, 255, 0x27F8, 6.02214076e23},
        {3, 17, 0x2000 + 8 * (3 * 96 + 17), -0.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inst.WriteStatusToEEProm(c.group, c.record, c.value), 1);
        EXPECT_EQ(RecordAddresses(true), AddressRun(c.address));
        double x = 1.0;
        EXPECT_EQ(inst.Monitor(c.group, c.record, &x), 1);
        EXPECT_EQ(BitsOf(x), BitsOf(c.value)) << c.value;
        EXPECT_EQ(inst.ResultField(), 1);
        EXPECT_EQ(RecordAddresses(false), AddressRun(c.address));
    }
}

TEST_F(SwitchRegisterTest, FailedMonitorGivesZeroAndLeavesTheStatusField) {
    ConnectInstrument();
    StatusOne();
    inst.TempRead(0);  // result field 1
    ASSERT_EQ(inst.ResultField(), 1);
    DropConnection();
    double x = std::nan("");
    EXPECT_EQ(inst.Monitor(0, 1, &x), 0);
    EXPECT_EQ(inst.ResultField(), 0);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_NE(BitsOf(x), BitsOf(std::nan("")));  // the value is still handed out
}

}  // namespace
