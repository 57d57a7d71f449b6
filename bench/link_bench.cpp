// Exchanges with a simulated unit over loopback TCP: register read, register write, 128-byte block
// read. Reports round trips per second and the heap allocations the host made in the exchange
// loop, which must be none. Two more measure a ratio in one run and fail above its bound, as the
// median over rounds so that a loaded machine's slow moments count for little:
//  - a register read against a raw ping-pong of the same frame on a link of its own (one send,
//    receives until the 128-byte reply is in), median exchange against median exchange, target at
//    most 1.05, failing above 1.08, the host and the unit on one processor;
//  - a register read on a link captured to a pcapng file against one on a plain link, median
//    exchange against median exchange, target at most 1.05;
//  - zel_Connect against its floor, the settling pauses it makes (one per byte of the board-type
//    record it reads, counted in the unit's frame log) slept in a row in the same round, target at
//    most 1.05.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "measure.h"
#include "instrument/zel_api_class.h"
#include "transport/hw_layer.h"
#include "transport/link_capture.h"
#include "transport/platform.h"
#include "zel_api.h"
#include "zelsim/sim.h"

namespace {

// An in-process unit on a loopback address of its own (127.a.b.c) and a host link to it.
struct LinkedUnit {
    zelsim::UnitModel model;
    std::unique_ptr<zelsim::Server> server;
    HwLayer link;
    const char* error = nullptr;

    LinkedUnit() : server(zelsim::StartOnFreeLoopback(model)) {
        if (!server) {
            error = "no free loopback address for the unit";
            return;
        }
        server->SetFrameLogCapacity(16);
        HwLayer::SetDefaultTimeout(2000);  // a lost reply fails the run instead of hanging it
        if (!link.OpenLink(server->Address().c_str(), server->Port())) error = "cannot connect to the unit";
    }
};

// Round trips per second and the allocations counted over the exchanges themselves.
void Report(benchmark::State& state, std::uint64_t allocations) {
    state.counters["round_trips"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["allocs"] = static_cast<double>(allocations);
    if (allocations != 0) state.SkipWithError("the exchange allocated on the heap");
}

void BM_RegisterRead(benchmark::State& state) {
    LinkedUnit unit;
    if (unit.error != nullptr) return state.SkipWithError(unit.error);
    constexpr std::uint16_t kSelect = 0;
    const std::uint16_t expected = unit.model.Register(kSelect, zelsim::reg::kBoardId);
    std::uint64_t allocations = 0;
    bool ok = true;
    for (auto _ : state) {
        std::uint16_t value = 0;
        const std::uint64_t before = zelbench::ThreadAllocations();
        ok &= unit.link.AccessRegister(0, kSelect, zelsim::reg::kBoardId, value);
        allocations += zelbench::ThreadAllocations() - before;
        ok &= value == expected;
    }
    if (!ok) return state.SkipWithError("register read failed or returned another value than the unit holds");
    Report(state, allocations);
}
BENCHMARK(BM_RegisterRead)->UseRealTime();

void BM_RegisterWrite(benchmark::State& state) {
    LinkedUnit unit;
    if (unit.error != nullptr) return state.SkipWithError(unit.error);
    constexpr std::uint16_t kSelect = 2;
    const std::size_t frames_before = unit.server->FramesReceived();
    std::uint64_t allocations = 0;
    std::uint16_t code = 0;
    bool ok = true;
    for (auto _ : state) {
        code = static_cast<std::uint16_t>((code + 1) & 0x0FFF);  // VOA drive codes are 12 bits
        std::uint16_t value = code;
        const std::uint64_t before = zelbench::ThreadAllocations();
        ok &= unit.link.AccessRegister(1, kSelect, zelsim::reg::kVoaCode, value);
        allocations += zelbench::ThreadAllocations() - before;
    }
    if (!ok) return state.SkipWithError("register write failed");
    if (unit.server->FramesReceived() - frames_before != static_cast<std::size_t>(state.iterations()))
        return state.SkipWithError("the unit did not receive one frame per write");
    if (unit.model.Register(kSelect, zelsim::reg::kVoaCode) != code)
        return state.SkipWithError("the unit does not hold the last value written");
    Report(state, allocations);
}
BENCHMARK(BM_RegisterWrite)->UseRealTime();

void BM_BlockRead(benchmark::State& state) {
    LinkedUnit unit;
    if (unit.error != nullptr) return state.SkipWithError(unit.error);
    constexpr std::uint32_t kAddress = zelsim::kSlotBase;  // board type and TAP factors of slot 0
    std::array<std::uint8_t, zel::frame::kBlockSize> expected{};
    for (std::size_t k = 0; k < expected.size(); ++k) expected[k] = unit.model.Eeprom(kAddress + k);
    std::array<std::uint8_t, zel::frame::kBlockSize> block{};
    std::uint64_t allocations = 0;
    bool ok = true;
    for (auto _ : state) {
        block.fill(0);
        const std::uint64_t before = zelbench::ThreadAllocations();
        ok &= unit.link.ReadBlock(0, kAddress, block.data());
        allocations += zelbench::ThreadAllocations() - before;
        ok &= block == expected;
    }
    if (!ok) return state.SkipWithError("block read failed or differs from the unit's EEPROM");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(zel::frame::kBlockSize));
    Report(state, allocations);
}
BENCHMARK(BM_BlockRead)->UseRealTime();

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Takes a copy: the order of the values is left as it is.
double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

// The median of the per-round ratios as counter `ratio`; the run fails above `bound`.
void ReportRatio(benchmark::State& state, const std::vector<double>& ratios, double bound) {
    const double ratio = Median(ratios);
    state.counters["ratio"] = ratio;
    state.counters["bound"] = bound;
    if (ratio > bound) {
        const std::string why = "the median ratio " + std::to_string(ratio) + " is above its bound";
        state.SkipWithError(why.c_str());
    }
}

// A plain TCP connection to the unit: the frame goes out in one send, the reply is received
// until it is whole. What an exchange costs with nothing of the library's around it.
class RawLink {
public:
    explicit RawLink(const zelsim::Server& server) {
        namespace plat = zel::platform;
        std::uint32_t address = 0;
        socket_ = plat::OpenTcpSocket();
        if (socket_ == plat::kInvalidSocket || !plat::ParseIPv4(server.Address().c_str(), address)) return;
        plat::ConfigureSocket(socket_, 2000);
        ok_ = plat::Connect(socket_, address, server.Port(), 2000) == 0;
    }
    ~RawLink() {
        if (socket_ != zel::platform::kInvalidSocket) zel::platform::CloseSocket(socket_);
    }
    RawLink(const RawLink&) = delete;
    RawLink& operator=(const RawLink&) = delete;
    bool ok() const { return ok_; }

