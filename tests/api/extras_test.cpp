// Extras that reach past the two families' split: tracing a table entry's link, an instance
// choosing the wavelength whose calibration its dB and power operations use, the instance forms
// of the unit-index operations, what a host learns about its unit, block EEPROM reads, and
// capturing an instance's frames to a file.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_table.h"
#include "support/unit_fixture.h"
#include "support/wait_for.h"
#include "transport/frame_codec.h"
#include "zel_capture/capture_read.h"
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

// The trace hook belongs to the call in flight: a setter on another thread meanwhile is refused at
// the call's entry with ZEL_ERR_BUSY and the hook stays as it was. A setter that goes through
// leaves the reason of the last failure as it was.
TEST(TraceSetters, RefusedWhileACallIsInFlightAndKeepTheLastError) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    static constexpr std::uint8_t u = 13;
    ASSERT_EQ(APIConnect(u, unit.ip().c_str()), 1);
    zel_instance* inst = zel_createInstance();
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    struct Family {
        const char* name;
        std::function<std::uint8_t(zel_frame_trace_fn, void*)> set_trace;
        std::function<std::uint8_t(std::uint16_t)> read_switch;  // one register exchange on a channel
        std::function<zel_error()> last_error;
    };
    const Family families[] = {
        {"unit index", [](zel_frame_trace_fn fn, void* user) { return APISetFrameTrace(u, fn, user); },
         [](std::uint16_t ch) {
             std::uint16_t position = 0;
             return APIReadSwicthSelect_2x2(u, ch, &position);
         },
         [] { return APILastError(u); }},
        {"instance", [inst](zel_frame_trace_fn fn, void* user) { return zel_SetFrameTrace(inst, fn, user); },
         [inst](std::uint16_t ch) {
             std::uint16_t position = 0;
             return zel_ReadSwitchSelect_2x2(inst, ch, &position);
         },
         [inst] { return zel_LastError(inst); }},
    };
    for (const Family& f : families) {
        SCOPED_TRACE(f.name);
        FrameCount installed, refused;
        ASSERT_EQ(f.set_trace(&FrameCount::Record, &installed), 1);
        unit.server().SetFaults({.kind = zelsim::Fault::Delay, .delay_ms = 500});
        const std::size_t frames = unit.server().FramesReceived();
        std::uint8_t owner_status = 0;
        std::thread owner([&] { owner_status = f.read_switch(1); });
        EXPECT_TRUE(zeltest::WaitFor([&] { return unit.server().FramesReceived() != frames; }));
        EXPECT_EQ(f.set_trace(&FrameCount::Record, &refused), 0);
        EXPECT_EQ(f.last_error(), ZEL_ERR_BUSY);
        EXPECT_EQ(f.set_trace(nullptr, nullptr), 0);
        owner.join();
        unit.server().SetFaults({});
        EXPECT_EQ(owner_status, 1);
        EXPECT_EQ(f.read_switch(1), 1);
        // The hook installed before the call saw both exchanges; the refused one saw nothing.
        EXPECT_EQ(installed.sent, 2);
        EXPECT_EQ(installed.received, 2);
        EXPECT_EQ(refused.sent + refused.received, 0);

        ASSERT_EQ(f.read_switch(99), 0);
        ASSERT_EQ(f.last_error(), ZEL_ERR_NO_SUCH_CHANNEL);
        EXPECT_EQ(f.set_trace(nullptr, nullptr), 1);
        EXPECT_EQ(f.last_error(), ZEL_ERR_NO_SUCH_CHANNEL);
    }
    EXPECT_EQ(APIDisconnect(u), 1);
    zel_destroyInstance(inst);
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
        {0x1F3, 300, {0x1F3, 0x273, 0x2F3}},                // unaligned start and end
        {0x7F, 2, {0x7F}},                                  // two bytes astride a 128-byte boundary
        {ZEL_EEPROM_SIZE - 5, 5, {ZEL_EEPROM_SIZE - 128}},  // the last bytes: no block past the end
        {ZEL_EEPROM_SIZE - 200, 200, {ZEL_EEPROM_SIZE - 200, ZEL_EEPROM_SIZE - 128}},
        {0x10000 - 64, 128, {0x10000 - 64}},  // across the two 64 KiB banks
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

TEST_F(BlockReadTest, RefusesRangesBeyondTheEepromWithoutSending) {
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

// ---- link reopens ----

// The unit closing the link is noticed by the next call, which reopens it (counted) or, with the
// automatic reopen off, fails until the host connects again.
TEST(LinkReopens, CountedAndLeftToTheHostWhenAutoReopenIsOff) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    zel_instance* inst = zel_createInstance();
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    std::uint32_t reopens = 99;
    ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
    EXPECT_EQ(reopens, 0u);
    EXPECT_EQ(zel_GetLinkReopens(inst, nullptr), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_GetLinkReopens(nullptr, &reopens), 0);
    EXPECT_EQ(zel_SetAutoReopen(nullptr, 0), 0);

    std::uint16_t code = 0;
    const auto close_link = [&] {
        unit.server().SetFaults({.kind = zelsim::Fault::Close});
        EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 0);
        EXPECT_EQ(zel_LastError(inst), ZEL_ERR_PEER_CLOSED);
        unit.server().SetFaults({});
        unit.clear_frames();
    };
    for (std::uint32_t round = 1; round <= 2; ++round) {
        close_link();
        EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
        ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
        EXPECT_EQ(reopens, round);
    }

    ASSERT_EQ(zel_SetAutoReopen(inst, 0), 1);
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);  // a link in step is not touched
    close_link();
    for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 0);
        EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_CONNECTED);
    }
    EXPECT_TRUE(unit.frames().empty());
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
    EXPECT_EQ(reopens, 2u);  // the connect is none

    ASSERT_EQ(zel_SetAutoReopen(inst, 1), 1);
    close_link();
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
    EXPECT_EQ(reopens, 3u);
    zel_destroyInstance(inst);
}

// ---- cancelling a call ----

using SteadyClock = std::chrono::steady_clock;

long long MillisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// `call` on `inst`, with zel_Cancel from another thread `after` it began: its result and how
// long it took.
struct CancelledRun {
    std::uint8_t result;
    long long ms;
};
CancelledRun RunCancelled(zel_instance* inst, const std::function<std::uint8_t()>& call,
                          std::chrono::milliseconds after) {
    std::thread canceller([&] {
        std::this_thread::sleep_for(after);
        zel_Cancel(inst);
    });
    const auto start = SteadyClock::now();
    const std::uint8_t result = call();
    const long long ms = MillisecondsSince(start);
    canceller.join();
    return {result, ms};
}

