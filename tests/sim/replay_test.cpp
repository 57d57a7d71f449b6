// The replay of captured conversations, in process: each connection that sends a request plays the
// next conversation; a request that differs closes the connection or hands it to the model.
#include "zelsim/replay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/host.h"
#include "zelsim/loopback.h"

namespace {

namespace cap = zel::capture;
using Bytes = std::vector<std::uint8_t>;

Bytes RegisterRead(std::uint16_t address) {
    Bytes f(zelsim::kFrameSize, 0);
    f[0] = 0xF0;
    f[4] = static_cast<std::uint8_t>(address);
    f[5] = static_cast<std::uint8_t>(address >> 8);
    return f;
}

cap::Exchange Exchange(std::uint16_t address, std::uint16_t value, std::int64_t took_ms, std::uint64_t frame) {
    cap::Exchange e;
    e.request = RegisterRead(address);
    e.reply.assign(zelsim::kFrameSize, 0);
    e.reply[0] = 0xF0;
    e.reply[1] = static_cast<std::uint8_t>(value);
    e.reply[2] = static_cast<std::uint8_t>(value >> 8);
    e.request_frame = frame;
    e.reply_frame = frame + 1;
    e.request_ns = 1'000'000'000;
    e.reply_ns = e.request_ns + took_ms * 1'000'000;
    return e;
}

class ReplayServer {
public:
    explicit ReplayServer(std::vector<cap::Conversation> conversations, zelsim::ReplayOptions options)
        : replay_(std::move(conversations), options, [this](const std::string& line) {
              std::lock_guard<std::mutex> lk(mu_);
              log_ += line + "\n";
          }) {
        server_ = zelsim::StartOnFreeLoopback(model_);  // the model answers until the replay is set
        server_->Stop();
        server_->SetAnswerer(&replay_);
        EXPECT_TRUE(server_->Start());
    }
    const std::string& ip() const { return server_->Address(); }
    std::string Log() {
        std::lock_guard<std::mutex> lk(mu_);
        return log_;
    }

private:
    zelsim::UnitModel model_;
    zelsim::Replay replay_;
    std::mutex mu_;
    std::string log_;
    std::unique_ptr<zelsim::Server> server_;
};

// Sends `request` and gathers `n` reply bytes; fewer when the unit closes first.
Bytes Exchange(zeltest::host::Socket s, const Bytes& request, std::size_t n) {
    EXPECT_EQ(zeltest::host::SendSome(s, request.data(), request.size()), static_cast<long>(request.size()));
    Bytes got(n);
    std::size_t have = 0;
    while (have < n && zeltest::host::WaitReadable(s, 5000)) {
        const long r = zeltest::host::ReceiveSome(s, got.data() + have, n - have);
        if (r <= 0) break;
        have += static_cast<std::size_t>(r);
    }
    got.resize(have);
    return got;
}

std::vector<cap::Conversation> TwoConversations() {
    cap::Conversation a, b;
    a.exchanges = {Exchange(20, 0x1234, 0, 4), Exchange(21, 0x5678, 300, 6)};
    b.exchanges = {Exchange(9, 0x0042, 0, 20)};
    return {a, b};
}

TEST(Replay, ConnectionsPlayTheConversationsInOrderWithTheCapturedTiming) {
    ReplayServer server(TwoConversations(), {true, false});
    const zeltest::host::Socket probe = zeltest::host::Connect(server.ip(), zelsim::kUnitPort);
    ASSERT_NE(probe, zeltest::host::kNoSocket);
    zeltest::host::Close(probe);  // no request: no conversation taken

    const zeltest::host::Socket s = zeltest::host::Connect(server.ip(), zelsim::kUnitPort);
    ASSERT_NE(s, zeltest::host::kNoSocket);
    const auto conversations = TwoConversations();
    EXPECT_EQ(Exchange(s, RegisterRead(20), 128), conversations[0].exchanges[0].reply);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(Exchange(s, RegisterRead(21), 128), conversations[0].exchanges[1].reply);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));  // the captured delay
    // Past the end of the captured conversation: closed.
    EXPECT_TRUE(Exchange(s, RegisterRead(22), 128).empty());
    zeltest::host::Close(s);

    const zeltest::host::Socket t = zeltest::host::Connect(server.ip(), zelsim::kUnitPort);
    EXPECT_EQ(Exchange(t, RegisterRead(9), 128), conversations[1].exchanges[0].reply);
    zeltest::host::Close(t);
    const zeltest::host::Socket u = zeltest::host::Connect(server.ip(), zelsim::kUnitPort);
    EXPECT_TRUE(Exchange(u, RegisterRead(9), 128).empty());  // no third conversation
    zeltest::host::Close(u);

    const std::string log = server.Log();
    EXPECT_NE(log.find("connection 1 (127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("request 3 the captured connection ends after 2 requests; received read s0 r22 (serial word 1)"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("connection 3 "), std::string::npos) << log;
    EXPECT_NE(log.find("the capture holds 2 connections, no more"), std::string::npos) << log;
}

TEST(Replay, AfterADifferenceTheModelAnswersWithFallback) {
    for (bool fallback : {false, true}) {
        SCOPED_TRACE(fallback);
        ReplayServer server(TwoConversations(), {false, fallback});
        const zeltest::host::Socket s = zeltest::host::Connect(server.ip(), zelsim::kUnitPort);
        ASSERT_NE(s, zeltest::host::kNoSocket);
        const Bytes got = Exchange(s, RegisterRead(9), 128);  // the capture has register 20 here
        if (fallback) {
            ASSERT_EQ(got.size(), 128u);
            EXPECT_EQ(got[1] | got[2] << 8, zelsim::UnitConfig{}.firmware_tenths);  // the model's answer
            EXPECT_EQ(Exchange(s, RegisterRead(20), 128)[1], zelsim::UnitConfig{}.board_id & 0xFF);
        } else {
            EXPECT_TRUE(got.empty());
        }
        zeltest::host::Close(s);
        const std::string log = server.Log();
        EXPECT_NE(log.find("request 1 differs from captured frame 4 at byte 4: captured read s0 r20 (board ID), "
                           "received read s0 r9 (firmware revision)"),
                  std::string::npos)
            << log;
    }
}

}  // namespace
