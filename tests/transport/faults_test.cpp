// How exchanges end when the unit misbehaves: they fail with the right reason within the link's
// time-out, never crash the host, and never corrupt what the caller gets back.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <tuple>
#include <thread>
#include <initializer_list>
#include <vector>

#include "support/unit_fixture.h"

namespace {

using zelsim::Fault;
using zelsim::FaultPlan;
using Clock = std::chrono::steady_clock;

constexpr int kTimeoutMs = 500;

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        zeltest::ShortenLinkTimeouts(kTimeoutMs);
        unit.model().SetRegister(0, 100, 0x1111);
        unit.model().SetRegister(0, 101, 0x2222);
        ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
        std::uint16_t v = 0;
        ASSERT_TRUE(link.AccessRegister(0, 0, 100, v));  // the last good reply carries 0x1111
        ASSERT_EQ(v, 0x1111);
    }
    void Plan(FaultPlan p) { unit.server().SetFaults(p); }

    zeltest::SimulatedUnit unit;
    HwLayer link;
};

TEST_F(FaultTest, UnitClosingTheLinkIsAFailureAndLaterSendsDoNotKillTheHost) {
    Plan({.kind = Fault::Close});
    std::uint16_t v = 0;
    EXPECT_FALSE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(link.LastError(), ZEL_ERR_PEER_CLOSED);
    EXPECT_EQ(v, 0x1111);  // the previous reply's value, not garbage
    // Sending to a closed peer must neither raise SIGPIPE nor succeed.
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(link.AccessRegister(1, 0, 101, v));
        EXPECT_NE(link.LastError(), ZEL_OK);
    }
}

TEST_F(FaultTest, StalledUnitTimesOutWithinTheLinkTimeout) {
    Plan({.kind = Fault::Stall});
    std::uint16_t v = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(link.AccessRegister(0, 0, 101, v));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(link.LastError(), ZEL_ERR_TIMEOUT);
    EXPECT_EQ(v, 0x1111);
    EXPECT_GE(elapsed, kTimeoutMs - 50);
    EXPECT_LT(elapsed, 10 * kTimeoutMs);
}

TEST_F(FaultTest, ReplyShorterThanTheValueFails) {
    Plan({.kind = Fault::ShortReply, .short_bytes = 2});
    std::uint16_t v = 0;
    EXPECT_FALSE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(link.LastError(), ZEL_ERR_SHORT_REPLY);
    EXPECT_EQ(v, 0x1111);
    // A write's reply is not interpreted, but a partial one still leaves the link out of step.
    Plan({.kind = Fault::ShortReply, .short_bytes = 1});
    std::uint16_t w = 0x3333;
    EXPECT_FALSE(link.AccessRegister(1, 0, 102, w));
    EXPECT_EQ(link.LastError(), ZEL_ERR_SHORT_REPLY);
    Plan({});
    EXPECT_TRUE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(v, 0x2222);
}

TEST_F(FaultTest, ShortBlockReplyFailsAndLeavesTheCallerTheLastFullReply) {
    Plan({.kind = Fault::ShortReply, .short_bytes = 100});
    std::uint8_t dest[128];
    EXPECT_FALSE(link.ReadBlock(0, 0x2000, dest));
    EXPECT_EQ(link.LastError(), ZEL_ERR_SHORT_REPLY);
    EXPECT_EQ(zel::codec::GetLE16(dest + 1), 0x1111);
    EXPECT_EQ(link.LastResult(), 0);
}

