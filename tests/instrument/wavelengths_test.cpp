// Wavelength table: the connect-time scan of the used slots into the calibration cache, loading the
// active calibration, and selecting, adding and defaulting wavelengths.
#include "calibration_support.h"
#include "transport/frame_codec.h"

namespace {

using zeltest::AddressOf;
using zeltest::IsRegisterFrame;
using zeltest::IsWrite;
using zeltest::SelectOf;
using zeltest::ValueOf;

bool IsBlockRead(const zelsim::Frame& f) { return f[0] == zel::frame::kCommandFrame && f[1] == 0x00 && f[2] == 0x01; }

std::vector<std::uint32_t> BlockReadAddresses(const std::vector<zelsim::Frame>& frames) {
    std::vector<std::uint32_t> out;
    for (const auto& f : frames)
        if (IsBlockRead(f)) out.push_back(zel::codec::GetLE32(&f[5]));
    return out;
}
std::vector<std::uint32_t> SlotBlocks(std::initializer_list<int> slots) {
    std::vector<std::uint32_t> out;
    for (int w : slots)
        for (std::uint32_t offset : {8u, 136u, 264u}) out.push_back(caltest::SlotBase(w) + offset);
    return out;
}

using caltest::UnitOf;

// ---- a board type 0 unit with only its default slot ----

class DefaultSlotOnly : public zeltest::UnitTest {
protected:
    DefaultSlotOnly() : UnitTest(UnitOf(0, {})) {}

    // The EEPROM bytes written by the frames in the log, as (address, byte) pairs.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> Written() {
        std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
        for (const auto& a : zeltest::EepromAccesses(unit->frames())) {
            EXPECT_TRUE(a.write);
            EXPECT_EQ(a.select, 0u);
            out.emplace_back(a.address, a.value);
        }
        return out;
    }
    using Writes = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
};

TEST_F(DefaultSlotOnly, ConnectFindsOneEntryAndOnlyTheDefaultWavelengthSelects) {
    ASSERT_EQ(unit->model().Eeprom(0x2800), 0xFF);
    ASSERT_EQ(unit->model().Eeprom(0x2801), 0xFF);
    unit->clear_frames();
    ASSERT_EQ(inst.Connect(unit->ip()), 1);
    // Board ID 1, board type 16 and three blocks for slot 0, the free slot's word 4, the board type
    // again when the calibrations are loaded 16.
    EXPECT_EQ(unit->frames().size(), 40u);
    EXPECT_EQ(BlockReadAddresses(unit->frames()), SlotBlocks({0}));
    EXPECT_EQ(inst.Wavelengths(), std::vector<std::int32_t>{0});
    EXPECT_EQ(inst.CacheValid(), 1);
    EXPECT_EQ(inst.CurrentSlot(), 0);

    unit->clear_frames();
    EXPECT_EQ(inst.SetWavelength(1550), 0);
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(inst.SetWavelength(1310), 1);
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(inst.SetDefaultWavelength(), 1);
    EXPECT_EQ(inst.ScanWavelengths(0), 1);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(DefaultSlotOnly, AddedWavelengthIsWrittenHighByteFirstAndSelected) {
    ConnectInstrument();
    caltest::PrimeStatusField(inst, 0);
    unit->clear_frames();
    EXPECT_EQ(inst.AddWavelength(1550), 1);
    EXPECT_EQ(unit->frames().size(), 4u);
    EXPECT_EQ(Written(), (Writes{{0x2800, 0x06}, {0x2801, 0x0E}}));
    EXPECT_EQ(unit->model().Eeprom(0x2800), 0x06);
    EXPECT_EQ(unit->model().Eeprom(0x2801), 0x0E);
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{0, 1550}));
    EXPECT_EQ(inst.CurrentSlot(), 1);
    EXPECT_EQ(inst.StatusField(), 0);  // the table operations keep out of the status field

    unit->clear_frames();
    ASSERT_EQ(inst.SetDefaultWavelength(), 1);  // from slot 1, with a valid cache: nothing sent
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(inst.AddWavelength(1550), 1);
    EXPECT_EQ(inst.CurrentSlot(), 1);
    EXPECT_EQ(inst.SetWavelength(1550), 1);
    EXPECT_EQ(inst.Wavelengths().size(), 2u);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(DefaultSlotOnly, DefaultWavelengthOfTheBoardIsNotAddedUpToBoardTypeFive) {
    ConnectInstrument();
    EXPECT_EQ(inst.AddWavelength(1310), 0);
    for (int type : {1, 4}) {
        inst.AdoptBoardType(type);
        EXPECT_EQ(inst.AddWavelength(850), 0) << type;
    }
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(inst.Wavelengths().size(), 1u);

    inst.AdoptBoardType(0);
    EXPECT_EQ(inst.AddWavelength(850), 1);  // not type 0's default
    EXPECT_EQ(inst.CurrentSlot(), 1);
    inst.AdoptBoardType(6);
    unit->clear_frames();
    EXPECT_EQ(inst.AddWavelength(1310), 1);  // types 6 and 7 add their default
    EXPECT_EQ(Written(), (Writes{{0x3000, 0x05}, {0x3001, 0x1E}}));
    EXPECT_EQ(inst.CurrentSlot(), 2);
    EXPECT_EQ(inst.SetWavelength(1310), 1);  // ... yet selecting it still means slot 0
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(inst.AddWavelength(1310), 1);  // while adding it again selects its slot
    EXPECT_EQ(inst.CurrentSlot(), 2);
    inst.AdoptBoardType(4);
    EXPECT_EQ(inst.SetWavelength(850), 1);  // the default of type 4 wins over the list
    EXPECT_EQ(inst.CurrentSlot(), 0);
}