// A call blocked on each kind of wait (the reply of a unit that takes frames and never answers,
// a connect that is never accepted, the settling pauses of EEPROM writes to a healthy unit) ends
// with ZEL_ERR_CANCELLED soon after the cancel, long before its 8 s time-out, and sends nothing
// more (an EEPROM write stops short of its remaining bytes); the link is left out of step, so the
// next call reopens it and succeeds once the unit answers again.
TEST(Cancel, EndsACallAtItsWaitAndTheNextCallReopensTheLink) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    const std::string ip = unit.ip();
    std::uint16_t values[30];
    for (std::uint16_t i = 0; i < 30; ++i) values[i] = static_cast<std::uint16_t>(100 * i);
    struct Wait {
        const char* name;
        std::function<void(zel_instance*)> before;  // makes the call wait
        std::function<std::uint8_t(zel_instance*)> call;
        bool on_the_unit;  // a call on the connected unit (not a connect elsewhere, which leaves no link to reopen)
    };
    std::unique_ptr<zeltest::DroppingListener> dropping;
    const std::string dropped_ip = zeltest::UnusedLoopbackAddress();
    const Wait waits[] = {
        {"reply of a silent unit", [&](zel_instance*) { unit.server().SetFaults({.kind = zelsim::Fault::Stall}); },
         [](zel_instance* inst) {
             std::uint16_t code = 0;
             return zel_ReadVOACode(inst, 1, &code);
         },
         true},
        {"settling pauses", [](zel_instance*) {},
         [&](zel_instance* inst) { return zel_WriteVOADefinedValues(inst, 1, values); }, true},
        {"connect never accepted",
         [&](zel_instance*) {
             dropping = std::make_unique<zeltest::DroppingListener>(dropped_ip);
             ASSERT_TRUE(dropping->dropping());
         },
         [&](zel_instance* inst) { return zel_Connect(inst, dropped_ip.c_str()); }, false},
    };
    for (const Wait& w : waits) {
        SCOPED_TRACE(w.name);
        unit.server().SetFaults({});
        zel_instance* inst = zel_createInstance();
        ASSERT_EQ(zel_SetTimeout(inst, 8000), 1);
        ASSERT_EQ(zel_Connect(inst, ip.c_str()), 1);
        long long clean_ms = -1;
        if (w.on_the_unit) {
            const auto start = SteadyClock::now();
            ASSERT_EQ(w.call(inst), 1) << zel_ErrorText(zel_LastError(inst));
            clean_ms = MillisecondsSince(start);
        }
        w.before(inst);

        const CancelledRun run = RunCancelled(
            inst, [&] { return w.call(inst); }, std::chrono::milliseconds(200));
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(zel_LastError(inst), ZEL_ERR_CANCELLED);
        EXPECT_GE(run.ms, 190);
        EXPECT_LT(run.ms, 2000);  // a bound against waiting out the time-out, not a speed target
        std::printf("[ cancel   ] %s: ended after %lld ms (fault-free call %lld ms, time-out 8000 ms)\n", w.name,
                    run.ms, clean_ms);

        unit.server().SetFaults({});
        dropping.reset();
        std::uint32_t reopens = 99;
        ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
        const std::uint32_t before = reopens;
        if (!w.on_the_unit) {
            ASSERT_EQ(zel_Connect(inst, ip.c_str()), 1);
        }
        std::uint16_t code = 0;
        EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1) << zel_ErrorText(zel_LastError(inst));
        ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
        EXPECT_EQ(reopens, before + (w.on_the_unit ? 1u : 0u));
        zel_destroyInstance(inst);
    }
}

// A cancel reaches only a call in flight: one made before a call, between calls or on a unit
// with no link costs the next call nothing (no failure, no reopen); on null it does nothing.
TEST(Cancel, WithNoCallInFlightLeavesTheNextCallAlone) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    EXPECT_EQ(zel_Cancel(nullptr), 0);
    zel_instance* inst = zel_createInstance();
    EXPECT_EQ(zel_Cancel(inst), 1);  // no link yet
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    std::uint16_t code = 0;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(zel_Cancel(inst), 1);
        EXPECT_EQ(zel_LastError(inst), ZEL_OK);  // the cancel records nothing
        EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1) << zel_ErrorText(zel_LastError(inst));
    }
    // After a cancelled call, the cancel is spent: the next call is not cancelled too.
    unit.server().SetFaults({.kind = zelsim::Fault::Stall});
    const CancelledRun run = RunCancelled(
        inst, [&] { return zel_ReadVOACode(inst, 1, &code); }, std::chrono::milliseconds(100));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_CANCELLED);
    unit.server().SetFaults({});
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    std::uint32_t reopens = 0;
    ASSERT_EQ(zel_GetLinkReopens(inst, &reopens), 1);
    EXPECT_EQ(reopens, 1u);  // the cancelled call's only
    zel_destroyInstance(inst);
}

// ---- instance forms of the unit-index operations ----

// Out-values of one call, compared byte for byte between the two forms.
struct Outs {
    int result = -1;
    std::uint16_t words[30] = {};
    double values[4] = {};
    bool operator==(const Outs& o) const {
        return result == o.result && std::memcmp(words, o.words, sizeof words) == 0 &&
               std::memcmp(values, o.values, sizeof values) == 0;
    }
};

struct FormPair {
    const char* name;
    std::function<int(std::uint8_t, Outs&)> entry;
    std::function<int(zel_instance*, Outs&)> instance;
};

