// How exchanges end when the unit misbehaves: they fail with the right reason within the link's
// time-out, never crash the host, and never corrupt what the caller gets back.
#include <chrono>

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
    // A write needs no reply content: one byte is enough.
    Plan({.kind = Fault::ShortReply, .short_bytes = 1});
    std::uint16_t w = 0x3333;
    EXPECT_TRUE(link.AccessRegister(1, 0, 102, w));
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

}  // namespace
