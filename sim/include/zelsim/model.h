// The simulated test unit without sockets: registers, EEPROM, optics, identity.
//
// One UnitModel is one unit. It answers 128-byte request frames with reply bytes
// exactly as the unit does on the wire, and offers test hooks to look at and
// change its state. Every public member is thread-safe (one internal mutex).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelsim {

inline constexpr std::size_t kFrameSize = 128;
inline constexpr unsigned kSelects = 16;
inline constexpr unsigned kRegistersPerSelect = 2048;
inline constexpr unsigned kChannels = 8;               // optical channels live on selects 0..7
inline constexpr std::uint32_t kEepromSize = 0x20000;  // 128 KiB: select-0 bank, then select-1 bank
inline constexpr std::uint32_t kEepromBankSize = 0x10000;

// Register addresses of the unit.
namespace reg {
inline constexpr unsigned kFirmware = 9;
inline constexpr unsigned kEepromAddress = 10;
inline constexpr unsigned kEepromData = 11;
inline constexpr unsigned kTemperature = 16;
inline constexpr unsigned kBoardId = 20;
inline constexpr unsigned kSerial0 = 21;
inline constexpr unsigned kSerial1 = 22;
inline constexpr unsigned kSerial2 = 23;
inline constexpr unsigned kSerial3 = 24;
inline constexpr unsigned kSerialCheck = 25;
inline constexpr unsigned kSwitch2x2 = 33;
inline constexpr unsigned kSwitchMems = 34;
inline constexpr unsigned kSwitchLbmm = 35;
inline constexpr unsigned kOpticalPower = 36;
inline constexpr unsigned kVoaCode = 37;
inline constexpr unsigned kScreen = 38;
}  // namespace reg

struct UnitConfig {
    std::uint16_t board_id = 0x0C35;                  // register 20
    std::uint16_t firmware_tenths = 123;              // register 9: 123 reads as revision 12.3
    std::uint64_t serial = 0x0007'2024'0003'1F5Aull;  // registers 21..24 = words 0..3; 25 = word3 * 5
    int board_type = 6;                               // EEPROM record 0 (scaled); 6 = 8 channels, 8-port switches
    std::vector<std::uint16_t> extra_wavelengths;     // slots 1..5 (nm); empty = only the default slot
    double input_power_uw[kChannels] = {1000.0, 1000.0, 1000.0, 1000.0, 1000.0, 1000.0, 1000.0, 1000.0};
    std::uint64_t seed = 1;   // power noise and temperature drift
    std::string eeprom_file;  // empty = EEPROM in memory only
    bool verbose = false;     // decoded frames and events to stderr
};

class EepromStore;
class Optics;

// Receives one finished log line (no trailing newline).
using LogSink = std::function<void(std::string_view)>;

class UnitModel {
public:
    // Throws std::runtime_error when eeprom_file exists but cannot be read or has
    // the wrong size. A missing file starts from the factory image.
    explicit UnitModel(UnitConfig cfg = {});
    ~UnitModel();  // saves a changed EEPROM image
    UnitModel(const UnitModel&) = delete;
    UnitModel& operator=(const UnitModel&) = delete;

    // Answer one request frame. `reply` is resized to the reply length. Never throws.
    void Handle(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply);

    // Register storage as a read would see it, without side effects (no script
    // pop, no noise, no drift). Register 36 gives the noise-free power count.
    std::uint16_t Register(unsigned select, unsigned address) const;
    // Sets the stored word directly (read-only registers included). Register 11 on
    // selects 0/1 writes the EEPROM byte at the current address; register 36 is
    // computed and ignores this (use ScriptReads or SetInputPower).
    void SetRegister(unsigned select, unsigned address, std::uint16_t value);

    std::uint8_t Eeprom(std::uint32_t address) const;  // address modulo 128 KiB
    void SetEeprom(std::uint32_t address, std::uint8_t value);
    std::vector<std::uint8_t> EepromImage() const;
    void SetEepromImage(const std::vector<std::uint8_t>& image);  // throws std::invalid_argument unless 128 KiB

    // The next reads of (select, address) through Handle answer these values in order.
    void ScriptReads(unsigned select, unsigned address, std::vector<std::uint16_t> values);
    void ClearScripts();

    // Optical input power of a channel (select 0..7) in microwatts.
    void SetInputPower(unsigned channel_select, double microwatts);
    double InputPower(unsigned channel_select) const;

    // Physics of the unit at its default wavelength (slot 0).
    double TrueAttenuationDb(unsigned select, std::uint16_t code) const;  // code taken modulo 4096
    double TapFactorUwPerCount(unsigned select) const;                    // factory TAP factor, slot 0
    double OutputPowerUw(unsigned select) const;                          // after the VOA at its current code
    unsigned SwitchPorts() const;  // MEMS/LBMM port count of the board type now in EEPROM record 0
    int BoardType() const;         // record 0 decoded (scaled, truncated toward zero)
    std::uint8_t ScreenByte() const;
    double TemperatureC(unsigned select) const;  // register 16 in degrees Celsius

    // Write the EEPROM image file now when it changed (no-op without a file).
    // Returns false when the save failed.
    bool Flush();
    std::uint64_t SavesDone() const;  // image files written so far

    const UnitConfig& Config() const { return cfg_; }
    // Log lines go to the sink when one is set, else to stderr when verbose, else nowhere.
    // The sink runs with the model locked: it must not call back into the model.
    void SetLogSink(LogSink sink);
    void SetLogTag(const std::string& tag);  // prefix of stderr lines, default "unit"
    bool Logging() const { return logging_.load(std::memory_order_relaxed); }
    void Log(const std::string& line) const;

private:
    std::uint16_t ReadLocked(unsigned select, unsigned address);
    std::uint16_t WriteLocked(unsigned select, unsigned address, std::uint16_t value);
    std::uint16_t PeekLocked(unsigned select, unsigned address) const;
    // EEPROM address of the byte behind register 11 of select 0 or 1: its bank plus register 10.
    std::uint32_t EepromDataAddressLocked(unsigned select) const;
    int BoardTypeLocked() const;
    unsigned SwitchPortsLocked() const;

    // Frame decoding (frames.cpp).
    void HandleRegister(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply);
    void HandleCommand(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply);

    const UnitConfig cfg_;
    mutable std::mutex mu_;  // guards the registers, scripts, EEPROM image and optics
    std::vector<std::array<std::uint16_t, kRegistersPerSelect>> regs_;
    std::map<std::pair<unsigned, unsigned>, std::deque<std::uint16_t>> scripts_;
    std::unique_ptr<EepromStore> eeprom_;
    std::unique_ptr<Optics> optics_;
    mutable std::mutex log_mu_;  // guards sink_ and tag_
    LogSink sink_;
    std::string tag_ = "unit";
    std::atomic<bool> logging_{false};
};

}  // namespace zelsim
