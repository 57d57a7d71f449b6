// Connecting to a six-wavelength, 8-channel unit (board type 6) over loopback TCP, each measured in
// one run against what it is compared with:
//  - zel_QuickConnect against its floor: a link of its own opened and the quick connect's own
//    exchanges (taken from its frame trace) made raw (counter `ratio`; `quick_ms` has the target
//    of at most 10 ms). The floor's open and first exchange, in which a new link learns the length
//    of the unit's replies, are timed apart as `first_exchange_ms`;
//  - zel_QuickConnect against zel_Connect on the same unit (counter `ratio`; zel_Connect's floor is
//    its 160 ms of settling pauses).
// After every connect the instance must know the unit as a zel_Connect leaves it: the wavelength
// table, the channel count and every slot's TAP factors and VOA coefficients, bit for bit.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "transport/frame_codec.h"
#include "transport/hw_layer.h"
#include "measure.h"
#include "zel_api.h"
#include "zelsim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class F>
Clock::duration Timed(F f) {
    const auto t0 = Clock::now();
    f();
    return Clock::now() - t0;
}

// What a host learns of a connected unit, doubles as their bit patterns. Selects slots on the way.
std::vector<std::uint64_t> Known(zel_instance* inst) {
    std::vector<std::uint64_t> out;
    const auto bits = [](double d) {
        std::uint64_t b = 0;
        std::memcpy(&b, &d, sizeof b);
        return b;
    };
    std::uint8_t channels = 0;
    std::uint16_t nm[6] = {};
    std::size_t count = 0;
    out.push_back(zel_GetChannelCount(inst, &channels));
    out.push_back(zel_GetWavelengths(inst, nm, 6, &count));
    out.push_back(channels);
    out.push_back(count);
    for (std::size_t i = 0; i < count && i < 6; ++i) {
        out.push_back(nm[i]);
        out.push_back(zel_SetWavelength(inst, nm[i]));
        for (std::uint16_t c = 0; c < channels; ++c) {
            double tap = 0, voa[4] = {};
            out.push_back(zel_ReadTAPCalibration(inst, c, &tap));
            out.push_back(zel_ReadVOACalibration(inst, c, voa));
            out.push_back(bits(tap));
            for (double v : voa) out.push_back(bits(v));
        }
    }
    return out;
}