    // One request and its `reply_length`-byte reply; false when either fails.
    bool PingPong(const std::uint8_t* frame, std::uint8_t* reply, std::size_t reply_length) {
        if (zel::platform::SendOnce(socket_, frame, zel::frame::kRequestSize) !=
            static_cast<long>(zel::frame::kRequestSize))
            return false;
        for (std::size_t got = 0; got < reply_length;) {
            const long r = zel::platform::ReceiveOnce(socket_, reply + got, reply_length - got);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

private:
    zel::platform::Socket socket_ = zel::platform::kInvalidSocket;
    bool ok_ = false;
};

// The bound a run fails above. The target is 1.05; on the 2-core virtual machines this runs on, the
// library's register read measures 1.02 to 1.06 of the raw floor from one hour to the next with the
// same code (a loopback exchange is 4 to 6 us, so 5% is some 250 ns), and 1.08 keeps the run from
// failing on the machine's moods while it still fails on a regression such as the 1.21 of two
// receives per exchange.
constexpr double kExchangeTarget = 1.05;
constexpr double kExchangeBound = 1.08;
constexpr int kExchangesPerRound = 1000;

// Each iteration is one round on two fresh links: kExchangesPerRound register reads through the
// library, and as many raw ping-pongs on the other link, in alternating order, each exchange timed. The round's ratio
// is the median library exchange / the median raw one: what an exchange costs, without the moments in which a loaded
// machine did not run the unit or the host at all. The host and the unit share one processor (OneProcessor).
void BM_RegisterReadAgainstRawPingPong(benchmark::State& state) {
    const zelbench::OneProcessor one_processor;  // before the unit, whose threads stay beside ours
    if (!one_processor.pinned()) return state.SkipWithError("cannot keep the run on one processor");
    LinkedUnit unit;
    if (unit.error != nullptr) return state.SkipWithError(unit.error);
    constexpr std::uint16_t kSelect = 0;
    const std::uint16_t expected = unit.model.Register(kSelect, zelsim::reg::kBoardId);
    std::uint8_t frame[zel::frame::kRequestSize] = {zel::frame::kRegisterFrame};
    zel::codec::PutLE16(frame + zel::frame::kControlWord,
                        zel::frame::ControlWord(false, kSelect, zelsim::reg::kBoardId));
    std::uint8_t reply[zel::frame::kRequestSize] = {};
    bool ok = true;
    std::uint16_t value = 0;
    std::vector<double> ratios, library(kExchangesPerRound), plain(kExchangesPerRound);
    bool library_first = true;
    for (auto _ : state) {
        // Both links anew each round: the unit serves each on a thread of its own, and where the
        // system happens to run those threads changes an exchange's time by more than the bound.
        ok &= unit.link.OpenLink(unit.server->Address().c_str(), unit.server->Port());
        ok &= unit.link.AccessRegister(0, kSelect, zelsim::reg::kBoardId, value);  // learns the reply length
        RawLink raw(*unit.server);
        ok &= raw.ok();
        const auto library_round = [&] {
            for (double& took : library) {
                const auto t0 = Clock::now();
                ok &= unit.link.AccessRegister(0, kSelect, zelsim::reg::kBoardId, value);
                took = Seconds(Clock::now() - t0);
                ok &= value == expected;
            }
        };
        const auto raw_round = [&] {
            for (double& took : plain) {
                const auto t0 = Clock::now();
                ok &= raw.PingPong(frame, reply, sizeof reply);
                took = Seconds(Clock::now() - t0);
                ok &= zel::codec::GetLE16(reply + zel::frame::kReplyValue) == expected;
            }
        };
        zelbench::InAlternatingOrder(library_first, library_round, raw_round);
        const double median = Median(library);
        state.SetIterationTime(median);
        ratios.push_back(median / Median(plain));
    }
    if (!ok) return state.SkipWithError("an exchange failed or returned another value than the unit holds");
    state.counters["exchanges_per_round"] = kExchangesPerRound;
    state.counters["target"] = kExchangeTarget;
    ReportRatio(state, ratios, kExchangeBound);
}
BENCHMARK(BM_RegisterReadAgainstRawPingPong)->UseManualTime()->Iterations(21)->Unit(benchmark::kMicrosecond);

constexpr double kCaptureBound = 1.05;

// The same register read on two links to the unit, one of them captured to a pcapng file
// (the library's capture writer: frames queued on the call path, written by its own thread),
// kExchangesPerRound reads each per round in alternating order, both links anew each round. The
// round's ratio is the captured link's median exchange / the plain link's: what a capture adds to
// an exchange, at most 5%.
void BM_RegisterReadCapturedAgainstPlain(benchmark::State& state) {
    LinkedUnit unit;
    if (unit.error != nullptr) return state.SkipWithError(unit.error);
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zel_bench_capture_" + std::to_string(std::random_device{}()) + ".pcapng"))
                                 .string();
    zel_error reason = ZEL_OK;
    auto capture = zel::transport::LinkCapture::Start(path, reason);
    if (capture == nullptr) return state.SkipWithError("cannot open the capture file");
    HwLayer captured;
    captured.SetTap(capture.get());
    constexpr std::uint16_t kSelect = 0;
    const std::uint16_t expected = unit.model.Register(kSelect, zelsim::reg::kBoardId);
    bool ok = true;
    std::vector<double> ratios, with(kExchangesPerRound), without(kExchangesPerRound);
    bool captured_first = true;
    const auto reads = [&](HwLayer& link, std::vector<double>& times) {
        for (double& took : times) {
            std::uint16_t value = 0;
            const auto t0 = Clock::now();
            ok &= link.AccessRegister(0, kSelect, zelsim::reg::kBoardId, value);
            took = Seconds(Clock::now() - t0);
            ok &= value == expected;
        }
    };
    for (auto _ : state) {
        std::uint16_t value = 0;
        for (HwLayer* link : {&unit.link, &captured}) {
            ok &= link->OpenLink(unit.server->Address().c_str(), unit.server->Port());
            ok &= link->AccessRegister(0, kSelect, zelsim::reg::kBoardId, value);  // learns the reply length
        }
        zelbench::InAlternatingOrder(
            captured_first, [&] { reads(captured, with); }, [&] { reads(unit.link, without); });
        const double median = Median(with);
        state.SetIterationTime(median);
        ratios.push_back(median / Median(without));
    }
    captured.SetTap(nullptr);
    const zel_error written = capture->Finish();
    const auto bytes = std::filesystem::file_size(path);
    std::filesystem::remove(path);
    if (!ok) return state.SkipWithError("an exchange failed or returned another value than the unit holds");
    if (written != ZEL_OK) return state.SkipWithError("the capture file could not be written whole");
    // Each round's reads, a request and a reply each, are in the file (at least 168 bytes a frame).
    if (bytes < static_cast<std::uintmax_t>(state.iterations()) * kExchangesPerRound * 2 * 168)
        return state.SkipWithError("the capture file lacks frames");
    state.counters["exchanges_per_round"] = kExchangesPerRound;
    ReportRatio(state, ratios, kCaptureBound);
}
BENCHMARK(BM_RegisterReadCapturedAgainstPlain)->UseManualTime()->Iterations(21)->Unit(benchmark::kMicrosecond);

constexpr double kConnectBound = 1.05;

// Reads of the EEPROM data register whose address (the last one written to the address register)
// lies in the board-type record: each is followed by the library's settling pause.
std::size_t SettledRecordBytes(const std::vector<zelsim::Frame>& frames) {
    constexpr std::uint32_t kRecord = zelsim::kSlotBase;
    std::uint32_t address = ~0u;
    std::size_t count = 0;
    for (const zelsim::Frame& f : frames) {
        if (f[0] != zel::frame::kRegisterFrame) continue;
        const std::uint16_t word = zel::codec::GetLE16(f.data() + zel::frame::kControlWord);
        const bool write = (word & 0x8000u) != 0;
        const unsigned reg = word & 0x07FFu;
        if (write && reg == zelsim::reg::kEepromAddress) address = zel::codec::GetLE16(f.data() + zel::frame::kValue);
        if (!write && reg == zelsim::reg::kEepromData && address - kRecord < 8) ++count;
    }
    return count;
}

// Each iteration is one zel_Connect on an instance that is connected already (a reconnect learns
// the unit's replies afresh) and its floor: as many settling pauses, slept in a row on this
// machine as it is at that moment, in alternating order. Its ratio is connect time / floor time.
void BM_ConnectAgainstSettlingFloor(benchmark::State& state) {
    zelsim::UnitModel model;
    std::unique_ptr<zelsim::Server> server = zelsim::StartOnFreeLoopback(model);
    if (!server) return state.SkipWithError("no free loopback address for the unit");
    server->SetFrameLogCapacity(4096);
    struct Instance {
        zel_instance* p = zel_createInstance();
        ~Instance() { zel_destroyInstance(p); }
    } inst;
    zel_SetTimeout(inst.p, 2000);
    bool ok = true;
    const auto connect = [&] {
        server->ClearFrameLog();
        const auto t0 = Clock::now();
        ok &= zel_Connect(inst.p, server->Address().c_str()) == 1;
        const Clock::duration took = Clock::now() - t0;
        std::uint8_t channels = 0;
        ok &= zel_GetChannelCount(inst.p, &channels) == 1 && channels == 8;
        return std::make_pair(took, SettledRecordBytes(server->FrameLog()));
    };
    const std::size_t pauses = connect().second;
    if (!ok || pauses == 0) return state.SkipWithError("the connect failed or made no settling pause");
    std::vector<double> ratios;
    bool connect_first = true;
    for (auto _ : state) {
        Clock::duration took{}, floor{};
        const auto floor_pass = [&] {
            const auto t0 = Clock::now();
            for (std::size_t i = 0; i < pauses; ++i) zel::platform::SleepMs(ZEL_API::kSettleMs);
            floor = Clock::now() - t0;
        };
        const auto connect_pass = [&] {
            const auto [time, made] = connect();
            took = time;
            ok &= made == pauses;
        };
        zelbench::InAlternatingOrder(connect_first, connect_pass, floor_pass);
        state.SetIterationTime(Seconds(took));
        ratios.push_back(Seconds(took) / Seconds(floor));
    }
    if (!ok) return state.SkipWithError("a connect failed or made another number of settling pauses");
    state.counters["pauses"] = static_cast<double>(pauses);
    state.counters["floor_ms"] = static_cast<double>(pauses * ZEL_API::kSettleMs);
    ReportRatio(state, ratios, kConnectBound);
}
BENCHMARK(BM_ConnectAgainstSettlingFloor)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

}  // namespace
