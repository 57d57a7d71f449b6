// Calibration backup and restore as zelctl does them (tools/zelctl/calib_store), with an in-process
// unit over loopback TCP, each against its floor measured or counted in the same run:
//  - backup of six wavelength slots of an 8-channel board, against raw 128-byte block exchanges
//    of every block that holds calibration bytes (counter `ratio`; target: well under 1 s). The
//    board-type record it also reads is timed apart (`board_type_ms`): most of the backup's time;
//  - restore of that backup onto the unchanged unit: nothing to write, so its floor is the same
//    blocks read twice (before and to verify);
//  - restore of one wiped slot of a 1-channel board, against 10 ms per written byte, the EEPROM's
//    settling time (counter `ratio`, target at most 1.05).
// Each checks its result against the unit's EEPROM and fails (SkipWithError) otherwise.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "calib_store.h"
#include "failure.h"
#include "transport/hw_layer.h"
#include "zel_api.h"
#include "zelsim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
using zelctl::calib::Bytes;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A simulated unit with six wavelength slots, an instance connected to it and a raw link beside it.
struct Bench {
    explicit Bench(int board_type) {
        zelsim::UnitConfig cfg;
        cfg.board_type = board_type;
        cfg.extra_wavelengths = {1490, 1550, 1590, 1610, 1625};
        model = std::make_unique<zelsim::UnitModel>(cfg);
        server = zelsim::StartOnFreeLoopback(*model);
        if (!server) return;
        instance = zel_createInstance();
        zel_SetTimeout(instance, 2000);
        raw.SetTimeout(2000);
        ok = zel_Connect(instance, server->Address().c_str()) == 1 &&
             raw.OpenLink(server->Address().c_str(), server->Port());
    }
    ~Bench() { zel_destroyInstance(instance); }

    // Every record's place, as the library gives it.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Records() const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        std::uint8_t channels = 0;
        zel_GetChannelCount(instance, &channels);
        for (const auto& shape : zelctl::calib::Items()) {
            for (std::uint8_t slot = 0; slot < (shape.per_slot ? 6 : 1); ++slot) {
                for (std::uint16_t c = 0; c < channels; ++c) {
                    std::uint32_t address = 0, length = 0;
                    zel_GetRecordLocation(instance, slot, c, shape.record, &address, &length);
                    out.push_back({address, length});
                }
            }
        }
        return out;
    }

    // The 128-byte blocks that hold calibration bytes, one raw exchange each.
    Clock::duration BlockFloor() {
        std::set<std::uint32_t> blocks;
        for (const auto& [address, length] : Records()) {
            for (std::uint32_t a = address; a < address + length; ++a) blocks.insert(a / 128 * 128);
        }
        std::uint8_t block[128];
        const auto t0 = Clock::now();
        for (std::uint32_t b : blocks) ok &= raw.ReadBlock(0, b, block);
        return Clock::now() - t0;
    }

    std::unique_ptr<zelsim::UnitModel> model;
    std::unique_ptr<zelsim::Server> server;
    zel_instance* instance = nullptr;
    HwLayer raw;
    bool ok = false;
};

// The backup holds exactly the unit's bytes at every record's place.
bool HoldsTheUnitsBytes(const Bench& b, const zelctl::calib::Calibration& backup) {
    const std::vector<std::uint8_t> image = b.model->EepromImage();
    std::size_t checked = 0;
    auto same = [&](std::uint8_t slot, std::uint16_t channel, const zelctl::calib::ItemShape& shape,
                    const Bytes& bytes) {
        std::uint32_t address = 0, length = 0;
        zel_GetRecordLocation(b.instance, slot, channel, shape.record, &address, &length);
        checked += bytes.size();
        return length == bytes.size() && Bytes(image.begin() + address, image.begin() + address + length) == bytes;
    };
    bool ok = backup.slots.size() == 6 && backup.user.size() == 8;
    for (const auto& slot : backup.slots) {
        for (std::size_t c = 0; c < slot.channels.size(); ++c) {
            const auto items = zelctl::calib::ItemsOf(true);
            for (std::size_t i = 0; i < items.size(); ++i) {
                ok &= same(static_cast<std::uint8_t>(slot.slot), static_cast<std::uint16_t>(c), *items[i],
                           slot.channels[c][i]);
            }
        }
    }
    for (std::size_t c = 0; c < backup.user.size(); ++c) {
        const auto items = zelctl::calib::ItemsOf(false);
        for (std::size_t i = 0; i < items.size(); ++i)
            ok &= same(0, static_cast<std::uint16_t>(c), *items[i], backup.user[c][i]);
    }
    return ok && checked == 6 * 8 * (8 + 32 + 60 + 8 + 8) + 8 * (8 + 8);
}