TEST_F(FaultTest, RepliesSplitAcrossWritesAreGathered) {
    // The unit pauses 5 ms between the pieces (over 300 ms for the register reply in 64): a time-out
    // far beyond that keeps a loaded machine's slow wake-ups from turning the gathering into one.
    link.SetTimeout(30000);
    for (std::uint32_t i = 0; i < 3 * 128; ++i) unit.model().SetEeprom(0x4000 + i, static_cast<std::uint8_t>(i * 7));
    Plan({.kind = Fault::SplitReply, .split_parts = 8});
    for (std::uint32_t b = 0; b < 3; ++b) {
        std::uint8_t dest[128] = {};
        ASSERT_TRUE(link.ReadBlock(0, 0x4000 + 128 * b, dest)) << b;
        for (std::uint32_t i = 0; i < 128; ++i) ASSERT_EQ(dest[i], static_cast<std::uint8_t>((128 * b + i) * 7));
    }
    // A register read whose value straddles two writes.
    Plan({.kind = Fault::SplitReply, .split_parts = 64});
    std::uint16_t v = 0;
    ASSERT_TRUE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(v, 0x2222);
}

// However the unit's first reply on a new link arrives, the length learned from it is the whole
// reply the unit sends to every register frame, and no later reply is taken for another's.
TEST_F(FaultTest, TheFirstReplyTeachesTheWholeLengthEvenWhenItsRestComesLate) {
    struct FirstReply {
        const char* name;
        FaultPlan plan;
        std::size_t length;
    };
    const FirstReply cases[] = {
        {"whole", {}, 128},
        {"split in two", {.kind = Fault::SplitReply, .split_parts = 2}, 128},
        {"split in five", {.kind = Fault::SplitReply, .split_parts = 5}, 128},
        {"with surplus", {.kind = Fault::Surplus, .surplus_bytes = 16}, 144},
        {"duplicated", {.kind = Fault::Duplicate}, 256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plan(c.plan);
        HwLayer fresh;
        ASSERT_TRUE(fresh.OpenLink(unit.ip().c_str(), 6653));
        // Straight after each other, as a connect makes them: the first reply's rest, when it
        // comes late, arrives while the second request is answered.
        for (std::uint16_t address : {100, 101, 100, 101}) {
            std::uint16_t v = 0;
            EXPECT_TRUE(fresh.AccessRegister(0, 0, address, v)) << address << ": " << fresh.LastError();
            EXPECT_EQ(v, address == 100 ? 0x1111 : 0x2222);
        }
        EXPECT_EQ(fresh.ReplyLength(), c.length);
        EXPECT_TRUE(fresh.ReplyLengthSettled());
        EXPECT_FALSE(fresh.OutOfStep());

        // A block reply cannot show where it starts: before its frame goes out, the first reply's
        // rest has its moment to arrive.
        HwLayer blocks;
        ASSERT_TRUE(blocks.OpenLink(unit.ip().c_str(), 6653));
        std::uint16_t v = 0;
        EXPECT_TRUE(blocks.AccessRegister(0, 0, 100, v));
        std::uint8_t block[128] = {};
        EXPECT_TRUE(blocks.ReadBlock(0, 0x4000, block)) << blocks.LastError();
        for (std::uint32_t i = 0; i < 128; ++i) ASSERT_EQ(block[i], unit.model().Eeprom(0x4000 + i)) << i;
        EXPECT_EQ(blocks.ReplyLength(), c.length);
    }
}

// While the learned length still waits for its confirmation, a second reply that is not a whole
// reply of that length fails with the reason it would have on a settled link, and teaches nothing.
TEST_F(FaultTest, ASecondReplyThatIsNotWholeFailsWhileTheLengthIsTentative) {
    struct SecondReply {
        const char* name;
        FaultPlan plan;
        zel_error reason;
    };
    const SecondReply cases[] = {
        {"cut short", {.kind = Fault::ShortReply, .short_bytes = 2}, ZEL_ERR_SHORT_REPLY},
        {"shorter garbage", {.kind = Fault::Garbage, .garbage_bytes = 40}, ZEL_ERR_SHORT_REPLY},
        {"garbage of the reply's length", {.kind = Fault::Garbage}, ZEL_ERR_BAD_REPLY},
        {"longer garbage", {.kind = Fault::Garbage, .garbage_bytes = 300}, ZEL_ERR_BAD_REPLY},
        {"surplus", {.kind = Fault::Surplus, .surplus_bytes = 5}, ZEL_ERR_BAD_REPLY},
        {"duplicated", {.kind = Fault::Duplicate}, ZEL_ERR_BAD_REPLY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Plan({});
        HwLayer fresh;
        ASSERT_TRUE(fresh.OpenLink(unit.ip().c_str(), 6653));
        std::uint16_t v = 0;
        ASSERT_TRUE(fresh.AccessRegister(0, 0, 100, v));
        ASSERT_FALSE(fresh.ReplyLengthSettled());
        Plan(c.plan);  // from the next frame on
        const auto start = Clock::now();
        EXPECT_FALSE(fresh.AccessRegister(0, 0, 101, v));
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2 * kTimeoutMs));
        EXPECT_EQ(fresh.LastError(), c.reason);
        EXPECT_EQ(v, 0x1111);
        Plan({});
        EXPECT_TRUE(fresh.AccessRegister(0, 0, 101, v)) << fresh.LastError();
        EXPECT_EQ(v, 0x2222);
        EXPECT_EQ(fresh.ReplyLength(), 128u);
    }
}