TEST_F(DefaultSlotOnly, SixSlotsAtMost) {
    ConnectInstrument();
    const std::uint16_t added[] = {1550, 1490, 1625, 1570, 1590};
    for (int i = 0; i < 5; ++i) {
        unit->clear_frames();
        EXPECT_EQ(inst.AddWavelength(added[i]), 1);
        const std::uint16_t base = caltest::SlotBase(i + 1);
        EXPECT_EQ(Written(), (Writes{{base, added[i] >> 8}, {static_cast<std::uint16_t>(base + 1), added[i] & 0xFF}}));
        EXPECT_EQ(inst.CurrentSlot(), i + 1);
    }
    unit->clear_frames();
    EXPECT_EQ(inst.AddWavelength(1600), 0);
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{0, 1550, 1490, 1625, 1570, 1590}));
    EXPECT_EQ(inst.CurrentSlot(), 5);
    EXPECT_EQ(inst.AddWavelength(1625), 1);  // a wavelength in the list is still selected
    EXPECT_EQ(inst.CurrentSlot(), 3);
}

TEST_F(DefaultSlotOnly, FailedWavelengthWriteLeavesListAndSlotAlone) {
    ConnectInstrument();
    unit->server().SetFaults({.kind = zelsim::Fault::Close, .after_frames = 2});  // the low byte's address
    EXPECT_EQ(inst.AddWavelength(1550), 0);
    EXPECT_EQ(inst.Wavelengths(), std::vector<std::int32_t>{0});
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(unit->model().Eeprom(0x2800), 0x06);  // the high byte went through
}