// Each instance form does what its unit-index form does: the same result and out-values, the
// same frames at the unit (none where both answer from the calibration read at connect), and in
// the end the same EEPROM. The two forms run on two identical
// units, one driven through table entry 20 and one through an instance, so that operations that
// change the unit (wavelength table, EEPROM) meet the same state in both.
TEST(InstanceForms, MatchTheUnitIndexFormsFrameForFrame) {
    zeltest::ShortenLinkTimeouts();
    zelsim::UnitConfig cfg;
    cfg.board_type = 6;
    cfg.extra_wavelengths = {1550};
    zeltest::SimulatedUnit for_entry(cfg), for_instance(cfg);
    const std::uint8_t u = 20;
    ASSERT_EQ(APIConnect(u, for_entry.ip().c_str()), 1);
    zel_instance* inst = zel_createInstance();
    ASSERT_EQ(zel_Connect(inst, for_instance.ip().c_str()), 1);

    static const double kCoefficients[4] = {0.75, 0.015, -2e-6, 3e-10};
    static std::uint16_t defined[30];
    for (int j = 0; j < 30; ++j) defined[j] = static_cast<std::uint16_t>(1000 * j + 7);
    const FormPair pairs[] = {
        {"AccessBoardRegister write",
         [](auto e, Outs& o) {
             o.words[0] = 0x1234;
             return APIAccessBoardRegister(e, 1, 2, 40, o.words);
         },
         [](auto i, Outs& o) {
             o.words[0] = 0x1234;
             return zel_AccessBoardRegister(i, 1, 2, 40, o.words);
         }},
        {"AccessBoardRegister read", [](auto e, Outs& o) { return APIAccessBoardRegister(e, 0, 2, 40, o.words); },
         [](auto i, Outs& o) { return zel_AccessBoardRegister(i, 0, 2, 40, o.words); }},
        {"SetVOACode", [](auto e, Outs&) { return APISetVOAAttenuation(e, 5, 2345); },
         [](auto i, Outs&) { return zel_SetVOACode(i, 5, 2345); }},
        {"ReadVOACode", [](auto e, Outs& o) { return APIReadVOAAttenuation(e, 5, o.words); },
         [](auto i, Outs& o) { return zel_ReadVOACode(i, 5, o.words); }},
        {"ReadOpticalPowerCount", [](auto e, Outs& o) { return APIReadOpticalPower(e, 2, o.words); },
         [](auto i, Outs& o) { return zel_ReadOpticalPowerCount(i, 2, o.words); }},
        {"ReadBoardSN", [](auto e, Outs&) { return static_cast<int>(APIReadBoardSN(e)); },
         [](auto i, Outs&) { return static_cast<int>(zel_ReadBoardSN(i)); }},
        {"WriteBoardSN", [](auto e, Outs&) { return APIWriteBoardSN(e, 0x0BADCAFE); },
         [](auto i, Outs&) { return zel_WriteBoardSN(i, 0x0BADCAFE); }},
        {"AddWavelength", [](auto e, Outs&) { return APIAddWavelength(e, 1490); },
         [](auto i, Outs&) { return zel_AddWavelength(i, 1490); }},
        {"WriteTAPCalibration", [](auto e, Outs&) { return APIWriteTAPCalibration(e, 3, 0.0625); },
         [](auto i, Outs&) { return zel_WriteTAPCalibration(i, 3, 0.0625); }},
        {"ReadTAPCalibration", [](auto e, Outs& o) { return APIReadTAPCalibration(e, 3, o.values); },
         [](auto i, Outs& o) { return zel_ReadTAPCalibration(i, 3, o.values); }},
        {"WriteVOACalibration", [](auto e, Outs&) { return APIWriteVOACalibration(e, 3, kCoefficients); },
         [](auto i, Outs&) { return zel_WriteVOACalibration(i, 3, kCoefficients); }},
        {"ReadVOACalibration", [](auto e, Outs& o) { return APIReadVOACalibration(e, 3, o.values); },
         [](auto i, Outs& o) { return zel_ReadVOACalibration(i, 3, o.values); }},
        {"WriteVOADefinedValues", [](auto e, Outs&) { return APIWriteVOADefinedValues(e, 3, defined); },
         [](auto i, Outs&) { return zel_WriteVOADefinedValues(i, 3, defined); }},
        {"ReadVOADefinedValues", [](auto e, Outs& o) { return APIReadVOADefinedValues(e, 3, o.words); },
         [](auto i, Outs& o) { return zel_ReadVOADefinedValues(i, 3, o.words); }},
        {"WriteVOAInsertionLoss", [](auto e, Outs&) { return APIWriteVOAInsertionLoss(e, 3, 0.875); },
         [](auto i, Outs&) { return zel_WriteVOAInsertionLoss(i, 3, 0.875); }},
        {"ReadVOAInsertionLoss", [](auto e, Outs& o) { return APIReadVOAInsertionLoss(e, 3, o.values); },
         [](auto i, Outs& o) { return zel_ReadVOAInsertionLoss(i, 3, o.values); }},
        {"Write4x1SwitchInsertionLoss", [](auto e, Outs&) { return APIWrite4x1SwitchInsertionLoss(e, 3, 1.125); },
         [](auto i, Outs&) { return zel_Write4x1SwitchInsertionLoss(i, 3, 1.125); }},
        {"Read4x1SwitchInsertionLoss", [](auto e, Outs& o) { return APIRead4x1SwitchInsertionLoss(e, 3, o.values); },
         [](auto i, Outs& o) { return zel_Read4x1SwitchInsertionLoss(i, 3, o.values); }},
        {"SetWavelength", [](auto e, Outs&) { return APISetWavelength(e, 1550); },
         [](auto i, Outs&) { return zel_SetWavelength(i, 1550); }},
        {"SetDefaultWavelength", [](auto e, Outs&) { return APISetDefaultWavelength(e); },
         [](auto i, Outs&) { return zel_SetDefaultWavelength(i); }},
        {"WriteUserTXCalibration", [](auto e, Outs&) { return APIWriteUserTXCalibration(e, 6, 0.25); },
         [](auto i, Outs&) { return zel_WriteUserTXCalibration(i, 6, 0.25); }},
        {"ReadUserTXCalibration", [](auto e, Outs& o) { return APIReadUserTXCalibration(e, 6, o.values); },
         [](auto i, Outs& o) { return zel_ReadUserTXCalibration(i, 6, o.values); }},
        {"WriteUserRXCalibration", [](auto e, Outs&) { return APIWriteUserRXCalibration(e, 6, 0.5); },
         [](auto i, Outs&) { return zel_WriteUserRXCalibration(i, 6, 0.5); }},
        {"ReadUserRXCalibration", [](auto e, Outs& o) { return APIReadUserRXCalibration(e, 6, o.values); },
         [](auto i, Outs& o) { return zel_ReadUserRXCalibration(i, 6, o.values); }},
        {"WriteDoubleValueToEEProm", [](auto e, Outs&) { return APIWriteDoubleValueToEEProm(e, 0x7000, 3.5); },
         [](auto i, Outs&) { return zel_WriteDoubleValueToEEProm(i, 0x7000, 3.5); }},
        {"ReadDoubleValueFromEEProm", [](auto e, Outs& o) { return APIReadDoubleValueFromEEProm(e, 0x7000, o.values); },
         [](auto i, Outs& o) { return zel_ReadDoubleValueFromEEProm(i, 0x7000, o.values); }},
        {"WriteStatusToEEProm", [](auto e, Outs&) { return APIWriteStatusToEEProm(e, 2, 5, -6.25); },
         [](auto i, Outs&) { return zel_WriteStatusToEEProm(i, 2, 5, -6.25); }},
        {"Monitor", [](auto e, Outs& o) { return static_cast<int>(APIMonitor(e, 2, 5, o.values)); },
         [](auto i, Outs& o) { return static_cast<int>(zel_Monitor(i, 2, 5, o.values)); }},
        {"WriteValueToEEProm", [](auto e, Outs&) { return APIWriteValueToEEProm(e, 0x7100, 0xC3); },
         [](auto i, Outs&) { return zel_WriteValueToEEProm(i, 0x7100, 0xC3); }},
        {"WriteTypeToEEPROM", [](auto e, Outs&) { return APIWriteTypeToEEPROM(e, 4); },
         [](auto i, Outs&) { return zel_WriteTypeToEEPROM(i, 4); }},
        {"ReadVOACode on a 4-channel board", [](auto e, Outs& o) { return APIReadVOAAttenuation(e, 5, o.words); },
         [](auto i, Outs& o) { return zel_ReadVOACode(i, 5, o.words); }},
    };
    for (const FormPair& p : pairs) {
        SCOPED_TRACE(p.name);
        for_entry.clear_frames();
        for_instance.clear_frames();
        Outs by_entry, by_instance;
        by_entry.result = p.entry(u, by_entry);
        by_instance.result = p.instance(inst, by_instance);
        EXPECT_EQ(by_entry.result != 0, APILastError(u) == ZEL_OK);
        EXPECT_EQ(zel_LastError(inst), APILastError(u));
        EXPECT_TRUE(by_instance == by_entry) << by_instance.result << " " << by_entry.result;
        EXPECT_EQ(for_instance.frames(), for_entry.frames());
    }
    EXPECT_EQ(for_instance.model().EepromImage(), for_entry.model().EepromImage());

    // What the reads above handed back is what was written, so the comparison compared something.
    Outs o;
    ASSERT_EQ(zel_SetWavelength(inst, 1490), 1);
    ASSERT_EQ(zel_ReadVOACalibration(inst, 3, o.values), 1);
    EXPECT_EQ(std::memcmp(o.values, kCoefficients, sizeof kCoefficients), 0);
    ASSERT_EQ(zel_ReadVOADefinedValues(inst, 3, o.words), 1);
    EXPECT_EQ(std::memcmp(o.words, defined, sizeof defined), 0);
    ASSERT_EQ(zel_Monitor(inst, 2, 5, o.values), 1);
    EXPECT_EQ(o.values[0], -6.25);
    EXPECT_EQ(zel_ReadBoardSN(inst), 0x0BADCAFE);
    EXPECT_EQ(for_instance.model().Register(5, 37), 2345);
    EXPECT_EQ(for_instance.model().Eeprom(0x7100), 0xC3);
    EXPECT_EQ(for_instance.model().Register(2, 40), 0x1234);

    APIDisconnect(u);
    zel_destroyInstance(inst);
}