TEST_F(FaultTest, TheFirstExchangeDoesNotWaitForTheUnitToFallQuiet) {
    // The fastest of a few fresh links, so that one slow wake-up of a loaded machine does not count.
    auto fastest = std::chrono::milliseconds(HwLayer::kLearnQuietMs);
    for (int attempt = 0; attempt < 3; ++attempt) {
        HwLayer fresh;
        ASSERT_TRUE(fresh.OpenLink(unit.ip().c_str(), 6653));
        std::uint16_t v = 0;
        const auto start = Clock::now();
        ASSERT_TRUE(fresh.AccessRegister(0, 0, 101, v));
        fastest = std::min(fastest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        EXPECT_EQ(v, 0x2222);
        EXPECT_EQ(fresh.ReplyLength(), 128u);
    }
    EXPECT_LT(fastest.count(), HwLayer::kLearnQuietMs / 2);
}

// A link idle between calls is looked at before its next request: a unit that closed it meanwhile
// (here: restarted) costs a reopen, not a failed exchange.
TEST_F(FaultTest, ALinkTheUnitClosedWhileIdleIsReopenedBeforeTheNextRequest) {
    std::uint16_t v = 0;
    ASSERT_TRUE(link.AccessRegister(0, 0, 100, v));  // the length is settled: the link is in step
    ASSERT_TRUE(link.ReplyLengthSettled());
    const int accepted = unit.server().ConnectionsAccepted();
    unit.server().Stop();
    ASSERT_TRUE(unit.server().Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * HwLayer::kIdleCheckMs));
    EXPECT_TRUE(link.AccessRegister(0, 0, 101, v)) << link.LastError();
    EXPECT_EQ(v, 0x2222);
    EXPECT_EQ(unit.server().ConnectionsAccepted(), accepted + 1);
}

TEST_F(FaultTest, DelayedReplyWithinTheTimeoutSucceeds) {
    Plan({.kind = Fault::Delay, .delay_ms = 100});
    std::uint16_t v = 0;
    EXPECT_TRUE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(v, 0x2222);
}

TEST_F(FaultTest, UnitThatDropsNewConnectionsFailsTheFirstExchange) {
    Plan({.refuse_connections = true});
    HwLayer second;
    ASSERT_TRUE(second.OpenLink(unit.ip().c_str(), 6653));  // accepted, then dropped
    std::uint16_t v = 0;
    EXPECT_FALSE(second.AccessRegister(0, 0, 101, v));
    EXPECT_TRUE(second.LastError() == ZEL_ERR_PEER_CLOSED || second.LastError() == ZEL_ERR_SEND_FAILED)
        << second.LastError();
}