TEST_F(DefaultSlotOnly, FreeSlotMarkerIsNoWavelength) {
    ConnectInstrument();
    for (int pass = 0; pass < 2; ++pass) {
        inst.ClearLastError();
        EXPECT_EQ(inst.AddWavelength(0xFFFF), 0);
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT);
        inst.ClearLastError();
        EXPECT_EQ(inst.SetWavelength(0xFFFF), 0);
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT);
        EXPECT_EQ(inst.CurrentSlot(), 0);
        // Refused before the scan that an invalid cache would call for.
        ASSERT_EQ(inst.AddWavelength(0xFFFE), 1);
        ASSERT_EQ(inst.SetDefaultWavelength(), 1);
        unit->clear_frames();
    }
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{0, 0xFFFE}));
    EXPECT_EQ(unit->model().Eeprom(0x3000), 0xFF);  // slot 2 stays the first free one
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(DefaultSlotOnly, AddedSlotIsNoCalibrationUntilTheHostWritesIt) {
    ConnectInstrument();
    ASSERT_EQ(inst.AddWavelength(1550), 1);
    ASSERT_EQ(inst.LoadCalibrations(), 1);  // the slot's cache entries, never read from the unit
    EXPECT_TRUE(inst.ActiveTAPUncalibrated(0));
    EXPECT_TRUE(inst.ActiveVOAUncalibrated(0));
    unit->clear_frames();
    double x = -1;
    EXPECT_EQ(inst.SetVOAAttenuation(0, 10.0), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_EQ(inst.ReadOpticalPower(0, &x), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_TRUE(unit->frames().empty());

    const double linear[4] = {0, 0, 0.01, 0};
    ASSERT_EQ(inst.WriteTAPCalibration(0, 0.002), 1);
    ASSERT_EQ(inst.WriteVOACalibration(0, linear), 1);
    unit->clear_frames();
    EXPECT_EQ(inst.SetVOAAttenuation(0, 10.0), 1);
    ASSERT_EQ(unit->frames().size(), 1u);
    EXPECT_EQ(ValueOf(unit->frames()[0]), 1000);
    double power = -1;
    EXPECT_EQ(inst.ReadOpticalPower(0, &power), 1);
    EXPECT_GE(power, 0.0);
}

TEST_F(DefaultSlotOnly, ConnectFailsWhenAnyOfItsReadsFails) {
    zeltest::ShortenLinkTimeouts(300);
    // Board ID 0, board type 1..16, slot 0's blocks 17..19, the free slot's word 20..23, and the
    // board type again while loading the calibrations 24..39.
    for (std::uint64_t exchange : {0, 30}) {
        caltest::OneFailedExchange fault(unit->server(), exchange);
        inst.ClearLastError();
        EXPECT_EQ(inst.Connect(unit->ip()), 0) << exchange;
        EXPECT_NE(inst.LastError(), ZEL_OK) << exchange;
    }
    // The failed load left channel 0 without calibration: refused, not driven through zeros.
    unit->clear_frames();
    EXPECT_EQ(inst.SetVOAAttenuation(0, 10.0), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(inst.Connect(unit->ip()), 1);
    EXPECT_FALSE(inst.ActiveVOAUncalibrated(0));
}

TEST_F(DefaultSlotOnly, QuickConnectFailsWhenAnyOfItsReadsFails) {
    zeltest::ShortenLinkTimeouts(300);
    // Board ID 0 and again 1 (the second reply settles the reply length), the board type's block 2,
    // slot 0's blocks 3..5, the free slot's entry 6, the board type again while loading the
    // calibrations 7: eight exchanges, and none may fail unnoticed.
    unit->clear_frames();
    ASSERT_EQ(inst.QuickConnect(unit->ip()), 1);
    ASSERT_EQ(unit->frames().size(), 8u);
    EXPECT_EQ(BlockReadAddresses(unit->frames()),
              (std::vector<std::uint32_t>{0x2000, 0x2008, 0x2088, 0x2108, 0x2800, 0x2000}));
    for (std::uint64_t exchange = 0; exchange < 8; ++exchange) {
        caltest::OneFailedExchange fault(unit->server(), exchange);
        inst.ClearLastError();
        EXPECT_EQ(inst.QuickConnect(unit->ip()), 0) << exchange;
        EXPECT_NE(inst.LastError(), ZEL_OK) << exchange;
    }
    EXPECT_EQ(inst.QuickConnect(unit->ip()), 1);
    EXPECT_FALSE(inst.ActiveVOAUncalibrated(0));
}

// ---- a board type 6 unit with all six slots calibrated ----

class SixSlots : public zeltest::UnitTest {
protected:
    SixSlots() : UnitTest(UnitOf(6, {1550, 1490, 1625, 1570, 1590})) {}
};

TEST_F(SixSlots, ConnectCachesEverySlotAsTheRecordsHoldIt) {
    const auto& m = unit->model();
    // A negative TAP pattern: the scan reads the 64 bits as unsigned, the record read as negative.
    caltest::PutScaled(unit->model(), caltest::TapAddress(4, 6), -1.0);
    unit->clear_frames();
    ASSERT_EQ(inst.Connect(unit->ip()), 1);
    // Exchanges: board ID 1
    //   + slot 0: board type record (8 bytes x address write and data read) 16 + three blocks 3 = 19
    //   + slots 1..5: wavelength word (2 bytes x 2 exchanges) 4 + three blocks 3, five times = 35
    //   + (the loop ends after the slot at 0x4800: no wavelength word of a seventh slot is read)
    //   + loading the calibrations: the board type record again 16; every TAP factor and VOA
    //     coefficient comes from the cache, 0
    //   = 71.
    EXPECT_EQ(unit->frames().size(), 71u);
    EXPECT_EQ(BlockReadAddresses(unit->frames()), SlotBlocks({0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{6, 1550, 1490, 1625, 1570, 1590}));
    EXPECT_EQ(inst.CacheValid(), 1);
    EXPECT_EQ(inst.CurrentSlot(), 0);

    for (int w = 0; w < 6; ++w) {
        for (int s = 0; s < 8; ++s) {
            SCOPED_TRACE(testing::Message() << "slot " << w << " select " << s);
            EXPECT_EQ(caltest::AsArray(inst.CachedVOA(w, s)), caltest::StoredVOA(m, w, s));
            if (w == 4 && s == 6) continue;
            EXPECT_EQ(inst.CachedTAP(w, s), caltest::StoredTAP(m, w, s));
        }
    }
    // 2^64 - 10^12 over 10^12.
    EXPECT_NEAR(inst.CachedTAP(4, 6), 18446743.073709551616, 1e-6);
    // The slots really differ, so a scan that filed one slot's content under another would show.
    EXPECT_NE(inst.CachedTAP(0, 0), inst.CachedTAP(1, 0));
    EXPECT_NE(inst.CachedVOA(2, 0)[1], inst.CachedVOA(3, 0)[1]);
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(inst.ActiveTAP(s), inst.CachedTAP(0, s));
        EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(s)), caltest::AsArray(inst.CachedVOA(0, s)));
    }

    // The instrument's own record reads of slot 5, select 7 agree with the cache.
    double tap = 0, c3 = 0;
    ASSERT_EQ(inst.ReadScaledRecord(0, 256 * 5 + 1 + 7, &tap), 1);
    ASSERT_EQ(inst.ReadRawRecord(0, 256 * 5 + 10 + 4 * 7 + 3, &c3), 1);
    EXPECT_EQ(tap, inst.CachedTAP(5, 7));
    EXPECT_EQ(c3, inst.CachedVOA(5, 7)[3]);
    ASSERT_EQ(inst.ReadScaledRecord(0, 256 * 4 + 1 + 6, &tap), 1);
    EXPECT_DOUBLE_EQ(tap, -9223372.036854776);
}

TEST_F(SixSlots, QuickConnectReadsTheTableEntriesByBlocksAndNoByteOfTheEeprom) {
    unit->clear_frames();
    ASSERT_EQ(inst.QuickConnect(unit->ip()), 1);
    const auto frames = unit->frames();
    // The board ID, read twice, is the one register read (the second settles the length of the
    // unit's replies, so that no block read waits for the unit to fall quiet); each slot's entry is
    // one block and its calibration the connect's three, and loading the calibrations reads the
    // board type once more.
    ASSERT_EQ(frames.size(), 2u + 6 * 4 + 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(IsRegisterFrame(frames[i]));
        EXPECT_EQ(AddressOf(frames[i]), 20u);
    }
    std::vector<std::uint32_t> expected;
    for (int w = 0; w < 6; ++w) {
        expected.push_back(caltest::SlotBase(w));
        for (std::uint32_t a : SlotBlocks({w})) expected.push_back(a);
    }
    expected.push_back(0x2000);
    EXPECT_EQ(BlockReadAddresses(frames), expected);
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{6, 1550, 1490, 1625, 1570, 1590}));
    EXPECT_EQ(inst.CacheValid(), 1);
    EXPECT_EQ(inst.StatusField(), 1);
}