TEST(InstanceForms, SetVOACodeRefusesCodesTheUnitCannotTake) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    zel_instance* inst = zel_createInstance();
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    ASSERT_EQ(zel_SetVOACode(inst, 2, 4095), 1);
    EXPECT_EQ(unit.model().Register(2, 37), 4095);
    unit.clear_frames();
    EXPECT_EQ(zel_SetVOACode(inst, 2, 4096), 0);  // 4096 would reach the unit as code 0
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(unit.frames().empty());
    EXPECT_EQ(unit.model().Register(2, 37), 4095);
    zel_destroyInstance(inst);
}

// ---- what a host learns about its unit ----

TEST(UnitKnowledge, ChannelCountAndBoardTypeFollowTheBoardTypeWithoutTraffic) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    zel_instance* inst = zel_createInstance();
    std::uint8_t count = 77;
    std::uint16_t type = 77;
    EXPECT_EQ(zel_GetChannelCount(inst, &count), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(zel_GetBoardType(inst, &type), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(type, 0);
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    const struct {
        std::uint16_t type;
        std::uint8_t channels;
    } types[] = {{6, 8}, {4, 4}, {5, 4}, {0, 1}, {1, 1}, {7, 1}, {9, 0}, {6, 8}};
    for (const auto& t : types) {
        SCOPED_TRACE(t.type);
        ASSERT_EQ(zel_WriteTypeToEEPROM(inst, t.type), 1);
        unit.clear_frames();
        ASSERT_EQ(zel_GetChannelCount(inst, &count), 1);
        EXPECT_EQ(count, t.channels);
        ASSERT_EQ(zel_GetBoardType(inst, &type), 1);
        EXPECT_EQ(type, t.type);  // the one written, unknown types included
        EXPECT_TRUE(unit.frames().empty());
    }
    zel_destroyInstance(inst);
}

TEST(UnitKnowledge, SwitchPortsFollowTheBoardTypeOfTheConnectWithoutTraffic) {
    zeltest::ShortenLinkTimeouts();
    zel_instance* inst = zel_createInstance();
    std::uint8_t ports[3] = {7, 7, 7};
    EXPECT_EQ(zel_GetSwitchPorts(inst, &ports[0], &ports[1], &ports[2]), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(std::vector<std::uint8_t>(ports, ports + 3), (std::vector<std::uint8_t>{0, 0, 0}));
    const std::uint8_t selectors[] = {1, 1, 4, 4, 4, 4, 8, 8};  // MEMS and LBMM ports of types 0..7
    for (int type = 0; type < 8; ++type) {
        SCOPED_TRACE(type);
        zelsim::UnitConfig cfg;
        cfg.board_type = type;
        zeltest::SimulatedUnit unit(cfg);
        ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
        unit.clear_frames();
        ASSERT_EQ(zel_GetSwitchPorts(inst, &ports[0], &ports[1], &ports[2]), 1);
        EXPECT_EQ(zel_LastError(inst), ZEL_OK);
        EXPECT_EQ(ports[0], 2);  // bar and cross
        EXPECT_EQ(ports[1], selectors[type]);
        EXPECT_EQ(ports[2], selectors[type]);
        EXPECT_EQ(unit.model().SwitchPorts(), selectors[type]);  // the unit played has them too
        EXPECT_TRUE(unit.frames().empty());
        if (type == 7) {
            // A board type of unknown make-up has no ports to tell of; a known one brings them back.
            ASSERT_EQ(zel_WriteTypeToEEPROM(inst, 9), 1);
            ASSERT_EQ(zel_GetSwitchPorts(inst, &ports[0], &ports[1], &ports[2]), 1);
            EXPECT_EQ(std::vector<std::uint8_t>(ports, ports + 3), (std::vector<std::uint8_t>{0, 0, 0}));
            ASSERT_EQ(zel_WriteTypeToEEPROM(inst, 2), 1);
            ASSERT_EQ(zel_GetSwitchPorts(inst, &ports[0], &ports[1], &ports[2]), 1);
            EXPECT_EQ(std::vector<std::uint8_t>(ports, ports + 3), (std::vector<std::uint8_t>{2, 4, 4}));
        }
        ASSERT_EQ(zel_Disconnect(inst), 1);
    }
    zel_destroyInstance(inst);
}

TEST(UnitKnowledge, WavelengthTableInSlotOrder) {
    zeltest::ShortenLinkTimeouts();
    zelsim::UnitConfig cfg;
    cfg.board_type = 4;  // slot 0 serves 850 nm
    cfg.extra_wavelengths = {1310, 1550};
    zeltest::SimulatedUnit unit(cfg);
    zel_instance* inst = zel_createInstance();
    std::uint16_t nm[7] = {};
    std::size_t count = 99;
    EXPECT_EQ(zel_GetWavelengths(inst, nm, 6, &count), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    unit.clear_frames();

    ASSERT_EQ(zel_GetWavelengths(inst, nm, 6, &count), 1);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::vector<std::uint16_t>(nm, nm + 3), (std::vector<std::uint16_t>{850, 1310, 1550}));
    EXPECT_TRUE(unit.frames().empty());  // known since the connect

    // Too little room: the first entries, the full count, and a failure that says so.
    std::uint16_t two[3] = {0, 0, 0xABCD};
    EXPECT_EQ(zel_GetWavelengths(inst, two, 2, &count), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(two[0], 850);
    EXPECT_EQ(two[1], 1310);
    EXPECT_EQ(two[2], 0xABCD);

    // An added wavelength takes the next slot; the full table of six fits in six.
    for (std::uint16_t w : {1490, 1625, 1270}) ASSERT_EQ(zel_AddWavelength(inst, w), 1);
    nm[6] = 0xABCD;
    ASSERT_EQ(zel_GetWavelengths(inst, nm, 7, &count), 1);
    ASSERT_EQ(count, 6u);
    EXPECT_EQ(std::vector<std::uint16_t>(nm, nm + 7),
              (std::vector<std::uint16_t>{850, 1310, 1550, 1490, 1625, 1270, 0xABCD}));
    // A fresh instance reads the same table from the unit.
    zel_instance* other = zel_createInstance();
    ASSERT_EQ(zel_Connect(other, unit.ip().c_str()), 1);
    std::uint16_t again[6] = {};
    ASSERT_EQ(zel_GetWavelengths(other, again, 6, &count), 1);
    EXPECT_TRUE(std::equal(again, again + 6, nm));
    zel_destroyInstance(other);
    zel_destroyInstance(inst);
}

// The location of each record is where its record function stores it: writing the item changes
// the EEPROM only inside the reported bytes, and those bytes hold the item's encoding.
TEST_F(SelectWavelengthTest, RecordLocationsAreWhereTheRecordFunctionsStore) {
    struct Item {
        std::uint32_t item;
        std::function<int()> write;
        std::vector<std::uint8_t> stored;  // the bytes the record must hold afterwards
    };
    const auto le64 = [](std::uint64_t v) {
        std::vector<std::uint8_t> b(8);
        for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        return b;
    };
    const auto raw = [&](double d) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, 8);
        return le64(bits);
    };
    static const double coefficients[4] = {0.5, 0.25, -0.125, 1e-9};
    static std::uint16_t defined[30];
    std::vector<std::uint8_t> coefficient_bytes, defined_bytes;
    for (double c : coefficients) {
        const auto b = raw(c);
        coefficient_bytes.insert(coefficient_bytes.end(), b.begin(), b.end());
    }
    for (int j = 0; j < 30; ++j) {
        defined[j] = static_cast<std::uint16_t>(0x0101 * j + 0x2A00);
        defined_bytes.push_back(static_cast<std::uint8_t>(defined[j]));
        defined_bytes.push_back(static_cast<std::uint8_t>(defined[j] >> 8));
    }
    const std::uint16_t channel = 6;
    const std::uint8_t slot = 2;  // 1625 nm
    ASSERT_EQ(zel_SetWavelength(inst, 1625), 1);
    const Item items[] = {
        {ZEL_RECORD_TAP, [&] { return zel_WriteTAPCalibration(inst, channel, 2.5); }, le64(2'500'000'000'000)},
        {ZEL_RECORD_VOA, [&] { return zel_WriteVOACalibration(inst, channel, coefficients); }, coefficient_bytes},
        {ZEL_RECORD_DEFINED, [&] { return zel_WriteVOADefinedValues(inst, channel, defined); }, defined_bytes},
        {ZEL_RECORD_VOA_LOSS, [&] { return zel_WriteVOAInsertionLoss(inst, channel, 0.75); }, le64(750'000'000'000)},
        {ZEL_RECORD_SWITCH_LOSS, [&] { return zel_Write4x1SwitchInsertionLoss(inst, channel, 1.5); },
         le64(1'500'000'000'000)},
        {ZEL_RECORD_USER_TX, [&] { return zel_WriteUserTXCalibration(inst, channel, 3.0); }, le64(3'000'000'000'000)},
        {ZEL_RECORD_USER_RX, [&] { return zel_WriteUserRXCalibration(inst, channel, 4.0); }, le64(4'000'000'000'000)},
    };
    std::uint32_t area = 0, area_length = 0;
    ASSERT_EQ(zel_GetRecordLocation(inst, slot, 0, ZEL_RECORD_SLOT, &area, &area_length), 1);
    for (const Item& it : items) {
        SCOPED_TRACE(it.item);
        std::uint32_t address = 0, length = 0;
        unit->clear_frames();
        ASSERT_EQ(zel_GetRecordLocation(inst, slot, channel, it.item, &address, &length), 1);
        EXPECT_TRUE(unit->frames().empty());
        ASSERT_EQ(length, it.stored.size());
        const auto before = unit->model().EepromImage();
        ASSERT_EQ(it.write(), 1);
        const auto after = unit->model().EepromImage();
        for (std::uint32_t a = 0; a < before.size(); ++a) {
            if (before[a] != after[a]) {
                ASSERT_TRUE(a >= address && a < address + length) << std::hex << a;
            }
        }
        std::vector<std::uint8_t> read(length);
        ASSERT_EQ(zel_ReadEEProm(inst, address, read.data(), length), 1);
        EXPECT_EQ(read, it.stored);
        // Per-slot records lie inside the slot's area; the user values belong to no slot.
        const bool per_slot = it.item != ZEL_RECORD_USER_TX && it.item != ZEL_RECORD_USER_RX;
        EXPECT_EQ(address >= area && address + length <= area + area_length, per_slot);
    }
    // The area begins with the slot's table entry: the wavelength, high byte first.
    std::uint8_t entry[2] = {};
    ASSERT_EQ(zel_ReadEEProm(inst, area, entry, 2), 1);
    EXPECT_EQ(entry[0] * 256 + entry[1], 1625);

    std::uint32_t address = 1, length = 1;
    EXPECT_EQ(zel_GetRecordLocation(inst, 6, 0, ZEL_RECORD_TAP, &address, &length), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_GetRecordLocation(inst, 0, 0, ZEL_RECORD_SLOT + 1, &address, &length), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_GetRecordLocation(inst, 0, 8, ZEL_RECORD_TAP, &address, &length), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_NO_SUCH_CHANNEL);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(length, 0u);
}

// ---- quick connect ----

// A unit for the quick connect to meet: a board type with six wavelength slots, and which slot
// (if any) is erased, its calibration only or its table entry too.
struct QuickCase {
    const char* name;
    int board_type;
    int erased_slot;  // -1: none
    bool entry_too;   // the slot's table entry is erased as well, which ends the table there
};

void PrintTo(const QuickCase& q, std::ostream* os) { *os << q.name; }

class QuickConnectTest : public ::testing::TestWithParam<QuickCase> {};

// Everything a host can learn from a connected instance, and the instance's own record of the unit,
// in one order. Doubles are kept as their bit patterns so that erased (NaN) coefficients compare.
std::vector<std::pair<std::string, std::uint64_t>> KnownState(zel_instance* inst) {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    const auto put = [&](const std::string& what, std::uint64_t value) { out.emplace_back(what, value); };
    const auto bits = [](double d) {
        std::uint64_t b = 0;
        std::memcpy(&b, &d, sizeof b);
        return b;
    };
    const ZEL_API& core = *reinterpret_cast<const ZEL_API*>(inst);
    put("last error", zel_LastError(inst));
    put("board ID", core.BoardIdField());
    put("board type", static_cast<std::uint64_t>(core.BoardType()));
    put("ports", static_cast<std::uint64_t>(core.PortCount()));
    put("status field", core.StatusField());
    put("result field", static_cast<std::uint64_t>(core.ResultField()));
    put("current slot", static_cast<std::uint64_t>(core.CurrentSlot()));
    put("cache valid", core.CacheValid());
    put("layout size", core.Layout().size());
    for (std::int32_t select : core.Layout()) put("layout", static_cast<std::uint64_t>(select));
    put("table size", core.Wavelengths().size());
    for (std::int32_t entry : core.Wavelengths()) put("table entry", static_cast<std::uint64_t>(entry));
    for (int s = 0; s < ZEL_API::kSelects; ++s) {
        const std::string at = " select " + std::to_string(s);
        put("active TAP" + at, bits(core.ActiveTAP(s)));
        put("active TAP erased" + at, core.ActiveTAPUncalibrated(s));
        put("active VOA erased" + at, core.ActiveVOAUncalibrated(s));
        for (int k = 0; k < 4; ++k) put("active VOA" + at, bits(core.ActiveVOA(s)[k]));
        for (int w = 0; w < ZEL_API::kSlots; ++w) {
            const std::string in = at + " slot " + std::to_string(w);
            put("cached TAP" + in, bits(core.CachedTAP(w, s)));
            put("cached TAP erased" + in, core.CachedTAPUncalibrated(w, s));
            put("cached VOA erased" + in, core.CachedVOAUncalibrated(w, s));
            for (int k = 0; k < 4; ++k) put("cached VOA" + in, bits(core.CachedVOA(w, s)[k]));
        }
    }

    std::uint8_t channels = 0;
    put("zel_GetChannelCount", zel_GetChannelCount(inst, &channels));
    put("channels", channels);
    std::uint16_t nm[6] = {};
    std::size_t count = 0;
    put("zel_GetWavelengths", zel_GetWavelengths(inst, nm, 6, &count));
    put("wavelengths", count);
    for (std::size_t i = 0; i < count; ++i) put("wavelength", nm[i]);
    for (std::uint8_t slot = 0; slot < 6; ++slot) {
        for (std::uint16_t c = 0; c <= 8; ++c) {
            for (std::uint32_t item = 0; item <= ZEL_RECORD_SLOT; ++item) {
                std::uint32_t address = 0, length = 0;
                const std::string of = "location of item " + std::to_string(item) + " channel " + std::to_string(c);
                put(of, zel_GetRecordLocation(inst, slot, c, item, &address, &length));
                put(of + " address", address);
                put(of + " length", length);
            }
        }
    }
    // The defined values of the last channel in the current slot (30 words at 20 ms each).
    std::uint16_t defined[30] = {};
    put("zel_ReadVOADefinedValues", zel_ReadVOADefinedValues(inst, channels == 0 ? 0 : channels - 1, defined));
    for (std::uint16_t v : defined) put("defined value", v);
    // Each slot's TAP factors and VOA coefficients as the record functions hand them out.
    for (std::size_t i = 0; i < count; ++i) {
        put("zel_SetWavelength", zel_SetWavelength(inst, nm[i]));
        for (std::uint16_t c = 0; c < channels; ++c) {
            double tap = 0, voa[4] = {};
            put("zel_ReadTAPCalibration", zel_ReadTAPCalibration(inst, c, &tap));
            put("TAP factor", bits(tap));
            put("zel_ReadVOACalibration", zel_ReadVOACalibration(inst, c, voa));
            for (double v : voa) put("VOA coefficient", bits(v));
        }
    }
    return out;
}

TEST_P(QuickConnectTest, LeavesTheInstanceAsConnectDoes) {
    const QuickCase& q = GetParam();
    zeltest::ShortenLinkTimeouts();
    zelsim::UnitConfig cfg;
    cfg.board_type = q.board_type;
    cfg.extra_wavelengths = {1550, 1490, 1625, 1570, 1590};
    zeltest::SimulatedUnit unit(cfg);
    if (q.erased_slot >= 0) {
        const std::uint32_t base = zelsim::kSlotBase + zelsim::kSlotSize * q.erased_slot;
        for (std::uint32_t a = q.entry_too ? 0 : 2; a < zelsim::kSlotSize; ++a) unit.model().SetEeprom(base + a, 0xFF);
    }
    zel_instance* slow = zel_createInstance();
    zel_instance* quick = zel_createInstance();
    ASSERT_EQ(zel_Connect(slow, unit.ip().c_str()), 1);
    const auto by_connect = KnownState(slow);
    unit.clear_frames();
    ASSERT_EQ(zel_QuickConnect(quick, unit.ip().c_str()), 1);
    // The quick connect reads no EEPROM byte through the registers: the board ID, read twice, is
    // its one register frame.
    const auto frames = unit.frames();
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(), zeltest::IsRegisterFrame), 2);
    const auto by_quick = KnownState(quick);
    ASSERT_EQ(by_quick.size(), by_connect.size());
    for (std::size_t i = 0; i < by_quick.size(); ++i) EXPECT_EQ(by_quick[i], by_connect[i]) << "entry " << i;

    // The erased slot is really seen as such, so the comparison compared erased calibration.
    const ZEL_API& core = *reinterpret_cast<const ZEL_API*>(quick);
    const bool table_ends = q.erased_slot > 0 && q.entry_too;
    EXPECT_EQ(core.Wavelengths().size(), table_ends ? static_cast<std::size_t>(q.erased_slot) : 6u);
    if (q.erased_slot >= 0 && !table_ends) {
        EXPECT_TRUE(core.CachedTAPUncalibrated(q.erased_slot, core.Layout()[0]));
        EXPECT_TRUE(core.CachedVOAUncalibrated(q.erased_slot, core.Layout()[0]));
    }
    // An erased board-type record reads as the most negative scaled value, truncated to 16 bits.
    EXPECT_EQ(core.BoardType(), q.erased_slot == 0 ? static_cast<std::uint16_t>(-9223372) : q.board_type);
    zel_destroyInstance(quick);
    zel_destroyInstance(slow);
}

INSTANTIATE_TEST_SUITE_P(EveryBoardType, QuickConnectTest,
                         ::testing::Values(QuickCase{"type0", 0, -1, false}, QuickCase{"type1", 1, -1, false},
                                           QuickCase{"type2", 2, -1, false}, QuickCase{"type3", 3, -1, false},
                                           QuickCase{"type4", 4, -1, false}, QuickCase{"type5", 5, -1, false},
                                           QuickCase{"type6", 6, -1, false}, QuickCase{"type7", 7, -1, false},
                                           QuickCase{"type6_slot3_calibration_erased", 6, 3, false},
                                           QuickCase{"type4_slot2_erased_whole", 4, 2, true},
                                           QuickCase{"type6_slot0_erased_whole", 6, 0, true}),
                         [](const ::testing::TestParamInfo<QuickCase>& info) { return std::string(info.param.name); });

}  // namespace