TEST_F(FaultTest, FailedFormsThatCopyStillFillTheCallersBuffer) {
    Plan({.kind = Fault::Close});
    std::uint8_t bytes[8];
    std::fill(std::begin(bytes), std::end(bytes), 0xEE);
    EXPECT_FALSE(link.ReadBytes(0, 8, 0, bytes));
    EXPECT_EQ(zel::codec::GetLE16(bytes + 1), 0x1111);
}

// Every reply from the second read on is hit by the fault (the first one is clean). Each read of a distinct register
// gives that register's value with true, or fails with the fault's reason within about one time-out, leaving the
// previous good value in place; once the unit behaves again the next read recovers on its own (the link reopens when it
// is out of step).
struct ReplyFault {
    const char* name;
    FaultPlan plan;
    enum { MustSucceed, MaySucceed, MustFail } outcome;
    std::vector<zel_error> reasons;
};

TEST_F(FaultTest, EveryReadGetsItsOwnValueOrFailsWithTheFaultsReason) {
    const ReplyFault cases[] = {
        {"split in two", {.kind = Fault::SplitReply, .split_parts = 2}, ReplyFault::MustSucceed, {}},
        {"split in four", {.kind = Fault::SplitReply, .split_parts = 4}, ReplyFault::MustSucceed, {}},
        {"delayed", {.kind = Fault::Delay, .delay_ms = kTimeoutMs / 4}, ReplyFault::MustSucceed, {}},
        {"late", {.kind = Fault::Late, .late_ms = 2 * kTimeoutMs}, ReplyFault::MustFail, {ZEL_ERR_TIMEOUT}},
        {"duplicated", {.kind = Fault::Duplicate}, ReplyFault::MaySucceed, {ZEL_ERR_BAD_REPLY}},
        {"surplus", {.kind = Fault::Surplus, .surplus_bytes = 5}, ReplyFault::MaySucceed, {ZEL_ERR_BAD_REPLY}},
        {"garbage of the reply's length", {.kind = Fault::Garbage}, ReplyFault::MustFail, {ZEL_ERR_BAD_REPLY}},
        {"longer garbage", {.kind = Fault::Garbage, .garbage_bytes = 200}, ReplyFault::MustFail, {ZEL_ERR_BAD_REPLY}},
        {"shorter garbage", {.kind = Fault::Garbage, .garbage_bytes = 40}, ReplyFault::MustFail, {ZEL_ERR_SHORT_REPLY}},
        {"reset", {.kind = Fault::Reset}, ReplyFault::MustFail, {ZEL_ERR_PEER_CLOSED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::uint16_t r = 0; r < 4; ++r)
            unit.model().SetRegister(0, 200 + r, static_cast<std::uint16_t>(0xA000 + r));
        FaultPlan plan = c.plan;
        plan.after_frames = 1;
        Plan(plan);
        std::uint16_t previous = 0x1111;  // the value of the last good reply before the fault
        for (std::uint16_t r = 0; r < 3; ++r) {
            std::uint16_t v = 0;
            const auto start = Clock::now();
            const bool ok = link.AccessRegister(0, 0, 200 + r, v);
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            EXPECT_LT(ms, 2 * kTimeoutMs) << r;
            if (ok) {
                EXPECT_TRUE(r == 0 || c.outcome != ReplyFault::MustFail) << r;
                EXPECT_EQ(v, 0xA000 + r) << r;  // never another request's value
                EXPECT_EQ(link.LastError(), ZEL_OK);
            } else {
                EXPECT_TRUE(r > 0 && c.outcome != ReplyFault::MustSucceed) << r;
                EXPECT_NE(std::find(c.reasons.begin(), c.reasons.end(), link.LastError()), c.reasons.end())
                    << r << ": " << link.LastError();
                EXPECT_EQ(v, previous) << r;  // the previous good reply's value
            }
            previous = v;
            link.ClearLastError();
        }
        Plan({});
        std::uint16_t v = 0;
        EXPECT_TRUE(link.AccessRegister(0, 0, 203, v)) << link.LastError();
        EXPECT_EQ(v, 0xA003);
        EXPECT_TRUE(link.AccessRegister(0, 0, 100, v));
        EXPECT_EQ(v, 0x1111);
    }
}

TEST_F(FaultTest, AfterALinkFailureTheRestOfTheCallFailsAtOnceWithoutSending) {
    ASSERT_TRUE(link.EnterCall());
    Plan({.kind = Fault::Stall});
    std::uint16_t v = 0;
    EXPECT_FALSE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(link.LastError(), ZEL_ERR_TIMEOUT);
    const std::size_t frames = unit.server().FramesReceived();
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(link.AccessRegister(1, 0, 102, v));
        std::uint8_t block[128];
        EXPECT_FALSE(link.ReadBlock(0, 0x2000, block));
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTimeoutMs / 5));
    EXPECT_EQ(link.LastError(), ZEL_ERR_TIMEOUT);  // the first reason stays
    EXPECT_EQ(unit.server().FramesReceived(), frames);
    EXPECT_EQ(unit.model().Register(0, 102), 0);
    // A second caller cannot enter while the call runs.
    EXPECT_FALSE(link.EnterCall());
    link.LeaveCall();
    // The next call starts afresh on a reopened link.
    Plan({});
    ASSERT_TRUE(link.EnterCall());
    EXPECT_TRUE(link.AccessRegister(0, 0, 101, v));
    EXPECT_EQ(v, 0x2222);
    link.LeaveCall();
}