TEST_F(SixSlots, EverySlotIsSelectedByItsWavelengthWithoutTraffic) {
    ConnectInstrument();
    EXPECT_EQ(inst.SetWavelength(1590), 1);
    EXPECT_EQ(inst.CurrentSlot(), 5);
    EXPECT_EQ(inst.SetWavelength(1490), 1);
    EXPECT_EQ(inst.CurrentSlot(), 2);
    EXPECT_EQ(inst.SetWavelength(1311), 0);
    EXPECT_EQ(inst.CurrentSlot(), 2);
    EXPECT_EQ(inst.SetWavelength(6), 0);  // entry 0 holds the board type, not a wavelength
    EXPECT_EQ(inst.AddWavelength(1600), 0);
    EXPECT_EQ(inst.SetWavelength(1310), 1);
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_EQ(inst.Wavelengths().size(), 6u);
}

TEST_F(SixSlots, ForcedScanRereadsTheUnitAndLoadsTheCurrentSlot) {
    ConnectInstrument();
    ASSERT_EQ(inst.SetWavelength(1625), 1);
    // A slot change alone leaves the active calibration of slot 0 in place.
    EXPECT_EQ(inst.ActiveTAP(1), inst.CachedTAP(0, 1));
    caltest::PutScaled(unit->model(), caltest::TapAddress(3, 1), 0.0421875);
    caltest::PutRaw(unit->model(), caltest::VoaAddress(3, 7, 2), 0.0078125);
    EXPECT_EQ(inst.ScanWavelengths(1), 1);
    EXPECT_EQ(inst.CurrentSlot(), 3);
    EXPECT_EQ(inst.CachedTAP(3, 1), 0.0421875);
    EXPECT_EQ(inst.CachedVOA(3, 7)[2], 0.0078125);
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(inst.ActiveTAP(s), inst.CachedTAP(3, s)) << s;
        EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(s)), caltest::AsArray(inst.CachedVOA(3, s))) << s;
    }
}

