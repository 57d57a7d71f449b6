// The unit over real TCP on loopback, observed by a raw socket client.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "log.h"
#include "support.h"
#include "support/wait_for.h"

using namespace simtest;
using zelsim::Fault;
using zelsim::FaultPlan;
using zelsim::Server;
using zelsim::UnitModel;
using Clock = std::chrono::steady_clock;

namespace {

using std::chrono::milliseconds;
using zeltest::WaitFor;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server = StartOnLoopback(unit);
        ASSERT_NE(server, nullptr);
    }
    UnitModel unit;
    std::unique_ptr<Server> server;
};

TEST_F(ServerTest, ExchangesAndExactFrameLog) {
    Client c(server->Address());
    ASSERT_TRUE(c.connected());
    RawFrame read = RegisterRead(0, 20);
    for (std::size_t i = 8; i < read.size(); ++i) read[i] = static_cast<std::uint8_t>(i);  // leftovers travel too
    Bytes r = c.Exchange(read);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(Value(r), unit.Config().board_id);
    r = c.Exchange(BlockRead(0x12008));
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[0], unit.Eeprom(0x12008));

    const auto log = server->FrameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], read);
    const std::uint8_t head[9] = {0xF1, 0x00, 0x01, 0x80, 0x00, 0x08, 0x20, 0x01, 0x00};
    EXPECT_TRUE(std::equal(std::begin(head), std::end(head), log[1].begin()));
    EXPECT_EQ(server->FramesReceived(), 2u);
    server->ClearFrameLog();
    EXPECT_TRUE(server->FrameLog().empty());
    EXPECT_EQ(server->FramesReceived(), 2u);
}

TEST_F(ServerTest, FramesSplitAndJoinedAcrossWrites) {
    Client c(server->Address());
    const RawFrame a = RegisterWrite(3, 37, 0x0123);
    const RawFrame b = RegisterRead(3, 37);
    // First frame byte by byte.
    for (std::uint8_t byte : a) {
        ASSERT_TRUE(c.Send(&byte, 1));
    }
    EXPECT_EQ(Value(c.Receive(128)), 0x0123);
    // One and a half frames, then the rest.
    Bytes stream(b.begin(), b.end());
    stream.insert(stream.end(), b.begin(), b.end());
    ASSERT_TRUE(c.Send(stream.data(), 192));
    EXPECT_EQ(Value(c.Receive(128)), 0x0123);
    EXPECT_TRUE(c.Drain(50).empty());  // half a frame gets no reply
    ASSERT_TRUE(c.Send(stream.data() + 192, 64));
    EXPECT_EQ(Value(c.Receive(128)), 0x0123);
    EXPECT_EQ(server->FramesReceived(), 3u);
}

TEST_F(ServerTest, FaultCloseAfterFrames) {
    server->SetFaults({Fault::Close, 2});
    Client c(server->Address());
    EXPECT_EQ(c.Exchange(RegisterRead(0, 9)).size(), 128u);
    EXPECT_EQ(c.Exchange(RegisterWrite(0, 100, 5)).size(), 128u);
    ASSERT_TRUE(c.Send(RegisterWrite(0, 100, 6)));
    EXPECT_TRUE(c.PeerClosed());
    EXPECT_EQ(unit.Register(0, 100), 5);  // the dropped frame never reached the unit
    EXPECT_EQ(server->FramesReceived(), 3u);

    // Still faulty for later frames on a new connection; a new plan restarts the count.
    Client d(server->Address());
    ASSERT_TRUE(d.Send(RegisterRead(0, 9)));
    EXPECT_TRUE(d.PeerClosed());
    server->SetFaults({});
    Client e(server->Address());
    EXPECT_EQ(Value(e.Exchange(RegisterRead(0, 9))), 123);
    EXPECT_EQ(server->ConnectionsAccepted(), 3);
}

TEST_F(ServerTest, FaultStallTakesFramesAndNeverReplies) {
    Client c(server->Address());
    server->SetFaults({Fault::Stall, 1});
    EXPECT_EQ(c.Exchange(RegisterRead(0, 9)).size(), 128u);
    ASSERT_TRUE(c.Send(RegisterWrite(0, 100, 9)));
    ASSERT_TRUE(c.Send(RegisterRead(0, 9)));
    EXPECT_TRUE(c.Drain(200).empty());
    EXPECT_TRUE(WaitFor([&] { return server->FramesReceived() == 3; }));
    EXPECT_EQ(unit.Register(0, 100), 0);
    server->SetFaults({});
    EXPECT_EQ(Value(c.Exchange(RegisterRead(0, 20))), unit.Config().board_id);
}

