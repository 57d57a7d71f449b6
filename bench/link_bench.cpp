// Exchanges with a simulated unit over loopback TCP: register read, register write, 128-byte block
// read. Reports round trips per second and the heap allocations the host made in the exchange
// loop, which must be none.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "alloc_count.h"
#include "transport/hw_layer.h"
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

}  // namespace