struct Instance {
    zel_instance* p = zel_createInstance();
    Instance() { zel_SetTimeout(p, 2000); }
    ~Instance() { zel_destroyInstance(p); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
};

// A simulated unit with six wavelength slots and what zel_Connect leaves an instance knowing of it.
struct SixSlotUnit {
    SixSlotUnit() {
        zelsim::UnitConfig cfg;
        cfg.board_type = 6;
        cfg.extra_wavelengths = {1490, 1550, 1590, 1610, 1625};
        model = std::make_unique<zelsim::UnitModel>(cfg);
        server = zelsim::StartOnFreeLoopback(*model);
        if (!server) return;
        server->SetFrameLogCapacity(16);
        Instance reference;
        ok = zel_Connect(reference.p, server->Address().c_str()) == 1;
        known = Known(reference.p);
    }
    std::unique_ptr<zelsim::UnitModel> model;
    std::unique_ptr<zelsim::Server> server;
    std::vector<std::uint64_t> known;
    bool ok = false;
};

// The request frames an instance sends, kept while tracing.
void KeepSent(void* user, int direction, const std::uint8_t* bytes, std::size_t length) {
    if (direction == ZEL_FRAME_SENT)
        static_cast<std::vector<std::vector<std::uint8_t>>*>(user)->emplace_back(bytes, bytes + length);
}

// The quick connect's exchanges made on a link of their own, opened for them: register reads and
// block reads as the frames name them. `first` receives the time from the open to the end of the
// first exchange, in which the link learns the length of the unit's replies.
bool ReplayRaw(const zelsim::Server& server, const std::vector<std::vector<std::uint8_t>>& frames,
               Clock::duration& first) {
    const auto t0 = Clock::now();
    HwLayer raw;
    raw.SetTimeout(2000);
    bool ok = raw.OpenLink(server.Address().c_str(), server.Port());
    std::uint8_t block[zel::frame::kBlockSize];
    for (const auto& f : frames) {
        if (&f == &frames[1]) first = Clock::now() - t0;
        if (f[zel::frame::kType] == zel::frame::kRegisterFrame) {
            const std::uint16_t control = zel::codec::GetLE16(&f[zel::frame::kControlWord]);
            std::uint16_t value = 0;
            ok &= (control & 0x8000) == 0 && raw.AccessRegister(0, static_cast<std::uint16_t>((control >> 11) & 0x0F),
                                                                static_cast<std::uint16_t>(control & 0x07FF), value);
        } else {
            ok &= f[zel::frame::kSubCommand] == zel::frame::kSubBlock && f[zel::frame::kBlockDirection] == 0x01 &&
                  raw.ReadBlock(f[zel::frame::kBlockBank], zel::codec::GetLE32(&f[zel::frame::kBlockAddress]), block);
        }
    }
    return ok;
}

void BM_QuickConnect(benchmark::State& state) {
    SixSlotUnit unit;
    if (!unit.ok) return state.SkipWithError("cannot start the unit or connect to it");
    const std::string ip = unit.server->Address();
    Instance inst;
    std::vector<std::vector<std::uint8_t>> frames;
    zel_SetFrameTrace(inst.p, KeepSent, &frames);
    bool ok = zel_QuickConnect(inst.p, ip.c_str()) == 1;
    zel_SetFrameTrace(inst.p, nullptr, nullptr);
    ok &= frames.size() >= 2;
    double floor_s = 0, quick_s = 0, first_s = 0;
    std::vector<double>
        quick_ms;  // per pass: the target holds for the median, which a stall of the machine leaves alone
    bool quick_first = false;
    for (auto _ : state) {
        Clock::duration quick{}, raw{}, first{};
        zelbench::InAlternatingOrder(
            quick_first, [&] { quick = Timed([&] { ok &= zel_QuickConnect(inst.p, ip.c_str()) == 1; }); },
            [&] { raw = Timed([&] { ok &= ReplayRaw(*unit.server, frames, first); }); });
        quick_s += Seconds(quick);
        quick_ms.push_back(1000 * Seconds(quick));
        floor_s += Seconds(raw);
        first_s += Seconds(first);
        state.SetIterationTime(Seconds(quick));
        ok &= Known(inst.p) == unit.known;
    }
    if (!ok) return state.SkipWithError("a connect or raw exchange failed, or the instance knows the unit otherwise");
    const double n = static_cast<double>(state.iterations());
    state.counters["exchanges"] = static_cast<double>(frames.size());
    state.counters["floor_ms"] = 1000 * floor_s / n;
    state.counters["first_exchange_ms"] = 1000 * first_s / n;
    state.counters["quick_ms"] = 1000 * quick_s / n;
    state.counters["median_ms"] = zelbench::Median(quick_ms);
    state.counters["ratio"] = quick_s / floor_s;
    if (zelbench::Median(quick_ms) > 10) state.SkipWithError("the median quick connect took more than 10 ms");
}
BENCHMARK(BM_QuickConnect)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_QuickConnectVsConnect(benchmark::State& state) {
    SixSlotUnit unit;
    if (!unit.ok) return state.SkipWithError("cannot start the unit or connect to it");
    const std::string ip = unit.server->Address();
    Instance slow, quick;
    double connect_s = 0, quick_s = 0;
    bool ok = true;
    bool quick_first = false;
    for (auto _ : state) {
        Clock::duration by_quick{}, by_connect{};
        zelbench::InAlternatingOrder(
            quick_first, [&] { by_quick = Timed([&] { ok &= zel_QuickConnect(quick.p, ip.c_str()) == 1; }); },
            [&] { by_connect = Timed([&] { ok &= zel_Connect(slow.p, ip.c_str()) == 1; }); });
        quick_s += Seconds(by_quick);
        connect_s += Seconds(by_connect);
        state.SetIterationTime(Seconds(by_quick));
        ok &= Known(quick.p) == unit.known && Known(slow.p) == unit.known;
    }
    if (!ok) return state.SkipWithError("a connect failed, or the two instances know the unit differently");
    const double n = static_cast<double>(state.iterations());
    state.counters["connect_ms"] = 1000 * connect_s / n;
    state.counters["quick_ms"] = 1000 * quick_s / n;
    state.counters["ratio"] = quick_s / connect_s;
    // Without settling pauses the quick connect is a small part of the connect's 160 ms of them.
    if (quick_s / connect_s > 0.1) state.SkipWithError("the quick connect took more than a tenth of zel_Connect");
}
// zel_Connect takes about 0.2 s: a few passes make the comparison.
BENCHMARK(BM_QuickConnectVsConnect)->UseManualTime()->Iterations(4)->Unit(benchmark::kMillisecond);

}  // namespace