TEST_F(ServerTest, FaultShortReply) {
    FaultPlan plan;
    plan.kind = Fault::ShortReply;
    plan.short_bytes = 3;
    server->SetFaults(plan);
    Client c(server->Address());
    ASSERT_TRUE(c.Send(RegisterRead(0, 20)));
    const Bytes r = c.Drain(150);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(Value(r), unit.Config().board_id);
    plan.short_bytes = 1000;  // more than the reply: the whole reply
    server->SetFaults(plan);
    ASSERT_TRUE(c.Send(RegisterRead(0, 20)));
    EXPECT_EQ(c.Drain(150).size(), 128u);
}

TEST_F(ServerTest, FaultSplitReplyArrivesInPiecesOverTime) {
    FaultPlan plan;
    plan.kind = Fault::SplitReply;
    plan.split_parts = 4;
    server->SetFaults(plan);
    unit.SetEeprom(0x2100, 0x5C);
    Client c(server->Address());
    ASSERT_TRUE(c.Send(BlockRead(0x2100)));
    Bytes first = c.Receive(1);
    ASSERT_EQ(first.size(), 1u);
    const auto t0 = Clock::now();
    Bytes rest = c.Receive(127);
    ASSERT_EQ(rest.size(), 127u);
    EXPECT_GE(ElapsedMs(t0), 12);  // three 5 ms gaps after the first part
    EXPECT_EQ(first[0], 0x5C);
    EXPECT_TRUE(c.Drain(30).empty());
}

TEST_F(ServerTest, FaultDelay) {
    FaultPlan plan;
    plan.kind = Fault::Delay;
    plan.delay_ms = 150;
    plan.after_frames = 1;
    server->SetFaults(plan);
    Client c(server->Address());
    auto t0 = Clock::now();
    EXPECT_EQ(c.Exchange(RegisterRead(0, 9)).size(), 128u);
    EXPECT_LT(ElapsedMs(t0), 100);
    t0 = Clock::now();
    EXPECT_EQ(Value(c.Exchange(RegisterRead(0, 9))), 123);
    EXPECT_GE(ElapsedMs(t0), 145);
}

TEST_F(ServerTest, RefuseNewConnectionsOnly) {
    Client old(server->Address());
    EXPECT_EQ(old.Exchange(RegisterRead(0, 9)).size(), 128u);
    FaultPlan plan;
    plan.refuse_connections = true;
    server->SetFaults(plan);
    Client c(server->Address());
    ASSERT_TRUE(c.connected());  // the kernel accepts; the unit closes at once
    EXPECT_TRUE(c.PeerClosed());
    EXPECT_EQ(Value(old.Exchange(RegisterRead(0, 9))), 123);
    EXPECT_TRUE(WaitFor([&] { return server->ConnectionsAccepted() == 2; }));
}

TEST_F(ServerTest, BadClientsDoNotDisturbAGoodOne) {
    Client good(server->Address());
    std::thread bad([&] {
        std::mt19937 rng(3);
        for (int k = 0; k < 20; ++k) {
            Client b(server->Address());
            Bytes junk(1000 + k * 37);
            for (auto& x : junk) x = static_cast<std::uint8_t>(rng());
            b.Send(junk.data(), junk.size());  // never reads its replies, leaves half a frame
            if (k % 2 == 0) b.Abort();
        }
    });
    for (std::uint16_t i = 0; i < 300; ++i) {
        ASSERT_EQ(Value(good.Exchange(RegisterWrite(4, 200, i))), i);
        ASSERT_EQ(Value(good.Exchange(RegisterRead(4, 200))), i);
    }
    bad.join();
    EXPECT_TRUE(WaitFor([&] { return server->ActiveConnections() == 1; }));
    Client later(server->Address());
    EXPECT_EQ(Value(later.Exchange(RegisterRead(0, 9))), 123);
}