// ---- capture ----

namespace capture_check {

namespace cap = zel::capture;

// A capture read back by the capture reader, which must find nothing amiss in it.
cap::Capture Read(const std::string& path) {
    cap::Capture capture;
    std::string error;
    EXPECT_TRUE(cap::ReadCaptureFile(path, capture, &error)) << error;
    for (const std::string& w : capture.warnings) ADD_FAILURE() << w;
    for (const cap::Conversation& c : capture.conversations) {
        EXPECT_FALSE(c.missing_bytes);
        EXPECT_EQ(c.partial_request, 0u);
    }
    return capture;
}

// Each direction of a conversation, its frames joined.
struct Streams {
    std::vector<std::uint8_t> sent, received;
};
Streams StreamsOf(const cap::Conversation& c) {
    Streams s;
    for (const cap::Exchange& e : c.exchanges) {
        s.sent.insert(s.sent.end(), e.request.begin(), e.request.end());
        s.received.insert(s.received.end(), e.reply.begin(), e.reply.end());
    }
    return s;
}

std::vector<std::uint8_t> Joined(const std::vector<zelsim::Frame>& frames) {
    std::vector<std::uint8_t> all;
    for (const auto& frame : frames) all.insert(all.end(), frame.begin(), frame.end());
    return all;
}

// The replies as the host's trace saw them, joined.
struct Replies {
    std::vector<std::uint8_t> bytes;
    int sent = 0;
    static void Record(void* user, int direction, const std::uint8_t* data, std::size_t length) {
        auto* r = static_cast<Replies*>(user);
        if (direction == ZEL_FRAME_RECEIVED)
            r->bytes.insert(r->bytes.end(), data, data + length);
        else
            ++r->sent;
    }
};

std::string TempCapture(const char* name) {
    return (std::filesystem::temp_directory_path() /
            (std::string("zel_capture_") + name + "_" + std::to_string(std::random_device{}()) + ".pcapng"))
        .string();
}

}  // namespace capture_check

