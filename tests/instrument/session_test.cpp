// Instrument session: connecting, the board ID, the channel layout of each board type, the date
// stamp and the number-list splitter.
#include "instrument/date_stamp.h"
#include "support/unit_fixture.h"

namespace {

using zeltest::UnitTest;

TEST(SessionOffline, RevisionIsReadFromTheRevisionText) {
    ZEL_API inst;
    EXPECT_EQ(inst.GetAPIRev(), 6926.0);
}

TEST(SessionOffline, LayoutFollowsTheBoardType) {
    struct Row {
        int type, ports, channels;
        std::vector<std::int32_t> map;
    };
    const Row rows[] = {
        {0, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0}}, {1, 1, 1, {0, 0, 0, 0, 0, 0, 0, 0}}, {2, 4, 1, {0, 0, 0, 0, 0, 0, 0, 0}},
        {3, 4, 1, {0, 0, 0, 0, 0, 0, 0, 0}}, {4, 4, 4, {0, 1, 2, 3, 0, 1, 2, 3}}, {5, 4, 4, {0, 1, 2, 3, 0, 1, 2, 3}},
        {6, 8, 8, {0, 1, 2, 3, 4, 5, 6, 7}}, {7, 8, 1, {3, 3, 3, 3, 3, 3, 3, 3}},
    };
    ZEL_API inst;
    for (const Row& r : rows) {
        inst.AdoptBoardType(r.type);
        EXPECT_EQ(inst.Layout(), r.map) << r.type;
        EXPECT_EQ(inst.PortCount(), r.ports) << r.type;
        EXPECT_EQ(inst.ChannelCount(), r.channels) << r.type;
    }
    // An unknown type keeps the previous layout and counts.
    inst.AdoptBoardType(9);
    EXPECT_EQ(inst.Layout(), rows[7].map);
    EXPECT_EQ(inst.ChannelCount(), 1);
}

TEST(SessionOffline, UnknownBoardTypeOnAFreshInstanceGivesAnEmptyLayoutOfEightZeros) {
    ZEL_API inst;
    EXPECT_TRUE(inst.Layout().empty());
    inst.AdoptBoardType(9);
    EXPECT_EQ(inst.Layout(), std::vector<std::int32_t>(8, 0));
    EXPECT_EQ(inst.PortCount(), 0);
    EXPECT_EQ(inst.ChannelCount(), 0);
}

TEST(SessionOffline, ChannelWithoutLayoutEntryFailsWithoutSending) {
    ZEL_API inst;  // never connected: no layout, no link
    std::uint16_t pos = 0xBEEF;
    EXPECT_EQ(inst.ReadSwitchSelect_2x2(0, &pos), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CONNECTED);
    EXPECT_EQ(pos, 0xBEEF);
    inst.AdoptBoardType(6);
    EXPECT_EQ(inst.SwitchSelect_2x2(8, 1), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NO_SUCH_CHANNEL);
    EXPECT_EQ(inst.SwitchSelect_2x2(7, 1), 0);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_NOT_CONNECTED);  // the lookup passed; the link is down
}

TEST(SessionOffline, SplitNumbersYieldsOneEntryPerToken) {
    ZEL_API inst;
    using V = std::vector<std::int32_t>;
    EXPECT_EQ(inst.SplitNumbers("10,20,30", ','), (V{10, 20, 30}));
    EXPECT_EQ(inst.SplitNumbers("10,20,", ','), (V{10, 20}));
    EXPECT_EQ(inst.SplitNumbers(" -7;+8;x9;12abc", ';'), (V{-7, 8, 0, 12}));
    EXPECT_EQ(inst.SplitNumbers(",5", ','), (V{0, 5}));
    EXPECT_EQ(inst.SplitNumbers("", ','), V{});
    EXPECT_EQ(inst.SplitNumbers("99999999999,-99999999999", ','), (V{INT32_MAX, INT32_MIN}));
}

TEST(SessionOffline, DateStampWritesMillisecondsWithoutLeadingZeros) {
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 5;
    t.tm_hour = 14;
    t.tm_min = 7;
    t.tm_sec = 9;
    EXPECT_EQ(zel::FormatDateStamp(t, 45), "Date-2024-03-05-Time-14-07-09-45");
    EXPECT_EQ(zel::FormatDateStamp(t, 3), "Date-2024-03-05-Time-14-07-09-3");
    EXPECT_EQ(zel::FormatDateStamp(t, 0), "Date-2024-03-05-Time-14-07-09-0");
    ZEL_API inst;
    const std::string live = inst.MakeDateStamp();
    EXPECT_EQ(live.rfind("Date-", 0), 0u);
    EXPECT_GE(live.size(), 31u);
}

class SessionTest : public UnitTest {};

TEST_F(SessionTest, ConnectReadsBoardIdAndTheBoardType) {
    EXPECT_EQ(inst.Connect(unit->ip()), 1);
    EXPECT_EQ(inst.IpAddress(), unit->ip());
    EXPECT_EQ(inst.BoardIdField(), unit->model().Register(0, 20));
    EXPECT_EQ(inst.ReadBoardID(), unit->model().Register(0, 20));
    EXPECT_EQ(inst.BoardType(), unit->model().BoardType());
    EXPECT_EQ(inst.Layout().size(), 8u);
    EXPECT_EQ(inst.CurrentSlot(), 0);
    auto frames = unit->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(zeltest::IsRegisterFrame(frames[0]));
    EXPECT_EQ(zeltest::AddressOf(frames[0]), 20u);  // the board ID comes first
}

TEST_F(SessionTest, ConnectWhereNothingListensFailsAndChangesNothing) {
    ZEL_API other;
    EXPECT_EQ(other.Connect(zeltest::UnusedLoopbackAddress()), 0);
    EXPECT_EQ(other.LastError(), ZEL_ERR_CONNECTION_REFUSED);
    EXPECT_TRUE(other.Layout().empty());
    EXPECT_EQ(other.BoardIdField(), 0u);
}

TEST_F(SessionTest, DisconnectThenConnectAgain) {
    ASSERT_EQ(inst.Connect(unit->ip()), 1);
    EXPECT_EQ(inst.Disconnect(), 1);
    EXPECT_EQ(inst.Disconnect(), 0);
    unit->model().SetRegister(0, 20, 0x4242);
    EXPECT_EQ(inst.Connect(unit->ip()), 1);
    EXPECT_EQ(inst.ReadBoardID(), 0x4242u);
}

TEST_F(SessionTest, ConnectReadsTheBoardIdEvenWhenTheTypeReadFails) {
    unit->server().SetFaults({.kind = zelsim::Fault::Close, .after_frames = 1});
    unit->model().SetRegister(0, 20, 0x0777);
    EXPECT_EQ(inst.Connect(unit->ip()), 0);
    EXPECT_EQ(inst.BoardIdField(), 0x0777u);
    EXPECT_EQ(inst.LastError(), ZEL_ERR_PEER_CLOSED);
}

TEST_F(SessionTest, FailedBoardIdReadReturnsZero) {
    ConnectInstrument();
    unit->server().SetFaults({.kind = zelsim::Fault::Close});
    EXPECT_EQ(inst.ReadBoardID(), 0u);
}

}  // namespace