TEST_F(ServerTest, GoodClientServedAmong240MisbehavingConnections) {
    zelsim::ServerLimits limits;
    limits.idle_timeout_ms = 1000;
    limits.send_timeout_ms = 300;
    server->SetLimits(limits);
    // Silent hosts, hosts stuck half-way through a frame, hosts that send and never read.
    std::vector<std::unique_ptr<Client>> bad;
    for (int k = 0; k < 240; ++k) {
        bad.push_back(std::make_unique<Client>(server->Address()));
        ASSERT_TRUE(bad.back()->connected());
        if (k % 3 == 1) {
            ASSERT_TRUE(bad.back()->Send(RegisterRead(0, 9).data(), 50));
        } else if (k % 3 == 2) {
            for (int i = 0; i < 8; ++i) {
                ASSERT_TRUE(bad.back()->Send(PageRead(static_cast<std::uint8_t>(i))));
            }
        }
    }
    ASSERT_TRUE(WaitFor([&] { return server->ConnectionsAccepted() == 240; }, milliseconds(10000)));

    Client good(server->Address());
    ASSERT_TRUE(good.connected());
    std::vector<long> us;
    for (std::uint16_t i = 0; i < 200; ++i) {
        const auto t0 = Clock::now();
        ASSERT_EQ(Value(good.Exchange(RegisterWrite(5, 300, static_cast<std::uint16_t>(i * 7)))), i * 7);
        us.push_back(
            static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count()));
    }
    std::sort(us.begin(), us.end());
    std::cout << "good client with 240 misbehaving connections open: round trip median " << us[us.size() / 2]
              << " us, 99th percentile " << us[us.size() * 99 / 100] << " us, max " << us.back() << " us\n";

    // The misbehaving ones go at the idle time-out; the host that keeps talking stays.
    EXPECT_TRUE(WaitFor(
        [&] { return Value(good.Exchange(RegisterRead(5, 300))) == 199 * 7 && server->ActiveConnections() == 1; },
        milliseconds(limits.idle_timeout_ms * 6)));
    EXPECT_EQ(server->ConnectionsTimedOut(), 240);
    for (std::size_t k : {0, 1, 2, 239}) {
        EXPECT_TRUE(bad[k]->PeerClosed(500)) << k;
    }
    EXPECT_EQ(server->ConnectionsAccepted(), 241);
}

TEST_F(ServerTest, ConnectionCapAndIdleTimeOutFreeSlots) {
    zelsim::ServerLimits limits;
    limits.max_connections = 8;
    limits.idle_timeout_ms = 1000;
    server->SetLimits(limits);
    std::vector<std::unique_ptr<Client>> silent;
    for (int k = 0; k < 8; ++k) silent.push_back(std::make_unique<Client>(server->Address()));
    ASSERT_TRUE(WaitFor([&] { return server->ConnectionsAccepted() == 8; }));
    Client ninth(server->Address());
    EXPECT_TRUE(ninth.PeerClosed(200));  // over the cap: accepted and closed at once
    EXPECT_LE(server->ActiveConnections(), 8);

    // The silent ones time out; a host then gets a slot. A host dribbling bytes
    // without ever completing a frame is idle too; one that talks slower than
    // the time-out between frames but within it is not.
    EXPECT_TRUE(WaitFor([&] { return server->ActiveConnections() == 0; }, milliseconds(6000)));
    for (auto& c : silent) {
        EXPECT_TRUE(c->PeerClosed(100));
    }
    Client dribbler(server->Address());
    Client talker(server->Address());
    ASSERT_TRUE(talker.connected());
    const RawFrame f = RegisterRead(0, 9);
    bool dribbler_closed = false;
    for (int i = 0; i < 15; ++i) {  // 15 x 100 ms: well past the idle time-out
        if (!dribbler.Send(&f[static_cast<std::size_t>(i)], 1)) dribbler_closed = true;
        ASSERT_EQ(Value(talker.Exchange(f)), 123) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(dribbler_closed || dribbler.PeerClosed(500));
    EXPECT_EQ(server->ConnectionsTimedOut(), 9);

    // Limits apply to connections accepted later: with no idle time-out a silent host stays.
    talker.Close();
    limits.idle_timeout_ms = 0;
    server->SetLimits(limits);
    Client patient(server->Address());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(Value(patient.Exchange(f)), 123);
    EXPECT_EQ(server->ConnectionsTimedOut(), 9);
}

TEST_F(ServerTest, HostThatNeverReadsIsCutOffBySendTimeOut) {
    zelsim::ServerLimits limits;
    limits.idle_timeout_ms = 0;
    limits.send_timeout_ms = 200;
    server->SetLimits(limits);
    std::atomic<bool> flooding{true};
    std::atomic<bool> cut_off{false};
    std::thread flooder([&] {
        Client f(server->Address());
        f.SetSendTimeout(10000);  // far beyond the unit's send time-out
        Bytes batch;
        for (int i = 0; i < 64; ++i) {
            const RawFrame p = PageRead(static_cast<std::uint8_t>(i));
            batch.insert(batch.end(), p.begin(), p.end());
        }
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < end && f.Send(batch.data(), batch.size())) {}
        // Ended by the unit (not by the time limit): a reset, or a close after the replies still queued.
        cut_off = Clock::now() < end && f.PeerClosed(5000);
        flooding = false;
    });
    Client good(server->Address());
    int exchanges = 0;
    while (flooding) {
        const std::uint16_t v = static_cast<std::uint16_t>(exchanges);
        if (Value(good.Exchange(RegisterWrite(1, 400, v))) != v) {
            ADD_FAILURE() << "exchange " << exchanges << " while the other host floods";
            break;
        }
        ++exchanges;
    }
    flooder.join();
    EXPECT_TRUE(cut_off);
    EXPECT_GT(exchanges, 0);
    EXPECT_EQ(server->ConnectionsTimedOut(), 1);
    EXPECT_EQ(Value(good.Exchange(RegisterRead(1, 400))), static_cast<std::uint16_t>(exchanges - 1));
}