// Each connection of the link is a conversation with the unit's address on port 6653 and the
// socket's own host port; each direction carries exactly the bytes that went over the link, as
// the capture reader takes them back, and the host's frame trace is still called beside the capture.
TEST(Capture, RecordsEveryConnectionAsAConversationBesideTheFrameTrace) {
    using namespace capture_check;
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    const std::string path = TempCapture("one");
    zel_instance* inst = zel_createInstance();
    Replies replies;
    ASSERT_EQ(zel_SetFrameTrace(inst, &Replies::Record, &replies), 1);
    ASSERT_EQ(zel_StartCapture(inst, path.c_str()), 1) << zel_ErrorText(zel_LastError(inst));
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    std::uint16_t code = 0;
    ASSERT_EQ(zel_SetVOACode(inst, 1, 321), 1);
    // The same file by another name: the capture goes on (the file is not started afresh).
    const std::filesystem::path spelt(path);
    const std::string same = (spelt.parent_path() / "." / spelt.filename()).string();
    EXPECT_EQ(zel_StartCapture(inst, same.c_str()), 1);
    ASSERT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    const auto first_link = unit.frames();
    // A unit that closes the link: the next call reopens it, a second conversation.
    unit.server().SetFaults({.kind = zelsim::Fault::Close});
    EXPECT_EQ(zel_ReadVOACode(inst, 1, &code), 0);
    unit.server().SetFaults({});
    unit.clear_frames();
    ASSERT_EQ(zel_ReadVOACode(inst, 1, &code), 1);
    const auto second_link = unit.frames();
    ASSERT_EQ(zel_StopCapture(inst), 1) << zel_ErrorText(zel_LastError(inst));
    EXPECT_EQ(zel_LastError(inst), ZEL_OK);
    ASSERT_EQ(zel_ReadVOACode(inst, 1, &code), 1);  // not captured any more
    EXPECT_EQ(zel_StopCapture(inst), 1);            // nothing to stop

    const cap::Capture f = Read(path);
    ASSERT_EQ(f.conversations.size(), 2u);
    std::vector<std::uint8_t> all_replies;
    for (const cap::Conversation& c : f.conversations) {
        EXPECT_EQ(c.unit, unit.ip());
        EXPECT_EQ(c.unit_port, 6653);
        EXPECT_NE(c.host_port, 0);
        const auto received = StreamsOf(c).received;
        all_replies.insert(all_replies.end(), received.begin(), received.end());
    }
    EXPECT_NE(f.conversations[0].host_port, f.conversations[1].host_port);
    // The first conversation's requests: what the unit received before it closed, plus the frame
    // it closed on (sent, never answered).
    const auto first_sent = StreamsOf(f.conversations[0]).sent;
    const auto expected = Joined(first_link);
    ASSERT_EQ(first_sent.size(), expected.size() + zel::frame::kRequestSize);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), first_sent.begin()));
    EXPECT_TRUE(f.conversations[0].exchanges.back().reply.empty());
    EXPECT_EQ(StreamsOf(f.conversations[1]).sent, Joined(second_link));
    // The replies of both, as the trace saw them, minus the last call's (after the stop).
    ASSERT_GE(replies.bytes.size(), all_replies.size());
    EXPECT_TRUE(std::equal(all_replies.begin(), all_replies.end(), replies.bytes.begin()));
    EXPECT_GT(replies.sent, 0);
    zel_destroyInstance(inst);
    std::filesystem::remove(path);
}