// ---- an unknown board type ----

class UnknownBoardType : public zeltest::UnitTest {
protected:
    UnknownBoardType() : UnitTest(UnitOf(9, {1310, 1550})) {}
};

TEST_F(UnknownBoardType, OnlyListEntriesSelectASlot) {
    ConnectInstrument();
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{9, 1310, 1550}));
    EXPECT_EQ(inst.SetWavelength(1310), 1);
    EXPECT_EQ(inst.CurrentSlot(), 1);
    for (std::uint16_t wl : {850, 9}) {
        EXPECT_EQ(inst.SetWavelength(wl), 0) << wl;
        EXPECT_EQ(inst.CurrentSlot(), 1);
    }
    EXPECT_EQ(inst.SetWavelength(1550), 1);
    EXPECT_EQ(inst.CurrentSlot(), 2);
    EXPECT_EQ(inst.AddWavelength(1310), 1);  // no default to refuse: the listed slot is selected
    EXPECT_EQ(inst.CurrentSlot(), 1);
    EXPECT_TRUE(unit->frames().empty());
}

// ---- scans that fail ----

// Board type 7: one calibrated channel, on select 3.
class FailingScan : public zeltest::UnitTest {
protected:
    FailingScan() : UnitTest(UnitOf(7, {1550, 1625})) {}
};

