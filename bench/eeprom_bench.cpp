// Block EEPROM reads: zel_ReadEEProm of the whole 128 KiB against its floor, the same 1024 raw
// 128-byte block exchanges made on a link of their own, measured in the same run and reported as a
// ratio (counter `ratio`, target at most 1.2). Both must hand back the unit's EEPROM exactly.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "measure.h"
#include "transport/frame_codec.h"
#include "transport/hw_layer.h"
#include "zel_api.h"
#include "zelsim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_ReadEepromWhole(benchmark::State& state) {
    constexpr std::size_t kBlock = zel::frame::kBlockSize;
    zelsim::UnitModel model;
    std::vector<std::uint8_t> image(ZEL_EEPROM_SIZE);
    std::mt19937 random(7);
    for (auto& b : image) b = static_cast<std::uint8_t>(random());
    std::unique_ptr<zelsim::Server> server = zelsim::StartOnFreeLoopback(model);
    if (!server) return state.SkipWithError("no free loopback address for the unit");
    server->SetFrameLogCapacity(16);

    HwLayer raw;
    raw.SetTimeout(2000);
    if (!raw.OpenLink(server->Address().c_str(), server->Port())) return state.SkipWithError("cannot connect");
    struct Instance {
        zel_instance* p = zel_createInstance();
        ~Instance() { zel_destroyInstance(p); }
    } inst;
    zel_SetTimeout(inst.p, 2000);
    if (zel_Connect(inst.p, server->Address().c_str()) != 1) return state.SkipWithError("zel_Connect failed");
    model.SetEepromImage(image);  // after the connect, which reads the factory calibration

    std::vector<std::uint8_t> by_blocks(image.size()), by_dump(image.size());
    double floor_s = 0, dump_s = 0;
    bool ok = true;
    bool dump_first = false;
    for (auto _ : state) {
        const auto raw_pass = [&] {
            const auto t0 = Clock::now();
            for (std::uint32_t at = 0; at < image.size(); at += kBlock)
                ok &= raw.ReadBlock(0, at, by_blocks.data() + at);
            floor_s += Seconds(Clock::now() - t0);
        };
        Clock::duration dump{};
        const auto dump_pass = [&] {
            const auto t0 = Clock::now();
            ok &= zel_ReadEEProm(inst.p, 0, by_dump.data(), by_dump.size()) == 1;
            dump = Clock::now() - t0;
            dump_s += Seconds(dump);
        };
        zelbench::InAlternatingOrder(dump_first, dump_pass, raw_pass);
        state.SetIterationTime(Seconds(dump));
        ok &= by_blocks == image && by_dump == image;
        std::memset(by_dump.data(), 0, by_dump.size());
    }
    if (!ok) return state.SkipWithError("a read failed or handed back other bytes than the unit holds");
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_ms"] = 1000 * floor_s / n;
    state.counters["dump_ms"] = 1000 * dump_s / n;
    state.counters["ratio"] = dump_s / floor_s;
    state.counters["bytes_per_s"] = benchmark::Counter(static_cast<double>(image.size()) * n / dump_s);
}
BENCHMARK(BM_ReadEepromWhole)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