TEST_F(ServerTest, StopEndsEveryConnectionPromptly) {
    Client idle(server->Address());
    Client half(server->Address());
    ASSERT_TRUE(half.Send(RegisterRead(0, 9).data(), 60));
    Client delayed(server->Address());
    FaultPlan plan;
    plan.kind = Fault::Delay;
    plan.delay_ms = 10000;
    server->SetFaults(plan);
    ASSERT_TRUE(delayed.Send(RegisterRead(0, 9)));
    ASSERT_TRUE(WaitFor([&] { return server->FramesReceived() == 1; }));
    const auto t0 = Clock::now();
    server->Stop();
    EXPECT_LT(ElapsedMs(t0), 1000);
    EXPECT_TRUE(idle.PeerClosed(500));
    EXPECT_TRUE(half.PeerClosed(500));
    EXPECT_TRUE(delayed.PeerClosed(500));
    server->Stop();  // idempotent
    Client none(server->Address());
    EXPECT_FALSE(none.connected());
    // It can start again on the same address.
    server->SetFaults({});
    ASSERT_TRUE(server->Start());
    Client again(server->Address());
    EXPECT_EQ(Value(again.Exchange(RegisterRead(0, 9))), 123);
}

TEST_F(ServerTest, FrameLogIsABoundedRing) {
    server->SetFrameLogCapacity(4);
    Client c(server->Address());
    for (std::uint16_t i = 0; i < 10; ++i) ASSERT_EQ(c.Exchange(RegisterWrite(0, 300, i)).size(), 128u);
    auto log = server->FrameLog();
    ASSERT_EQ(log.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(log[k][6], 6 + k);
    server->SetFrameLogCapacity(2);
    log = server->FrameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0][6], 8);
    EXPECT_EQ(log[1][6], 9);
    EXPECT_EQ(server->FramesReceived(), 10u);
}

// The ring on its own: wrapping, growing and shrinking after a wrap, no capacity, clearing.
TEST(FrameLog, KeepsTheNewestFramesOldestFirst) {
    constexpr std::size_t kKeep = SIZE_MAX;
    const struct {
        std::size_t capacity;
        int recorded;
        std::size_t resize;  // kKeep: none
        int recorded_after;
        std::vector<int> want;  // first byte of each frame kept, oldest first
    } cases[] = {
        {3, 2, kKeep, 0, {0, 1}},
        {3, 7, kKeep, 0, {4, 5, 6}},
        {3, 7, 5, 2, {4, 5, 6, 7, 8}},  // grown after a wrap: in order, and filled before it wraps again
        {3, 7, 5, 4, {6, 7, 8, 9, 10}},
        {4, 6, 2, 0, {4, 5}},
        {4, 6, 2, 1, {5, 6}},
        {0, 3, kKeep, 0, {}},
        {3, 2, 0, 2, {}},
    };
    for (const auto& c : cases) {
        zelsim::FrameLog log(c.capacity);
        int next = 0;
        auto record = [&](int n) {
            for (int i = 0; i < n; ++i) {
                std::uint8_t frame[zelsim::kFrameSize] = {static_cast<std::uint8_t>(next++)};
                log.Record(frame);
            }
        };
        record(c.recorded);
        if (c.resize != kKeep) log.SetCapacity(c.resize);
        record(c.recorded_after);
        std::vector<int> got;
        for (const auto& f : log.Frames()) got.push_back(f[0]);
        EXPECT_EQ(got, c.want) << "capacity " << c.capacity << ", " << c.recorded << " then " << c.recorded_after;
        EXPECT_EQ(log.Received(), static_cast<std::size_t>(next));

        log.Clear();
        EXPECT_TRUE(log.Frames().empty());
        record(1);
        EXPECT_EQ(log.Frames().size(), std::min<std::size_t>(1, c.resize != kKeep ? c.resize : c.capacity));
        EXPECT_EQ(log.Received(), static_cast<std::size_t>(next));  // a clear keeps the count
    }
}

