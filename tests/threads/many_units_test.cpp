// 64 threads at once, each with a simulated unit of its own: 32 drive entries of the unit table,
// 32 drive instances, all through the exported C interface. Different units share nothing, so
// every value must come back from the thread's own unit; under ThreadSanitizer the run must also
// be free of data races.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include "support/unit_fixture.h"
#include "zel_api.h"

namespace {

constexpr int kTableThreads = 32;
constexpr int kInstanceThreads = 32;
constexpr int kRounds = 8;

// Distinct identity per unit, so that a reply from another thread's unit shows.
zelsim::UnitConfig ConfigOf(int k) {
    zelsim::UnitConfig cfg;
    cfg.board_id = static_cast<std::uint16_t>(0x1000 + k);
    cfg.serial = 0x0007'2024'0000'0000ull + static_cast<std::uint64_t>(k) * 7919;
    cfg.seed = static_cast<std::uint64_t>(k) + 1;
    for (unsigned ch = 0; ch < zelsim::kChannels; ++ch) cfg.input_power_uw[ch] = 200.0 + 10.0 * k + ch;
    return cfg;
}

struct Counters {
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};
};

// Counts one exported call and whether it went as the thread expected.
void Check(Counters& n, bool ok, int k, const char* what) {
    ++n.calls;
    if (!ok) {
        ++n.failures;
        ADD_FAILURE() << "unit " << k << ": " << what;
    }
}

void DriveTableEntry(int k, zeltest::SimulatedUnit& unit, Counters& n) {
    const auto entry = static_cast<std::uint8_t>(k);
    const std::uint16_t ch = static_cast<std::uint16_t>(k % 8);
    Check(n, APIConnect(entry, unit.ip().c_str()) == 1, k, "APIConnect");
    Check(n, APIReadBoardID(entry) == 0x1000u + static_cast<unsigned>(k), k, "APIReadBoardID");
    for (int r = 0; r < kRounds; ++r) {
        std::uint16_t v = static_cast<std::uint16_t>(k * 100 + r);
        Check(n, APIAccessBoardRegister(entry, 1, ch, 300, &v) == 1, k, "register write");
        std::uint16_t back = 0;
        Check(n, APIAccessBoardRegister(entry, 0, ch, 300, &back) == 1 && back == k * 100 + r, k, "register read");
        const std::int32_t code = 200 * r + k;
        Check(n, APISetVOAAttenuation(entry, ch, code) == 1, k, "VOA set");
        std::uint16_t read_code = 0;
        Check(n, APIReadVOAAttenuation(entry, ch, &read_code) == 1 && read_code == code, k, "VOA read");
        std::uint16_t counts = 0;
        Check(n, APIReadOpticalPower(entry, ch, &counts) == 1 && counts > 0, k, "power read");
        double factor = 0;
        const double want = unit.model().TapFactorUwPerCount(ch);
        Check(n, APIReadTAPCalibration(entry, ch, &factor) == 1 && std::fabs(factor - want) <= 1e-9 * want, k,
              "TAP calibration record");
        std::uint16_t type = 0;
        Check(n, APIReadTypeFromEEPROM(entry, &type) == 1 && type == 6, k, "board type record");
    }
    Check(n, APIDisconnect(entry) == 1, k, "APIDisconnect");
}

void DriveInstance(int k, zeltest::SimulatedUnit& unit, Counters& n) {
    zel_instance* inst = zel_createInstance();
    Check(n, inst != nullptr, k, "zel_createInstance");
    if (inst == nullptr) return;
    const std::uint16_t ch = static_cast<std::uint16_t>(k % 8);
    Check(n, zel_Connect(inst, unit.ip().c_str()) == 1, k, "zel_Connect");
    Check(n, zel_ReadBoardID(inst) == 0x1000u + static_cast<unsigned>(k), k, "zel_ReadBoardID");
    for (int r = 0; r < kRounds; ++r) {
        const std::uint16_t pos = static_cast<std::uint16_t>((k + r) % 2);
        Check(n, zel_SwitchSelect_2x2(inst, ch, pos) == 1, k, "2x2 switch set");
        std::uint16_t back = 9;
        Check(n, zel_ReadSwitchSelect_2x2(inst, ch, &back) == 1 && back == pos, k, "2x2 switch read");
        const double db = 2.0 + r + (k % 5);
        Check(n, zel_SetVOAAttenuation(inst, ch, db) == 1, k, "VOA set in dB");
        double read_db = -1;
        Check(n, zel_ReadVOAAttenuation(inst, ch, &read_db) == 1 && std::fabs(read_db - db) < 0.05, k,
              "VOA read in dB");
        double uw = 0;
        const double want = unit.model().OutputPowerUw(ch);
        Check(n, zel_ReadOpticalPower(inst, ch, &uw) == 1 && std::fabs(uw - want) < 0.02 * want + 0.1, k,
              "calibrated power");
        std::uint16_t type = 0;
        Check(n, zel_ReadTypeFromEEPROM(inst, &type) == 1 && type == 6, k, "board type record");
        std::uint8_t byte = 0;
        Check(n,
              zel_ReadEEPromByte(inst, static_cast<std::uint16_t>(0x2000 + r), &byte) == 1 &&
                  byte == unit.model().Eeprom(0x2000u + static_cast<unsigned>(r)),
              k, "EEPROM byte");
    }
    Check(n, zel_Disconnect(inst) == 1, k, "zel_Disconnect");
    zel_destroyInstance(inst);
}