TEST_F(FaultTest, TimeOutSetOnAnOpenLinkBoundsTheNextExchange) {
    Plan({.kind = Fault::Stall});
    link.SetTimeout(150);
    std::uint16_t v = 0;
    auto start = Clock::now();
    EXPECT_FALSE(link.AccessRegister(0, 0, 101, v));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(link.LastError(), ZEL_ERR_TIMEOUT);
    EXPECT_GE(ms, 140);
    EXPECT_LT(ms, kTimeoutMs - 100);
    link.SetTimeout(0);  // back to the default of links (the suite's 500 ms)
    EXPECT_EQ(link.TimeoutMs(), kTimeoutMs);
}

}  // namespace

// ---- The fault matrix: faults of the unit times operations of the library ----
//
// Every cell runs one operation through its export on a connected table entry while the unit
// misbehaves from a given frame of the call on. The operation must hand back the right value
// with 1, or 0 with the fault's reason, within about one time-out beyond its fault-free duration;
// the EEPROM may only hold bytes the operation meant to write; and once the unit behaves again,
// the next call of the same operation succeeds without a reconnect (Connect itself for the scan).

#include "api/instance_table.h"

namespace {

constexpr int kMatrixTimeoutMs = 200;
constexpr std::uint8_t kEntry = 9;
constexpr std::uint16_t kChannel = 2;  // select 2 on the 8-channel board
constexpr double kStoredLoss = 7.125;
constexpr double kNewLoss = 2.5;
constexpr double kNewVOA[4] = {0.5, 0.0125, -1.5e-6, 2.5e-10};

enum class Unit { Plan, Refuse, Drop };

struct MatrixFault {
    const char* name;
    Unit how;
    FaultPlan plan;
    std::vector<zel_error> reasons;  // empty: the operation must succeed
    bool may_succeed;
};

const MatrixFault kFaults[] = {
    {"split", Unit::Plan, {.kind = Fault::SplitReply, .split_parts = 2}, {}, true},
    {"late", Unit::Plan, {.kind = Fault::Late, .late_ms = 3 * kMatrixTimeoutMs}, {ZEL_ERR_TIMEOUT}, false},
    {"duplicated", Unit::Plan, {.kind = Fault::Duplicate}, {ZEL_ERR_BAD_REPLY}, true},
    {"surplus", Unit::Plan, {.kind = Fault::Surplus}, {ZEL_ERR_BAD_REPLY}, true},
    {"garbage", Unit::Plan, {.kind = Fault::Garbage, .garbage_bytes = 200}, {ZEL_ERR_BAD_REPLY}, false},
    {"stall", Unit::Plan, {.kind = Fault::Stall}, {ZEL_ERR_TIMEOUT}, false},
    {"close", Unit::Plan, {.kind = Fault::Close}, {ZEL_ERR_PEER_CLOSED}, false},
    {"reset", Unit::Plan, {.kind = Fault::Reset}, {ZEL_ERR_PEER_CLOSED}, false},
    // The unit goes away: its connection ends and reconnects are refused or go unanswered.
    {"refused", Unit::Refuse, {}, {ZEL_ERR_CONNECTION_REFUSED, ZEL_ERR_PEER_CLOSED}, false},
    {"dropped connect", Unit::Drop, {}, {ZEL_ERR_TIMEOUT, ZEL_ERR_PEER_CLOSED}, false},
};

class ConnectedEntry;

struct MatrixOperation {
    const char* name;
    bool connects;
    // Runs the operation; on 1 checks that what it handed back is right.
    std::uint8_t (*run)(ConnectedEntry& cell);
};

// Table entry kEntry connected to a unit of its own, with a short time-out.
class ConnectedEntry : public ::testing::Test {
public:
    zeltest::SimulatedUnit unit;
    ZEL_API& entry = *zel::api::UnitEntry(kEntry);