// Open descriptors of this process (Linux), or -1 where the system does not list them.
// Every way a link ends gives its socket back exactly once: a leak leaves the count high, a
// second close of a reused number takes some other descriptor with it and leaves it low.
TEST(ServerSockets, EveryWayALinkEndsClosesItsSocketOnce) {
    if (zeltest::host::OpenDescriptors() < 0) GTEST_SKIP() << "no descriptor list on this system";
    UnitModel unit;
    const long before = zeltest::host::OpenDescriptors();
    auto server = StartOnLoopback(unit);
    ASSERT_NE(server, nullptr);
    const long running = zeltest::host::OpenDescriptors();
    {
        Server clash(unit, server->Address());
        EXPECT_FALSE(clash.Start());  // address in use: its listener goes at once
    }
    EXPECT_EQ(zeltest::host::OpenDescriptors(), running);

    zelsim::ServerLimits limits;
    limits.idle_timeout_ms = 300;
    server->SetLimits(limits);
    {
        Client quits(server->Address());
        EXPECT_EQ(quits.Exchange(RegisterRead(0, 9)).size(), 128u);
    }
    {
        Client idle(server->Address());
        EXPECT_TRUE(idle.PeerClosed(2000));  // idle time-out
    }
    for (const Fault kind : {Fault::Close, Fault::Reset}) {
        server->SetFaults({kind, 0});
        Client c(server->Address());
        ASSERT_TRUE(c.Send(RegisterRead(0, 9)));
        EXPECT_TRUE(c.PeerClosed(2000));
    }
    FaultPlan refuse;
    refuse.refuse_connections = true;
    server->SetFaults(refuse);
    {
        Client refused(server->Address());
        EXPECT_TRUE(refused.PeerClosed(2000));
    }
    server->SetFaults({});
    limits.idle_timeout_ms = 0;
    server->SetLimits(limits);
    ASSERT_TRUE(WaitFor([&] { return server->ActiveConnections() == 0; }));

    // The next connection reaps the ended ones: only its own two ends stay open.
    Client last(server->Address());
    EXPECT_EQ(Value(last.Exchange(RegisterRead(0, 9))), 123);
    EXPECT_EQ(zeltest::host::OpenDescriptors(), running + 2);
    EXPECT_EQ(server->ConnectionsAccepted(), 6);

    server->Stop();
    EXPECT_TRUE(last.PeerClosed(500));
    last.Close();
    EXPECT_EQ(zeltest::host::OpenDescriptors(), before);
}

TEST(ServerSetup, SeveralUnitsInOneProcessAndBadAddresses) {
    zelsim::UnitConfig ca, cb;
    ca.board_id = 111;
    cb.board_id = 222;
    UnitModel a(ca), b(cb);
    auto sa = StartOnLoopback(a);
    auto sb = StartOnLoopback(b);
    ASSERT_TRUE(sa && sb);
    EXPECT_FALSE(sa->Start());  // already running
    Server clash(b, sa->Address());
    EXPECT_FALSE(clash.Start());  // address in use
    Server bogus(b, "not-an-address");
    EXPECT_FALSE(bogus.Start());
    Client ka(sa->Address()), kb(sb->Address());
    EXPECT_EQ(Value(ka.Exchange(RegisterRead(0, 20))), 111);
    EXPECT_EQ(Value(kb.Exchange(RegisterRead(0, 20))), 222);
}

}  // namespace