TEST(ManyThreads, SixtyFourUnitsDrivenAtOnceKeepToThemselves) {
    zeltest::ShortenLinkTimeouts(30000);  // generous: 64 threads on a loaded machine, maybe under TSan
    std::vector<std::unique_ptr<zeltest::SimulatedUnit>> units;
    for (int k = 0; k < kTableThreads + kInstanceThreads; ++k) {
        units.push_back(std::make_unique<zeltest::SimulatedUnit>(ConfigOf(k)));
    }
    Counters n;
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kTableThreads + kInstanceThreads; ++k) {
        threads.emplace_back([&, k] {
            // Start together, so that the connects and calls overlap.
            ++ready;
            while (ready.load() < kTableThreads + kInstanceThreads) std::this_thread::yield();
            if (k < kTableThreads) {
                DriveTableEntry(k, *units[static_cast<std::size_t>(k)], n);
            } else {
                DriveInstance(k, *units[static_cast<std::size_t>(k)], n);
            }
        });
    }
    for (auto& t : threads) t.join();
    std::cout << kTableThreads + kInstanceThreads << " threads made " << n.calls.load() << " exported calls, "
              << n.failures.load() << " failed\n";
    EXPECT_EQ(n.failures.load(), 0);
    // Every unit saw its own traffic: the register each table thread wrote holds its last value.
    for (int k = 0; k < kTableThreads; ++k) {
        EXPECT_EQ(units[static_cast<std::size_t>(k)]->model().Register(static_cast<unsigned>(k % 8), 300),
                  k * 100 + kRounds - 1);
    }
}

// Cancels from another thread land on calls at any point of their exchanges, on units whose
// replies take 20 to 90 ms (so that some calls are waiting when a cancel comes): every call hands
// back its own unit's value with 1 or fails with ZEL_ERR_CANCELLED, never another reason or a
// wrong value, and once the cancels stop every call goes through again (the links reopened).
TEST(ManyThreads, CancelsFromAnotherThreadEndOnlyTheCallsInFlight) {
    zeltest::ShortenLinkTimeouts(30000);
    constexpr int kUnits = 8;
    std::vector<std::unique_ptr<zeltest::SimulatedUnit>> units;
    std::vector<zel_instance*> instances;
    for (int k = 0; k < kUnits; ++k) {
        units.push_back(std::make_unique<zeltest::SimulatedUnit>(ConfigOf(k)));
        instances.push_back(zel_createInstance());
        ASSERT_EQ(zel_Connect(instances.back(), units.back()->ip().c_str()), 1);
        units.back()->server().SetFaults({.kind = zelsim::Fault::Delay, .delay_ms = 20 + 10 * k});
    }
    std::atomic<bool> cancelling{true};
    std::atomic<long> cancelled{0}, good{0}, wrong{0};
    const auto drive = [&](int k, int calls) {
        zel_instance* inst = instances[static_cast<std::size_t>(k)];
        for (int i = 0; i < calls; ++i) {
            const std::uint32_t id = zel_ReadBoardID(inst);
            const zel_error reason = zel_LastError(inst);
            if (reason == ZEL_OK && id == 0x1000u + static_cast<unsigned>(k)) {
                ++good;
            } else if (reason == ZEL_ERR_CANCELLED) {
                ++cancelled;
            } else {
                ++wrong;
            }
        }
    };
    std::thread canceller([&] {
        for (unsigned i = 0; cancelling.load(); ++i) {
            zel_Cancel(instances[i % kUnits]);
            std::this_thread::sleep_for(std::chrono::microseconds(500 + 370 * (i % 7)));
        }
    });
    std::vector<std::thread> threads;
    for (int k = 0; k < kUnits; ++k) threads.emplace_back(drive, k, 12);
    for (auto& t : threads) t.join();
    cancelling = false;
    canceller.join();
    std::cout << good.load() << " calls went through, " << cancelled.load() << " were cancelled\n";
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(cancelled.load(), 0);
    EXPECT_GT(good.load(), 0);

    const long before = good.load();
    for (auto& unit : units) unit->server().SetFaults({});
    threads.clear();
    for (int k = 0; k < kUnits; ++k) threads.emplace_back(drive, k, 20);
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load() - before, kUnits * 20);
    for (zel_instance* inst : instances) zel_destroyInstance(inst);
}

}  // namespace
