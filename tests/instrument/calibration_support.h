// Helpers for the calibration and wavelength tests: placing calibration in a unit's EEPROM the way
// the instrument stores it, picking frames out of the unit's log, and spoiling a single exchange.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

#include "instrument/record_codec.h"
#include "support/unit_fixture.h"

namespace caltest {

constexpr std::uint16_t kRegEepromAddress = 10;
constexpr std::uint16_t kRegEepromData = 11;
constexpr std::uint16_t kRegPower = 36;
constexpr std::uint16_t kRegVOA = 37;

// A unit of the given board type whose slots 1.. serve `extra` (slot 0 serves the board's default).
inline zelsim::UnitConfig UnitOf(int board_type, std::vector<std::uint16_t> extra = {}) {
    zelsim::UnitConfig cfg;
    cfg.board_type = board_type;
    cfg.extra_wavelengths = std::move(extra);
    return cfg;
}

// EEPROM addresses of a wavelength slot's items.
constexpr std::uint16_t SlotBase(int w) { return static_cast<std::uint16_t>(0x2000 + 2048 * w); }
constexpr std::uint16_t TapAddress(int w, int s) { return static_cast<std::uint16_t>(SlotBase(w) + 8 + 8 * s); }
constexpr std::uint16_t VoaAddress(int w, int s, int k) {
    return static_cast<std::uint16_t>(SlotBase(w) + 80 + 32 * s + 8 * k);
}

// The eight bytes of an erased record.
inline constexpr zel::records::Bytes8 kErasedRecord{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline void PutBytes(zelsim::UnitModel& m, std::uint32_t address, const zel::records::Bytes8& bytes) {
    for (unsigned i = 0; i < 8; ++i) m.SetEeprom(address + i, bytes[i]);
}
inline zel::records::Bytes8 GetBytes(const zelsim::UnitModel& m, std::uint32_t address) {
    zel::records::Bytes8 bytes{};
    for (unsigned i = 0; i < 8; ++i) bytes[i] = m.Eeprom(address + i);
    return bytes;
}
inline void PutScaled(zelsim::UnitModel& m, std::uint32_t address, double x) {
    PutBytes(m, address, zel::records::EncodeScaled(x));
}
inline void PutRaw(zelsim::UnitModel& m, std::uint32_t address, double x) {
    PutBytes(m, address, zel::records::EncodeRaw(x));
}
inline void PutBoardType(zelsim::UnitModel& m, int type) { PutScaled(m, 0x2000, type); }

// TAP factor and VOA coefficients of select s in slot w.
inline void PutChannelCalibration(zelsim::UnitModel& m, int w, int s, double tap, const std::array<double, 4>& voa) {
    PutScaled(m, TapAddress(w, s), tap);
    for (int k = 0; k < 4; ++k) PutRaw(m, VoaAddress(w, s, k), voa[k]);
}
inline std::array<double, 4> StoredVOA(const zelsim::UnitModel& m, int w, int s) {
    std::array<double, 4> c{};
    for (int k = 0; k < 4; ++k) c[k] = zel::records::DecodeRaw(GetBytes(m, VoaAddress(w, s, k)));
    return c;
}
inline double StoredTAP(const zelsim::UnitModel& m, int w, int s) {
    return zel::records::DecodeScaled(GetBytes(m, TapAddress(w, s)));
}
inline std::array<double, 4> AsArray(const double* c) { return {c[0], c[1], c[2], c[3]}; }

// EEPROM addresses whose bytes differ between two images of the unit's EEPROM.
inline std::vector<std::uint32_t> ChangedBytes(const std::vector<std::uint8_t>& before,
                                               const std::vector<std::uint8_t>& after) {
    std::vector<std::uint32_t> out;
    for (std::size_t a = 0; a < before.size() && a < after.size(); ++a)
        if (before[a] != after[a]) out.push_back(static_cast<std::uint32_t>(a));
    return out;
}

// Register frames on one register address, in order.
inline std::vector<zelsim::Frame> RegisterFrames(const std::vector<zelsim::Frame>& frames, unsigned address) {
    std::vector<zelsim::Frame> out;
    for (const auto& f : frames)
        if (zeltest::IsRegisterFrame(f) && zeltest::AddressOf(f) == address) out.push_back(f);
    return out;
}

// The addresses written to the EEPROM address register, in order.
inline std::vector<std::uint16_t> EepromAddresses(const std::vector<zelsim::Frame>& frames) {
    std::vector<std::uint16_t> out;
    for (const auto& a : zeltest::EepromAccesses(frames)) out.push_back(a.address);
    return out;
}
inline std::vector<std::uint16_t> Consecutive(std::uint16_t first, int count) {
    std::vector<std::uint16_t> out;
    for (int i = 0; i < count; ++i) out.push_back(static_cast<std::uint16_t>(first + i));
    return out;
}

// The reply to the index-th frame from now (0-based) never comes whole, so that exchange fails on
// the link's time-out; every other frame is answered normally. Keep the link time-out short.
// With Fault::ShortReply (the default) the unit still acts on that frame; with Fault::Stall the
// frame is lost on its way and never reaches the unit.
class OneFailedExchange {
public:
    OneFailedExchange(zelsim::Server& server, std::uint64_t index, zelsim::Fault kind = zelsim::Fault::ShortReply)
        : server_(server) {
        const std::size_t target = server.FramesReceived() + index + 1;
        server.SetFaults({.kind = kind, .after_frames = index, .short_bytes = 0});
        // The plan of a frame is taken together with the frame count, so once the count has passed
        // the spoiled frame the plan can go before the next frame arrives.
        watcher_ = std::thread([this, target] {
            while (!stop_ && server_.FramesReceived() < target)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            server_.SetFaults({});
        });
    }
    ~OneFailedExchange() {
        stop_ = true;
        watcher_.join();
    }
    OneFailedExchange(const OneFailedExchange&) = delete;
    OneFailedExchange& operator=(const OneFailedExchange&) = delete;

private:
    zelsim::Server& server_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

// Leaves the status field of `inst` at 0 or 1 without traffic that matters: a VOA code write on
// channel 0 for 1, the same on a channel without layout entry (nothing sent) for 0.
inline void PrimeStatusField(ZEL_API& inst, std::uint8_t value) {
    inst.SetVOAAttenuation(static_cast<std::uint16_t>(value ? 0 : 8), std::int32_t{0});
    ASSERT_EQ(inst.StatusField(), value);
}

}  // namespace caltest