    void SetUp() override {
        unit.model().SetRegister(kChannel, 33, 1);       // 2x2 switch
        unit.model().SetRegister(kChannel, 37, 0x0123);  // VOA code
        unit.model().SetInputPower(kChannel, 420.0);
        ASSERT_EQ(APISetTimeout(kEntry, kMatrixTimeoutMs), 1);
        ASSERT_EQ(APIConnect(kEntry, unit.ip().c_str()), 1) << APILastError(kEntry);
        ASSERT_EQ(APIWriteVOAInsertionLoss(kEntry, kChannel, kStoredLoss), 1);
        expected_tap_ = entry.ActiveTAP(kChannel);
        std::copy(entry.ActiveVOA(kChannel), entry.ActiveVOA(kChannel) + 4, expected_voa_);
    }
    void TearDown() override { APIDisconnect(kEntry); }

    bool ConnectedAsBefore() {
        return entry.BoardType() == 6 && entry.ChannelCount() == 8 && entry.ActiveTAP(kChannel) == expected_tap_ &&
               std::equal(expected_voa_, expected_voa_ + 4, entry.ActiveVOA(kChannel));
    }

private:
    double expected_tap_ = 0;
    double expected_voa_[4] = {};
};

class MatrixCell : public ConnectedEntry, public ::testing::WithParamInterface<std::tuple<int, int>> {};

const MatrixOperation kOperations[] = {
    {"register read", false,
     [](ConnectedEntry&) -> std::uint8_t {
         std::uint16_t v = 0;
         const std::uint8_t status = APIAccessBoardRegister(kEntry, 0, kChannel, 37, &v);
         if (status == 1) {
             EXPECT_EQ(v, 0x0123);
         }
         return status;
     }},
    {"register write", false,
     [](ConnectedEntry& c) -> std::uint8_t {
         std::uint16_t v = 0;
         const std::uint8_t status = APIAccessBoardRegister(kEntry, 1, kChannel, 33, &v);
         if (status == 1) {
             EXPECT_EQ(c.unit.model().Register(kChannel, 33), 0);
         }
         return status;
     }},
    {"record write", false,
     [](ConnectedEntry&) -> std::uint8_t { return APIWriteVOAInsertionLoss(kEntry, kChannel, kNewLoss); }},
    {"record read", false,
     [](ConnectedEntry&) -> std::uint8_t {
         double loss = 0;
         const std::uint8_t status = APIReadVOAInsertionLoss(kEntry, kChannel, &loss);
         if (status == 1) {
             EXPECT_EQ(loss, kStoredLoss);
         }
         return status;
     }},
    {"connect scan", true,
     [](ConnectedEntry& c) -> std::uint8_t {
         const std::uint8_t status = APIConnect(kEntry, c.unit.ip().c_str());
         if (status == 1) {
             EXPECT_TRUE(c.ConnectedAsBefore());
         }
         return status;
     }},
    {"power read", false,
     [](ConnectedEntry& c) -> std::uint8_t {
         std::uint16_t count = 0;
         const std::uint8_t status = APIReadOpticalPower(kEntry, kChannel, &count);
         const double expected = c.unit.model().Register(kChannel, 36);
         if (status == 1) {
             EXPECT_NEAR(count, expected, 0.02 * expected + 2);
         }
         return status;
     }},
    {"VOA calibration write", false,
     [](ConnectedEntry&) -> std::uint8_t {
         const std::uint8_t status = APIWriteVOACalibration(kEntry, kChannel, kNewVOA);
         if (status == 1) {
             double back[4] = {};
             EXPECT_EQ(APIReadVOACalibration(kEntry, kChannel, back), 1);
             for (int k = 0; k < 4; ++k) EXPECT_EQ(back[k], kNewVOA[k]);
         }
         return status;
     }},
};

TEST_P(MatrixCell, RightValueOrFailureWithTheReasonThenRecovery) {
    const MatrixOperation& op = kOperations[std::get<0>(GetParam())];
    const MatrixFault& fault = kFaults[std::get<1>(GetParam())];

    // The fault-free run: its duration, its frame count and the EEPROM it leaves.
    const std::vector<std::uint8_t> before = unit.model().EepromImage();
    const std::size_t frames_before = unit.server().FramesReceived();
    auto start = Clock::now();
    ASSERT_EQ(op.run(*this), 1) << APILastError(kEntry);
    const auto clean = Clock::now() - start;
    const std::size_t frames = unit.server().FramesReceived() - frames_before;
    const std::vector<std::uint8_t> written = unit.model().EepromImage();

    // The fault at the first frame of the call and half-way through it. A connect learns the
    // unit's replies from its first one, so a unit that answers garbage from its very first
    // reply on is indistinguishable from one whose registers hold those bytes: garbage starts
    // at the second frame there.
    std::vector<std::uint64_t> positions{op.connects && fault.plan.kind == Fault::Garbage ? 1u : 0u};
    if (fault.how == Unit::Plan && frames > 1) positions.push_back(frames / 2);
    for (std::uint64_t at : positions) {
        SCOPED_TRACE(std::string(op.name) + ", " + fault.name + " from frame " + std::to_string(at));
        unit.model().SetEepromImage(before);
        unit.model().SetRegister(kChannel, 33, 1);
        std::unique_ptr<zeltest::DroppingListener> dropping;
        if (fault.how == Unit::Plan) {
            FaultPlan plan = fault.plan;
            plan.after_frames = at;
            unit.server().SetFaults(plan);
        } else {
            unit.server().Stop();
            if (fault.how == Unit::Drop) {
                dropping = std::make_unique<zeltest::DroppingListener>(unit.ip());
                ASSERT_TRUE(dropping->dropping());
            }
        }
        start = Clock::now();
        const std::uint8_t status = op.run(*this);
        const auto took = Clock::now() - start;
        const zel_error reason = APILastError(kEntry);
        const std::vector<std::uint8_t> after = unit.model().EepromImage();
        if (status == 1) {
            EXPECT_TRUE(fault.may_succeed || fault.reasons.empty());
            EXPECT_EQ(reason, ZEL_OK);
            EXPECT_TRUE(after == written) << "a success that did not store everything";
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_FALSE(fault.reasons.empty()) << reason;
            EXPECT_NE(std::find(fault.reasons.begin(), fault.reasons.end(), reason), fault.reasons.end()) << reason;
        }
        // A call that fails costs at most about one time-out: after its first failed exchange the rest
        // fails without sending. One that succeeds takes what the unit's pieces and delays take.
        if (status == 0) {
            EXPECT_LT(took, clean + std::chrono::milliseconds(2 * kMatrixTimeoutMs + 200));
        }
        std::printf("[ matrix   ] %s | %s | from frame %llu | status %u %s | %lld ms (fault-free %lld ms)\n", op.name,
                    fault.name, static_cast<unsigned long long>(at), status, zel_ErrorText(reason),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(clean).count()));
        for (std::size_t i = 0; i < after.size(); ++i)
            if (after[i] != before[i]) {
                ASSERT_EQ(after[i], written[i]) << "EEPROM byte " << i << " not meant";
            }

        dropping.reset();
        unit.server().SetFaults({});
        if (fault.how != Unit::Plan) {
            ASSERT_TRUE(unit.server().Start());
        }
        EXPECT_EQ(op.run(*this), 1) << "no recovery: " << APILastError(kEntry);
        if (!op.connects) {
            std::uint16_t v = 0;
            EXPECT_EQ(APIAccessBoardRegister(kEntry, 0, kChannel, 37, &v), 1);
        }
    }
}

