// Identity registers and the EEPROM against a simulated unit: serial numbers, firmware revision,
// board type, single bytes, scaled and raw records, direct-address values and block words.
//
// The settling pauses are observed, not waited for: on the test thread the library's sleep is
// recorded together with the number of frames the instrument had sent at that moment.
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "instrument/record_codec.h"
#include "register_checks.h"

namespace {

// A pause the instrument asked for: frames sent before it, and its length.
struct Pause {
    int after_frames;
    unsigned ms;
    bool operator==(const Pause&) const = default;
};

struct PauseLog {
    int frames_sent = 0;
    std::vector<Pause> pauses;
};

thread_local PauseLog* active_log = nullptr;

// Whether the library pauses through the nanosleep below, so that this program sees every pause:
// not on Windows, where the pauses are kernel32 timers. Cases that check the pauses skip elsewhere.
constexpr bool kPausesObserved = ZEL_PAUSES_THROUGH_NANOSLEEP;
#define SKIP_UNLESS_PAUSES_OBSERVED() \
    if (!kPausesObserved) GTEST_SKIP() << "the library's pauses do not go through the C library's nanosleep here"

}  // namespace

// Stands in for the C library's nanosleep in this test program: on a thread that observes pauses
// the request is recorded and returns at once; everywhere else it sleeps as usual.
extern "C" int nanosleep(const struct timespec* request, struct timespec* remaining) {
    if (active_log != nullptr) {
        const auto ms = static_cast<unsigned>(request->tv_sec * 1000 + request->tv_nsec / 1000000);
        active_log->pauses.push_back({active_log->frames_sent, ms});
        return 0;
    }
    const int r = ::clock_nanosleep(CLOCK_REALTIME, 0, request, remaining);
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

namespace {

namespace rec = zel::records;
using zelsim::Fault;
using zeltest::AddressOf;
using zeltest::AddressRun;
using zeltest::BitsOf;
using zeltest::EepromAccess;
using zeltest::IsRegisterAccess;
using zeltest::IsRegisterFrame;
using zeltest::IsWrite;
using zeltest::SelectOf;
using zeltest::ValueOf;

const double kNegativeReading = -9223372.036854776;

void CountSentFrame(void* user, int direction, const std::uint8_t*, std::size_t) {
    if (direction == 0) ++static_cast<PauseLog*>(user)->frames_sent;
}

// One 10 ms pause after every `every`-th frame of a 16-frame transfer.
std::vector<Pause> PausesEvery(int every) {
    std::vector<Pause> out;
    for (int f = every; f <= 16; f += every) out.push_back({f, 10});
    return out;
}

class EepromTest : public zeltest::UnitTest {
protected:
    void SetUp() override {
        inst.SetFrameTrace(&CountSentFrame, &log_);
        active_log = &log_;
        ConnectInstrument();
        Restart();
    }
    void TearDown() override { active_log = nullptr; }

    // Forget the frames and pauses seen so far.
    void Restart() {
        unit->clear_frames();
        log_ = PauseLog{};
    }
    const std::vector<Pause>& Pauses() const { return log_.pauses; }

    // The eight EEPROM byte accesses of one record transfer; fails unless the unit saw exactly
    // 16 register frames, each address write followed by its data access.
    std::vector<EepromAccess> EightBytes() {
        const auto frames = unit->frames();
        EXPECT_EQ(frames.size(), 16u);
        for (const auto& f : frames) EXPECT_TRUE(IsRegisterFrame(f));
        auto acc = zeltest::EepromAccesses(frames);
        EXPECT_EQ(acc.size(), 8u);
        return acc;
    }
    static std::vector<std::uint16_t> AddressesOf(const std::vector<EepromAccess>& acc) {
        std::vector<std::uint16_t> out;
        for (const auto& a : acc) out.push_back(a.address);
        return out;
    }
    void PutEeprom(std::uint32_t address, const rec::Bytes8& bytes) {
        for (unsigned i = 0; i < 8; ++i) unit->model().SetEeprom(address + i, bytes[i]);
    }
    rec::Bytes8 EepromAt(std::uint32_t address, unsigned wrap = 0x10000) {
        rec::Bytes8 b{};
        const std::uint32_t bank = address & ~(wrap - 1);
        for (unsigned i = 0; i < 8; ++i) b[i] = unit->model().Eeprom(bank + ((address + i) & (wrap - 1)));
        return b;
    }
    // Make every exchange from the next frame on fail at once: the unit drops the connection.
    void DropConnection(std::uint64_t after_frames = 0) {
        unit->server().SetFaults({.kind = Fault::Close, .after_frames = after_frames});
    }
    // Reconnect with a short link time-out, then let the unit answer frames from `after_frames` on
    // with `bytes` reply bytes: those exchanges fail by time-out, but the unit still sees them.
    void TruncateRepliesFrom(std::uint64_t after_frames, std::size_t bytes) {
        zeltest::ShortenLinkTimeouts(100);
        ConnectInstrument();
        zeltest::ShortenLinkTimeouts();
        Restart();
        unit->server().SetFaults({.kind = Fault::ShortReply, .after_frames = after_frames, .short_bytes = bytes});
    }

    PauseLog log_;
};

// ---- identity ----

TEST_F(EepromTest, ExtendedSerialIsValidWhileCheckWordOverFiveEqualsWordThree) {
    auto& m = unit->model();
    m.SetRegister(0, 21, 0x1111);
    m.SetRegister(0, 22, 0x2222);
    m.SetRegister(0, 23, 0x3333);
    m.SetRegister(0, 24, 0x0007);
    m.SetRegister(0, 25, 5 * 7 + 4);
    std::int64_t serial = -1;
    std::int32_t flag = -1;
    EXPECT_EQ(inst.ReadSerialNumber(&serial, &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(serial, 0x0007333322221111ll);
    std::vector<unsigned> regs;
    for (const auto& f : unit->frames()) {
        EXPECT_FALSE(IsWrite(f));
        EXPECT_EQ(SelectOf(f), 0u);
        regs.push_back(AddressOf(f));
    }
    EXPECT_EQ(regs, (std::vector<unsigned>{21, 22, 23, 24, 25}));

    // One more and the quotient is 8: the board serial number (registers 21, 22 read again) is used.
    m.SetRegister(0, 25, 5 * 7 + 5);
    Restart();
    EXPECT_EQ(inst.ReadSerialNumber(&serial, &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(serial, 0x22221111ll);
    regs.clear();
    for (const auto& f : unit->frames()) regs.push_back(AddressOf(f));
    EXPECT_EQ(regs, (std::vector<unsigned>{21, 22, 23, 24, 25, 21, 22}));
}

TEST_F(EepromTest, BoardSerialWithTopBitSetIsSignExtendedByTheFallback) {
    auto& m = unit->model();
    m.SetRegister(0, 21, 0x0002);
    m.SetRegister(0, 22, 0x8001);
    m.SetRegister(0, 24, 7);
    m.SetRegister(0, 25, 0);
    const auto board = static_cast<std::int32_t>(0x80010002u);
    EXPECT_EQ(inst.ReadBoardSN(), board);
    std::int64_t serial = 0;
    std::int32_t flag = 1;
    EXPECT_EQ(inst.ReadSerialNumber(&serial, &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(serial, static_cast<std::int64_t>(board));
    EXPECT_LT(serial, 0);
}

TEST_F(EepromTest, WriteBoardSerialSplitsIntoLowAndSignExtendedHighWord) {
    EXPECT_EQ(inst.WriteBoardSN(-2), 1);
    auto frames = unit->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(IsRegisterAccess(frames[0], true, 0, 21));
    EXPECT_EQ(ValueOf(frames[0]), 0xFFFE);
    EXPECT_TRUE(IsRegisterAccess(frames[1], true, 0, 22));
    EXPECT_EQ(ValueOf(frames[1]), 0xFFFF);

    EXPECT_EQ(inst.WriteBoardSN(0x12345678), 1);
    EXPECT_EQ(unit->model().Register(0, 21), 0x5678);
    EXPECT_EQ(unit->model().Register(0, 22), 0x1234);
    EXPECT_EQ(inst.ReadBoardSN(), 0x12345678);
}

TEST_F(EepromTest, IdentityOperationsFailWhenAnyExchangeFails) {
    // Serial words 21..24 and the check word 25 succeed; the fall-back's read of word 22 fails.
    unit->model().SetRegister(0, 25, 0);
    unit->model().SetRegister(0, 24, 7);
    TruncateRepliesFrom(6, 0);
    std::int64_t serial = 0;
    std::int32_t flag = 1;
    EXPECT_EQ(inst.ReadSerialNumber(&serial, &flag), 0);
    EXPECT_EQ(flag, 0);

    // Only the high word's write fails.
    Restart();
    unit->server().SetFaults({.kind = Fault::ShortReply, .after_frames = 1, .short_bytes = 0});
    EXPECT_EQ(inst.WriteBoardSN(5), 0);
    EXPECT_EQ(unit->model().Register(0, 21), 5);

    DropConnection();
    EXPECT_EQ(inst.WriteBoardSN(5), 0);
    EXPECT_EQ(inst.ReadSerialNumber(&serial, &flag), 0);
}

TEST_F(EepromTest, FirmwareRevisionIsTheWordInTenths) {
    unit->model().SetRegister(0, 9, 123);
    EXPECT_EQ(inst.ReadFirmwareRevision(), 12.3);
    auto frames = unit->frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(IsRegisterAccess(frames[0], false, 0, 9));
    unit->model().SetRegister(0, 9, 0xFFFF);
    EXPECT_EQ(inst.ReadFirmwareRevision(), 6553.5);
}

// ---- board type ----

TEST_F(EepromTest, StoredBoardTypeIsTruncatedToItsLowSixteenBits) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    struct Case {
        rec::Bytes8 stored;  // scaled record 0
        std::uint16_t type;
    };
    const Case cases[] = {
        {{0x00, 0x58, 0x1D, 0x0A, 0x8C, 0x03, 0x00, 0x00}, 3},  // 3.9
        {{0x00, 0x20, 0x4A, 0xB9, 0x76, 0xD6, 0xE8, 0x00}, 2},  // 65538
    };
    for (const Case& c : cases) {
        inst.AdoptBoardType(6);
        PutEeprom(0x2000, c.stored);
        Restart();
        std::uint16_t type = 0xBEEF;
        EXPECT_EQ(inst.ReadTypeFromEEPROM(&type), 1);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(inst.StatusField(), 1);
        EXPECT_EQ(inst.BoardType(), c.type);
        EXPECT_EQ(inst.Layout(), std::vector<std::int32_t>(8, 0));
        EXPECT_EQ(inst.PortCount(), 4);
        EXPECT_EQ(inst.ChannelCount(), 1);
        auto acc = EightBytes();
        EXPECT_EQ(AddressesOf(acc), AddressRun(0x2000));
        for (const auto& a : acc) EXPECT_FALSE(a.write);
        EXPECT_EQ(Pauses(), PausesEvery(2));
    }
}

TEST_F(EepromTest, WritingTheBoardTypeStoresRecordZeroAndRebuildsTheLayout) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    EXPECT_EQ(inst.WriteTypeToEEPROM(4), 1);
    EXPECT_EQ(inst.StatusField(), 1);
    EXPECT_EQ(inst.BoardType(), 4);
    EXPECT_EQ(inst.Layout(), (std::vector<std::int32_t>{0, 1, 2, 3, 0, 1, 2, 3}));
    EXPECT_EQ(unit->model().BoardType(), 4);
    EXPECT_EQ(EepromAt(0x2000), (rec::Bytes8{0x00, 0x40, 0x94, 0x52, 0xA3, 0x03, 0x00, 0x00}));
    EXPECT_EQ(AddressesOf(EightBytes()), AddressRun(0x2000));
    EXPECT_EQ(Pauses(), PausesEvery(2));
}

TEST_F(EepromTest, FailedTypeTransfersKeepTypeAndLayout) {
    const auto layout = inst.Layout();
    const int type = inst.BoardType();
    DropConnection(3);
    EXPECT_EQ(inst.WriteTypeToEEPROM(7), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(inst.BoardType(), type);
    EXPECT_EQ(inst.Layout(), layout);

    unit->server().SetFaults({});
    ConnectInstrument();
    unit->model().SetRegister(0, 9, 0x007B);
    inst.ReadFirmwareRevision();  // the last reply the link receives carries 0x7B
    DropConnection();
    std::uint16_t out = 0xBEEF;
    EXPECT_EQ(inst.ReadTypeFromEEPROM(&out), 0);
    EXPECT_EQ(inst.StatusField(), 0);
    EXPECT_EQ(inst.BoardType(), type);
    EXPECT_EQ(inst.Layout(), layout);
    // The type is still handed out, decoded from what every failed read delivered.
    const double seen = rec::DecodeScaled({0x7B, 0x7B, 0x7B, 0x7B, 0x7B, 0x7B, 0x7B, 0x7B});
    EXPECT_EQ(out, static_cast<std::uint16_t>(static_cast<std::int64_t>(seen)));
}

// ---- single bytes ----

TEST_F(EepromTest, SingleByteOperationsUseAddressAndDataRegisterWithoutPause) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    EXPECT_EQ(inst.WriteValueToEEProm(0x1234, 0xAB5A), 1);
    auto frames = unit->frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(IsRegisterAccess(frames[0], true, 0, 10));
    EXPECT_EQ(ValueOf(frames[0]), 0x1234);
    EXPECT_TRUE(IsRegisterAccess(frames[1], true, 0, 11));
    EXPECT_EQ(ValueOf(frames[1]), 0xAB5A);  // the whole word goes out
    EXPECT_EQ(unit->model().Eeprom(0x1234), 0x5A);
    EXPECT_TRUE(Pauses().empty());

    unit->model().SetEeprom(0x4321, 0xC3);
    Restart();
    EXPECT_EQ(inst.ReadValueFromEEProm(0x4321), 1);
    EXPECT_EQ(inst.LastEepromByte(), 0xC3);
    auto acc = zeltest::EepromAccesses(unit->frames());
    ASSERT_EQ(acc.size(), 1u);
    EXPECT_EQ(acc[0].address, 0x4321);
    EXPECT_FALSE(acc[0].write);
    EXPECT_TRUE(Pauses().empty());

    DropConnection();
    EXPECT_EQ(inst.WriteValueToEEProm(0x1234, 1), 0);
    EXPECT_EQ(inst.ReadValueFromEEProm(0x4321), 0);
}

// ---- records ----

TEST_F(EepromTest, ScaledRecordStoresAndReadsBackOnePointFive) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    const rec::Bytes8 bytes{0x00, 0x98, 0xF7, 0x3E, 0x5D, 0x01, 0x00, 0x00};
    EXPECT_EQ(inst.WriteScaledRecord(0, 5, 1.5), 1);
    EXPECT_EQ(EepromAt(0x2028), bytes);
    auto acc = EightBytes();
    EXPECT_EQ(AddressesOf(acc), AddressRun(0x2028));
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(acc[i].write);
        EXPECT_EQ(acc[i].select, 0u);
        EXPECT_EQ(acc[i].value, bytes[i]);  // high byte zero
    }
    EXPECT_EQ(Pauses(), PausesEvery(2));

    Restart();
    double x = 0;
    EXPECT_EQ(inst.ReadScaledRecord(0, 5, &x), 1);
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(AddressesOf(EightBytes()), AddressRun(0x2028));
    EXPECT_EQ(Pauses(), PausesEvery(2));
}

TEST_F(EepromTest, ScaledValuesTheEncodingCannotHoldAreRefusedWithoutSending) {
    const double inf = std::numeric_limits<double>::infinity();
    const double bad[] = {-1.0,
                          -1e-13,
                          -inf,
                          inf,
                          std::numeric_limits<double>::quiet_NaN(),
                          9223372.036854775808,  // 2^63 / 10^12
                          9223372.04,
                          1e7,
                          std::numeric_limits<double>::max()};
    const auto image = unit->model().EepromImage();
    for (double x : bad) {
        inst.ClearLastError();
        EXPECT_EQ(inst.WriteScaledRecord(0, 6, x), 0) << x;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << x;
        inst.ClearLastError();
        EXPECT_EQ(inst.WriteDoubleValueToEEProm(0x5000, x), 0) << x;
        EXPECT_EQ(inst.LastError(), ZEL_ERR_BAD_ARGUMENT) << x;
    }
    EXPECT_TRUE(unit->frames().empty());
    EXPECT_TRUE(Pauses().empty());
    EXPECT_EQ(unit->model().EepromImage(), image);

    // What it can hold reads back as written, up to just below 2^63 / 10^12; -0 is stored as 0.
    for (double x : {-0.0, 9223372.036854}) {
        double back = -1;
        EXPECT_EQ(inst.WriteScaledRecord(0, 6, x), 1) << x;
        EXPECT_EQ(inst.ReadScaledRecord(0, 6, &back), 1) << x;
        EXPECT_NEAR(back, x, 1e-12 * (1 + x)) << x;
        back = -1;
        EXPECT_EQ(inst.WriteDoubleValueToEEProm(0x5000, x), 1) << x;
        EXPECT_EQ(inst.ReadDoubleValueFromEEProm(0x5000, &back), 1) << x;
        EXPECT_NEAR(back, x, 1e-12 * (1 + x)) << x;
    }
}

TEST_F(EepromTest, NegativeScaledPatternReadsBackAsTheMostNegativeValue) {
    // Stored before such values were refused, a negative value's pattern still reads this way.
    PutEeprom(0x2030, {0x00, 0xF0, 0x5A, 0x2B, 0x17, 0xFF, 0xFF, 0xFF});
    double x = 0;
    EXPECT_EQ(inst.ReadScaledRecord(0, 6, &x), 1);
    EXPECT_EQ(x, kNegativeReading);
}

TEST_F(EepromTest, RawRecordKeepsTheDoubleBitForBit) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    EXPECT_EQ(inst.WriteStatusToEEProm(0, 7, -1.0), 1);
    EXPECT_EQ(EepromAt(0x2038), (rec::Bytes8{0, 0, 0, 0, 0, 0, 0xF0, 0xBF}));
    EXPECT_EQ(AddressesOf(EightBytes()), AddressRun(0x2038));
    EXPECT_EQ(Pauses(), PausesEvery(2));
    Restart();
    double x = 0;
    EXPECT_EQ(inst.ReadRawRecord(0, 7, &x), 1);
    EXPECT_EQ(x, -1.0);
    EXPECT_EQ(Pauses(), PausesEvery(2));

    const double odd = -std::ldexp(1.0, -1070);  // subnormal
    EXPECT_EQ(inst.WriteStatusToEEProm(3, 17, odd), 1);
    EXPECT_EQ(inst.ReadRawRecord(3, 17, &x), 1);
    EXPECT_EQ(BitsOf(x), BitsOf(odd));
}

TEST_F(EepromTest, RecordAddressesWrapAtSixtyFourKilobytes) {
    const auto above = EepromAt(0x10000);
    EXPECT_EQ(inst.WriteScaledRecord(0, 7168, 1.5), 1);
    EXPECT_EQ(AddressesOf(EightBytes()), AddressRun(0x0000));
    EXPECT_EQ(EepromAt(0x0000), (rec::Bytes8{0x00, 0x98, 0xF7, 0x3E, 0x5D, 0x01, 0x00, 0x00}));
    EXPECT_EQ(EepromAt(0x10000), above);  // the second bank is never reached this way
}

TEST_F(EepromTest, DirectAddressValueAt0xFFFCWrapsItsUpperHalfToAddressZero) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    const auto above = EepromAt(0x10000);
    EXPECT_EQ(inst.WriteDoubleValueToEEProm(0xFFFC, 1.5), 1);
    auto acc = EightBytes();
    EXPECT_EQ(AddressesOf(acc), (std::vector<std::uint16_t>{0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF, 0, 1, 2, 3}));
    for (const auto& a : acc) EXPECT_EQ(a.select, 0u);
    EXPECT_EQ(EepromAt(0xFFFC), (rec::Bytes8{0x00, 0x98, 0xF7, 0x3E, 0x5D, 0x01, 0x00, 0x00}));
    EXPECT_EQ(EepromAt(0x10000), above);
    EXPECT_EQ(Pauses(), PausesEvery(2));

    Restart();
    double x = 0;
    EXPECT_EQ(inst.ReadDoubleValueFromEEProm(0xFFFC, &x), 1);
    EXPECT_EQ(x, 1.5);
    EXPECT_EQ(AddressesOf(EightBytes()), (std::vector<std::uint16_t>{0xFFFC, 0xFFFD, 0xFFFE, 0xFFFF, 0, 1, 2, 3}));
    // The one transfer that also pauses between the address and the data register.
    EXPECT_EQ(Pauses(), PausesEvery(1));
}

TEST_F(EepromTest, RawDoubleAtAddressPicksTheBankBySizeAndWrapsWithinIt) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    struct Case {
        std::uint32_t address;
        unsigned select;
        std::vector<std::uint16_t> addresses;
    };
    const Case cases[] = {
        {0x10000, 1, AddressRun(0x0000)},
        {0xFFFF, 0, {0xFFFF, 0, 1, 2, 3, 4, 5, 6}},
        {0x1FFFE, 1, {0xFFFE, 0xFFFF, 0, 1, 2, 3, 4, 5}},
    };
    double value = 2.75;
    for (const Case& c : cases) {
        value = -value * 3;
        const auto low_bank = EepromAt(c.address & 0xFFFF);
        Restart();
        EXPECT_EQ(inst.WriteRawDoubleAtAddress(c.address, value), 1);
        auto acc = EightBytes();
        EXPECT_EQ(AddressesOf(acc), c.addresses) << c.address;
        for (const auto& a : acc) {
            EXPECT_TRUE(a.write);
            EXPECT_EQ(a.select, c.select) << c.address;
        }
        EXPECT_EQ(EepromAt(c.address), rec::EncodeRaw(value)) << c.address;
        if (c.select == 1) {
            EXPECT_EQ(EepromAt(c.address & 0xFFFF), low_bank) << c.address;
        }
        EXPECT_TRUE(Pauses().empty()) << c.address;
    }
}

TEST_F(EepromTest, BlockWordIsTheFirstTwoBytesOfABlockRead) {
    unit->model().SetEeprom(0x2400, 0x34);
    unit->model().SetEeprom(0x2401, 0x12);
    unit->model().SetEeprom(0x12008, 0xCD);
    unit->model().SetEeprom(0x12009, 0xAB);
    std::uint16_t word = 0;
    EXPECT_EQ(inst.ReadBlockWord(0x2400, &word), 1);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(inst.ResultField(), 1);
    EXPECT_EQ(inst.ReadBlockWord(0x12008, &word), 1);
    EXPECT_EQ(word, 0xABCD);
    auto frames = unit->frames();
    ASSERT_EQ(frames.size(), 2u);
    const std::uint8_t head[9] = {0xF1, 0x00, 0x01, 0x80, 0x00, 0x08, 0x20, 0x01, 0x00};
    EXPECT_EQ(std::memcmp(frames[1].data(), head, sizeof head), 0);

    DropConnection();
    EXPECT_EQ(inst.ReadBlockWord(0x2400, &word), 0);
    EXPECT_EQ(inst.ResultField(), 0);
}

// ---- failures during a transfer ----

TEST_F(EepromTest, FailedReadStillHandsOutWhatTheLinkDelivered) {
    PutEeprom(0x2040, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    // Bytes 0 and 1 arrive; from byte 2 on each read repeats the last reply, which carried byte 1.
    DropConnection(4);
    double x = 0;
    EXPECT_EQ(inst.ReadRawRecord(0, 8, &x), 0);
    EXPECT_EQ(BitsOf(x), 0x2222222222222211ull);
}

TEST_F(EepromTest, FailedScaledReadStillDecodes) {
    PutEeprom(0x2040, rec::EncodeScaled(1.5));
    DropConnection(4);  // bytes 0x00, 0x98 arrive, then 0x98 repeats
    double x = 0;
    EXPECT_EQ(inst.ReadScaledRecord(0, 8, &x), 0);
    EXPECT_EQ(x, rec::DecodeScaled({0x00, 0x98, 0x98, 0x98, 0x98, 0x98, 0x98, 0x98}));
}

TEST_F(EepromTest, NoDataByteFollowsAFailedAddressWrite) {
    SKIP_UNLESS_PAUSES_OBSERVED();
    // From the second byte on the unit answers without a byte: every later exchange times out.
    // An address write that did not go through is not followed by its data write, so only byte 0
    // is stored.
    const auto before = EepromAt(0x2048);
    TruncateRepliesFrom(2, 0);
    EXPECT_EQ(inst.WriteStatusToEEProm(0, 9, 0.5), 0);
    const auto frames = unit->frames();
    for (std::size_t i = 2; i < frames.size(); ++i) EXPECT_TRUE(IsRegisterAccess(frames[i], true, 0, 10)) << i;
    auto stored = before;
    stored[0] = rec::EncodeRaw(0.5)[0];
    EXPECT_EQ(EepromAt(0x2048), stored);

    // The single-byte write too.
    Restart();
    unit->server().SetFaults({.kind = Fault::ShortReply, .after_frames = 0, .short_bytes = 0});
    EXPECT_EQ(inst.WriteValueToEEProm(0x2049, 0x5A), 0);
    EXPECT_EQ(unit->frames().size(), 1u);
    EXPECT_EQ(EepromAt(0x2048), stored);
    unit->server().SetFaults({});

    // Reads from the second byte on come back short; the address writes still succeed.
    PutEeprom(0x2050, rec::EncodeRaw(-3.25));
    Restart();
    unit->server().SetFaults({.kind = Fault::ShortReply, .after_frames = 3, .short_bytes = 2});
    double x = 0;
    EXPECT_EQ(inst.ReadRawRecord(0, 10, &x), 0);
    EXPECT_EQ(unit->frames().size(), 16u);
    EXPECT_EQ(Pauses(), PausesEvery(2));
    EXPECT_EQ(BitsOf(x) & 0xFF, BitsOf(-3.25) & 0xFF);  // byte 0 arrived before the fault
}

}  // namespace