// Instances capturing to one path write one file with a conversation per unit. Destroying an instance stops its
// capture; the file is whole once the last has stopped.
TEST(Capture, InstancesOnOnePathShareOneFile) {
    using namespace capture_check;
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit a, b;
    const std::string path = TempCapture("shared");
    zel_instance* ia = zel_createInstance();
    zel_instance* ib = zel_createInstance();
    ASSERT_EQ(zel_StartCapture(ia, path.c_str()), 1);
    ASSERT_EQ(zel_Connect(ia, a.ip().c_str()), 1);
    // The second joins while the first is connected: a link open at the start is captured too.
    ASSERT_EQ(zel_Connect(ib, b.ip().c_str()), 1);
    ASSERT_EQ(zel_StartCapture(ib, path.c_str()), 1);
    b.clear_frames();
    std::uint16_t code = 0;
    ASSERT_EQ(zel_SetVOACode(ia, 0, 100), 1);
    ASSERT_EQ(zel_SetVOACode(ib, 0, 200), 1);
    ASSERT_EQ(zel_ReadVOACode(ib, 0, &code), 1);
    const auto frames_a = a.frames(), frames_b = b.frames();
    zel_destroyInstance(ia);  // stops its capture; b's goes on
    ASSERT_EQ(zel_ReadVOACode(ib, 0, &code), 1);
    const auto more_b = b.frames();
    ASSERT_EQ(zel_StopCapture(ib), 1);

    const cap::Capture f = Read(path);
    ASSERT_EQ(f.conversations.size(), 2u);
    const bool a_first = f.conversations[0].unit == a.ip();
    const cap::Conversation& ca = f.conversations[a_first ? 0 : 1];
    const cap::Conversation& cb = f.conversations[a_first ? 1 : 0];
    EXPECT_EQ(ca.unit, a.ip());
    EXPECT_EQ(cb.unit, b.ip());
    EXPECT_EQ(StreamsOf(ca).sent, Joined(frames_a));
    EXPECT_EQ(StreamsOf(cb).sent, Joined(more_b));
    EXPECT_GT(more_b.size(), frames_b.size());
    zel_destroyInstance(ib);
    std::filesystem::remove(path);
}