TEST_F(FailingScan, BlockReadFailurePartWayLeavesTheSlotListedAndLoadsFromTheRecords) {
    zeltest::ShortenLinkTimeouts(300);
    const auto& m = unit->model();
    unit->clear_frames();
    {
        // Board ID 0, board type 1..16, slot 0's blocks 17..19, slot 1's word 20..23, its blocks
        // 24..26: the second block of slot 1 fails.
        caltest::OneFailedExchange fault(unit->server(), 25);
        EXPECT_EQ(inst.Connect(unit->ip()), 0);
    }
    EXPECT_EQ(inst.Wavelengths(), (std::vector<std::int32_t>{7, 1550}));
    EXPECT_EQ(inst.CacheValid(), 0);
    EXPECT_EQ(inst.CurrentSlot(), 0);
    EXPECT_EQ(inst.CachedTAP(0, 3), caltest::StoredTAP(m, 0, 3));
    for (int s = 0; s < 8; ++s) {
        EXPECT_EQ(inst.CachedTAP(1, s), 0.0) << s;  // the failed slot is not filed
        EXPECT_EQ(caltest::AsArray(inst.CachedVOA(1, s)), (std::array<double, 4>{})) << s;
    }
    const auto frames = unit->frames();
    EXPECT_EQ(BlockReadAddresses(frames), SlotBlocks({0, 1}));  // the slot's third block is still read
    // Then the calibrations come from the records: the board type, select 3's TAP factor and its
    // four VOA coefficients, each 8 bytes of 2 exchanges.
    ASSERT_EQ(frames.size(), 27u + 16 + 16 + 64);
    const std::vector<zelsim::Frame> load(frames.begin() + 27, frames.end());
    std::vector<std::uint16_t> expected = caltest::Consecutive(0x2000, 8);
    for (std::uint16_t a : caltest::Consecutive(caltest::TapAddress(0, 3), 8)) expected.push_back(a);
    for (std::uint16_t a : caltest::Consecutive(caltest::VoaAddress(0, 3, 0), 32)) expected.push_back(a);
    EXPECT_EQ(caltest::EepromAddresses(load), expected);
    EXPECT_EQ(inst.ActiveTAP(3), caltest::StoredTAP(m, 0, 3));
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(3)), caltest::StoredVOA(m, 0, 3));

    // With the cache invalid, the next selection scans again.
    unit->clear_frames();
    EXPECT_EQ(inst.SetWavelength(1625), 1);
    EXPECT_EQ(inst.CurrentSlot(), 2);
    EXPECT_EQ(inst.CacheValid(), 1);
    EXPECT_EQ(BlockReadAddresses(unit->frames()), SlotBlocks({0, 1, 2}));
    EXPECT_EQ(inst.CachedTAP(1, 3), caltest::StoredTAP(m, 1, 3));
}

TEST_F(FailingScan, ErasedCalibrationRecordsAreNoCalibrationEither) {
    zeltest::ShortenLinkTimeouts(300);
    auto& m = unit->model();
    caltest::PutBytes(m, caltest::TapAddress(0, 3), caltest::kErasedRecord);
    caltest::PutBytes(m, caltest::VoaAddress(0, 3, 3), caltest::kErasedRecord);
    {
        caltest::OneFailedExchange fault(unit->server(), 17);  // slot 0's first block
        ASSERT_EQ(inst.Connect(unit->ip()), 0);
    }
    ASSERT_EQ(inst.CacheValid(), 0);  // the calibrations came from the records
    EXPECT_TRUE(inst.ActiveTAPUncalibrated(3));
    EXPECT_TRUE(inst.ActiveVOAUncalibrated(3));
    unit->clear_frames();
    double x = -1;
    EXPECT_EQ(inst.SetVOAAttenuation(0, 5.0), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_EQ(inst.ReadVOAAttenuation(0, &x), 0);
    EXPECT_EQ(inst.ReadOpticalPower(0, &x), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CALIBRATED);
    EXPECT_EQ(x, -1);
    EXPECT_TRUE(unit->frames().empty());
}

TEST_F(FailingScan, WavelengthReadFailureEndsTheScanWithoutLoading) {
    ConnectInstrument();
    const double tap = inst.ActiveTAP(3);
    const auto voa = caltest::AsArray(inst.ActiveVOA(3));
    ASSERT_NE(tap, 0.0);
    // Board type 0..15, slot 0's blocks 16..18, slot 1's word from 19: its second exchange fails.
    unit->server().SetFaults({.kind = zelsim::Fault::Close, .after_frames = 20});
    // As one call from an export: after the closed link nothing more is sent.
    ASSERT_TRUE(inst.Link().EnterCall());
    EXPECT_EQ(inst.ScanWavelengths(1), 0);
    inst.Link().LeaveCall();
    EXPECT_EQ(unit->frames().size(), 21u);
    EXPECT_EQ(inst.Wavelengths(), std::vector<std::int32_t>{7});
    EXPECT_EQ(inst.CacheValid(), 0);
    EXPECT_EQ(inst.ActiveTAP(3), tap);  // loading would have cleared it before failing
    EXPECT_EQ(caltest::AsArray(inst.ActiveVOA(3)), voa);
    EXPECT_EQ(inst.SetWavelength(1550), 0);  // the dead link fails the rescan
}

}  // namespace