void BM_CalibBackupSixSlots(benchmark::State& state) {
    Bench b(6);
    if (!b.ok) return state.SkipWithError("cannot start or reach the unit");
    double floor_s = 0, backup_s = 0, type_s = 0;
    bool ok = true;
    for (auto _ : state) {
        floor_s += Seconds(b.BlockFloor());
        // Part of the backup, shown apart: the board-type record, read by the library byte by byte
        // with its settling pause.
        std::uint16_t type = 0;
        const auto t_type = Clock::now();
        ok &= zel_ReadTypeFromEEPROM(b.instance, &type) == 1 && type == 6;
        type_s += Seconds(Clock::now() - t_type);
        const auto t0 = Clock::now();
        zelctl::calib::Calibration backup;
        try {
            backup = zelctl::store::ReadUnit(b.instance);
        } catch (const zelctl::Failure& e) {
            return state.SkipWithError(e.what());
        }
        const auto took = Clock::now() - t0;
        backup_s += Seconds(took);
        state.SetIterationTime(Seconds(took));
        ok &= HoldsTheUnitsBytes(b, backup);
    }
    if (!ok || !b.ok) return state.SkipWithError("the backup does not hold the unit's bytes, or a raw read failed");
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_ms"] = 1000 * floor_s / n;
    state.counters["backup_ms"] = 1000 * backup_s / n;
    state.counters["board_type_ms"] = 1000 * type_s / n;
    state.counters["ratio"] = backup_s / floor_s;
}
BENCHMARK(BM_CalibBackupSixSlots)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CalibRestoreUnchanged(benchmark::State& state) {
    Bench b(6);
    if (!b.ok) return state.SkipWithError("cannot start or reach the unit");
    const std::vector<std::uint8_t> image = b.model->EepromImage();
    double floor_s = 0, restore_s = 0;
    bool ok = true;
    try {
        const zelctl::calib::Calibration backup = zelctl::store::ReadUnit(b.instance);
        for (auto _ : state) {
            floor_s += 2 * Seconds(b.BlockFloor());  // read before writing, and again to verify
            const auto t0 = Clock::now();
            const zelctl::store::RestoreOutcome done = zelctl::store::Restore(b.instance, backup);
            const auto took = Clock::now() - t0;
            restore_s += Seconds(took);
            state.SetIterationTime(Seconds(took));
            ok &= done.bytes_written == 0 && done.mismatches.empty() && !done.interrupted &&
                  done.records_done == done.records && b.model->EepromImage() == image;
        }
    } catch (const zelctl::Failure& e) {
        return state.SkipWithError(e.what());
    }
    if (!ok || !b.ok) return state.SkipWithError("the restore wrote or changed EEPROM bytes, or a raw read failed");
    const double n = static_cast<double>(state.iterations());
    state.counters["floor_ms"] = 1000 * floor_s / n;
    state.counters["restore_ms"] = 1000 * restore_s / n;
    state.counters["ratio"] = restore_s / floor_s;
}
BENCHMARK(BM_CalibRestoreUnchanged)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CalibRestoreWipedSlot(benchmark::State& state) {
    constexpr double kSettle = 0.010;  // the EEPROM stores one byte in 10 ms
    constexpr std::uint8_t kSlot = 3;
    Bench b(0);
    if (!b.ok) return state.SkipWithError("cannot start or reach the unit");
    const std::vector<std::uint8_t> image = b.model->EepromImage();
    // The per-slot records of every channel in the slot (its table entry stays).
    std::vector<std::uint32_t> wiped;
    std::uint8_t channels = 0;
    zel_GetChannelCount(b.instance, &channels);
    for (const auto* shape : zelctl::calib::ItemsOf(true)) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            std::uint32_t address = 0, length = 0;
            zel_GetRecordLocation(b.instance, kSlot, c, shape->record, &address, &length);
            for (std::uint32_t a = address; a < address + length; ++a) wiped.push_back(a);
        }
    }
    double floor_s = 0, restore_s = 0;
    std::size_t written = 0;
    bool ok = true;
    try {
        const zelctl::calib::Calibration backup = zelctl::store::ReadUnit(b.instance);
        for (auto _ : state) {
            for (std::uint32_t a : wiped) b.model->SetEeprom(a, 0xFF);
            const auto t0 = Clock::now();
            const zelctl::store::RestoreOutcome done = zelctl::store::Restore(b.instance, backup);
            const auto took = Clock::now() - t0;
            restore_s += Seconds(took);
            floor_s += kSettle * static_cast<double>(done.bytes_written);
            written = done.bytes_written;
            state.SetIterationTime(Seconds(took));
            ok &= done.mismatches.empty() && !done.interrupted && done.bytes_written > 0 &&
                  done.bytes_written <= wiped.size() && b.model->EepromImage() == image;
        }
    } catch (const zelctl::Failure& e) {
        return state.SkipWithError(e.what());
    }
    if (!ok) return state.SkipWithError("the restore left the EEPROM other than before the wipe");
    const double n = static_cast<double>(state.iterations());
    state.counters["bytes_written"] = static_cast<double>(written);
    state.counters["floor_ms"] = 1000 * floor_s / n;
    state.counters["restore_ms"] = 1000 * restore_s / n;
    state.counters["ratio"] = restore_s / floor_s;
}
BENCHMARK(BM_CalibRestoreWipedSlot)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