// A file that cannot be opened fails the start with its reason and nothing else; a file that
// cannot be written fails no unit call, only the stop. Null instances and paths are refused.
TEST(Capture, FilesThatCannotBeWrittenAndNullArguments) {
    zeltest::ShortenLinkTimeouts();
    zeltest::SimulatedUnit unit;
    zel_instance* inst = zel_createInstance();
    const std::string missing_dir =
        (std::filesystem::temp_directory_path() / "zel_no_such_folder" / "x.pcapng").string();
    EXPECT_EQ(zel_StartCapture(inst, missing_dir.c_str()), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_CAPTURE);
    EXPECT_EQ(zel_StartCapture(inst, nullptr), 0);
    EXPECT_EQ(zel_LastError(inst), ZEL_ERR_BAD_ARGUMENT);
    EXPECT_EQ(zel_StartCapture(nullptr, "x.pcapng"), 0);
    EXPECT_EQ(zel_StopCapture(nullptr), 0);
    ASSERT_EQ(zel_Connect(inst, unit.ip().c_str()), 1);
    EXPECT_EQ(zel_StopCapture(inst), 1);  // none was started

    if (std::filesystem::exists("/dev/full")) {  // opens, and every write fails (no space)
        ASSERT_EQ(zel_StartCapture(inst, "/dev/full"), 1);
        std::uint16_t code = 0;
        for (int k = 0; k < 50; ++k) {
            ASSERT_EQ(zel_SetVOACode(inst, 0, static_cast<std::uint16_t>(k)), 1);
            ASSERT_EQ(zel_ReadVOACode(inst, 0, &code), 1);
            EXPECT_EQ(zel_LastError(inst), ZEL_OK);
        }
        EXPECT_EQ(zel_StopCapture(inst), 0);
        EXPECT_EQ(zel_LastError(inst), ZEL_ERR_CAPTURE);
        EXPECT_EQ(zel_ReadVOACode(inst, 0, &code), 1);
    }
    zel_destroyInstance(inst);
}
