// Opening and closing the link to a unit.
#include <chrono>
#include <thread>

#include "support/unit_fixture.h"
#include "support/wait_for.h"

namespace {

using zeltest::SimulatedUnit;

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { zeltest::ShortenLinkTimeouts(1000); }
};

using zeltest::WaitFor;

// Waits (bounded) until the unit's accept thread has caught up with the link.
bool WaitForActiveConnections(zelsim::Server& server, int expected) {
    return WaitFor([&] { return server.ActiveConnections() == expected; });
}

TEST_F(LinkTest, AddressesThatAreNotDottedQuadsFailWithoutTouchingTheNetwork) {
    for (const char* text : {"", "unit-7", "127.0.0", "127.0.0.1.5", "256.1.1.1", "127.0.0.1 "}) {
        HwLayer link;
        EXPECT_FALSE(link.OpenLink(text, 6653)) << text;
        EXPECT_EQ(link.LastError(), ZEL_ERR_BAD_ADDRESS) << text;
        EXPECT_FALSE(link.IsOpen());
    }
    HwLayer link;
    EXPECT_FALSE(link.OpenLink(nullptr, 6653));
}

TEST_F(LinkTest, NothingListeningIsRefusedPromptly) {
    HwLayer link;
    EXPECT_FALSE(link.OpenLink(zeltest::UnusedLoopbackAddress().c_str(), 6653));
    EXPECT_EQ(link.LastError(), ZEL_ERR_CONNECTION_REFUSED);
    EXPECT_NE(link.LastResult(), 0);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(LinkTest, ConnectWhoseAttemptsAreDroppedEndsAtTheLinksTimeOut) {
    const std::string ip = zeltest::UnusedLoopbackAddress();
    zeltest::DroppingListener dropping(ip);
    ASSERT_TRUE(dropping.dropping());
    HwLayer link;
    link.SetTimeout(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.OpenLink(ip.c_str(), 6653));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(link.LastError(), ZEL_ERR_TIMEOUT);
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 600);
    EXPECT_FALSE(link.IsOpen());
}

TEST_F(LinkTest, CloseWithoutOpenFailsAndExchangesReportNotConnected) {
    HwLayer link;
    EXPECT_FALSE(link.CloseLink());
    EXPECT_EQ(link.LastError(), ZEL_ERR_NOT_CONNECTED);
    std::uint16_t v = 0;
    EXPECT_FALSE(link.AccessRegister(0, 0, 20, v));
    EXPECT_EQ(link.LastError(), ZEL_ERR_NOT_CONNECTED);
}

TEST_F(LinkTest, ReopeningReplacesTheSocketAndClosesTheOldOne) {
    SimulatedUnit unit;
    HwLayer link;
    ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
    ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
    EXPECT_TRUE(WaitFor([&] { return unit.server().ConnectionsAccepted() == 2; }));
    EXPECT_TRUE(WaitForActiveConnections(unit.server(), 1));
    std::uint16_t id = 0;
    EXPECT_TRUE(link.AccessRegister(0, 0, 20, id));
    EXPECT_EQ(id, unit.model().Register(0, 20));
}

TEST_F(LinkTest, ClosedLinkNeverReusesItsOldDescriptor) {
    SimulatedUnit unit;
    HwLayer link;
    ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
    ASSERT_TRUE(link.CloseLink());
    // Another link of the process is likely to get the same descriptor number.
    HwLayer other;
    ASSERT_TRUE(other.OpenLink(unit.ip().c_str(), 6653));
    unit.clear_frames();
    std::uint16_t v = 0;
    EXPECT_FALSE(link.AccessRegister(0, 0, 20, v));
    EXPECT_EQ(link.LastError(), ZEL_ERR_NOT_CONNECTED);
    EXPECT_TRUE(unit.frames().empty());
    EXPECT_FALSE(link.CloseLink());
}

TEST_F(LinkTest, DestroyingAnOpenLinkClosesItsConnection) {
    SimulatedUnit unit;
    {
        HwLayer link;
        ASSERT_TRUE(link.OpenLink(unit.ip().c_str(), 6653));
        ASSERT_TRUE(WaitForActiveConnections(unit.server(), 1));
    }
    EXPECT_TRUE(WaitForActiveConnections(unit.server(), 0));
}

}  // namespace