std::string CellName(const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
    std::string name =
        std::string(kOperations[std::get<0>(info.param)].name) + "_" + kFaults[std::get<1>(info.param)].name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(FaultsTimesOperations, MatrixCell,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kOperations))),
                                            ::testing::Range(0, static_cast<int>(std::size(kFaults)))),
                         CellName);

// Against a unit that takes frames and never answers, a call of many exchanges ends one time-out
// after its first exchange (plus the settling pauses it makes), whatever its exchange count.
TEST_F(ConnectedEntry, CallsOfManyExchangesAgainstASilentUnitEndAfterAboutOneTimeOut) {
    struct Call {
        const char* name;
        std::uint8_t (*run)(const std::string& ip);
    };
    const Call calls[] = {
        {"APIConnect", [](const std::string& ip) { return APIConnect(kEntry, ip.c_str()); }},
        {"APIWriteVOAInsertionLoss",
         [](const std::string&) { return APIWriteVOAInsertionLoss(kEntry, kChannel, 1.0); }},
        {"APIWriteVOACalibration",
         [](const std::string&) { return APIWriteVOACalibration(kEntry, kChannel, kNewVOA); }},
        {"APIReadVOADefinedValues",
         [](const std::string&) {
             std::uint16_t values[30] = {};
             return APIReadVOADefinedValues(kEntry, kChannel, values);
         }},
    };
    long long worst = 0;
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        unit.server().SetFaults({});
        auto start = Clock::now();
        ASSERT_EQ(call.run(unit.ip()), 1) << APILastError(kEntry);
        const auto clean = Clock::now() - start;
        unit.server().SetFaults({.kind = Fault::Stall});
        start = Clock::now();
        EXPECT_EQ(call.run(unit.ip()), 0);
        const auto took = Clock::now() - start;
        EXPECT_EQ(APILastError(kEntry), ZEL_ERR_TIMEOUT);
        EXPECT_LT(took, clean + std::chrono::milliseconds(kMatrixTimeoutMs + 150));
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
        worst = std::max(worst, ms);
        std::printf("[ silent   ] %s: %lld ms against a silent unit (fault-free %lld ms, time-out %d ms)\n", call.name,
                    ms, static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(clean).count()),
                    kMatrixTimeoutMs);
    }
    std::printf("[ silent   ] worst: %lld ms\n", worst);
}

}  // namespace
