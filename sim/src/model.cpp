// The unit's registers and its test hooks; frames are decoded in frames.cpp, the EEPROM image
// lives in eeprom_store.cpp and the light in optics.cpp.
#include "zelsim/model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "eeprom_store.h"
#include "log.h"
#include "optics.h"
#include "zelsim/factory.h"

namespace zelsim {

namespace {

// Temperature word: hundredths of a degree Celsius.
constexpr double kTempStep = 0.01;

bool ReadOnly(unsigned select, unsigned address) {
    if (address == reg::kTemperature || address == reg::kOpticalPower) return true;
    if (select != 0) return false;
    switch (address) {
        case reg::kFirmware:
        case reg::kBoardId:
        case reg::kSerial2:
        case reg::kSerial3:
        case reg::kSerialCheck:
            return true;
        default:
            return false;
    }
}

// What a host decodes from record 0: value truncated toward zero, low 16 bits.
int StoredBoardType(const std::vector<std::uint8_t>& image) {
    return static_cast<std::uint16_t>(static_cast<std::int64_t>(GetScaled(image, kSlotBase)));
}

// The optics follow the board type the unit reports: an existing image's record 0 wins over the
// configured one when it names a known type (0..7).
UnitConfig OpticsConfig(UnitConfig cfg, const std::vector<std::uint8_t>& image) {
    const int stored = StoredBoardType(image);
    if (IsKnownBoardType(stored)) cfg.board_type = stored;
    return cfg;
}

}  // namespace

UnitModel::UnitModel(UnitConfig cfg)
    : cfg_(std::move(cfg)),
      regs_(kSelects),
      eeprom_(std::make_unique<EepromStore>(mu_, FactoryImage(cfg_), cfg_.eeprom_file)),
      optics_(std::make_unique<Optics>(OpticsConfig(cfg_, eeprom_->Image()))) {
    for (auto& bank : regs_) bank.fill(0);
    auto& s0 = regs_[0];
    s0[reg::kFirmware] = cfg_.firmware_tenths;
    s0[reg::kBoardId] = cfg_.board_id;
    for (unsigned w = 0; w < 4; ++w) s0[reg::kSerial0 + w] = static_cast<std::uint16_t>(cfg_.serial >> (16 * w));
    s0[reg::kSerialCheck] = static_cast<std::uint16_t>(s0[reg::kSerial3] * 5u);
    for (unsigned s = 0; s < kSelects; ++s) regs_[s][reg::kTemperature] = optics_->FirstTemperature(s);

    if (cfg_.verbose) logging_ = true;
    eeprom_->StartSaver([this] { Flush(); });
}

UnitModel::~UnitModel() {
    eeprom_->StopSaver();
    Flush();
}

void UnitModel::SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lk(log_mu_);
    sink_ = std::move(sink);
    logging_ = cfg_.verbose || static_cast<bool>(sink_);
}

void UnitModel::SetLogTag(const std::string& tag) {
    std::lock_guard<std::mutex> lk(log_mu_);
    tag_ = tag;
}

void UnitModel::Log(const std::string& line) const {
    std::lock_guard<std::mutex> lk(log_mu_);
    if (sink_) {
        sink_(line);
    } else if (cfg_.verbose) {
        WriteLogLine(tag_, line);
    }
}

// ---------------------------------------------------------------------------
// Registers

std::uint16_t UnitModel::ReadLocked(unsigned select, unsigned address) {
    auto it = scripts_.find({select, address});
    if (it != scripts_.end()) {
        const std::uint16_t v = it->second.front();
        it->second.pop_front();
        if (it->second.empty()) scripts_.erase(it);
        return v;
    }
    if (address == reg::kOpticalPower) return optics_->NoisyCounts(select, regs_[select][reg::kVoaCode]);
    if (address == reg::kTemperature) {
        std::uint16_t& word = regs_[select][reg::kTemperature];
        word = optics_->NextTemperature(select, word);
        return word;
    }
    return PeekLocked(select, address);
}

std::uint32_t UnitModel::EepromDataAddressLocked(unsigned select) const {
    return select * kEepromBankSize + regs_[select][reg::kEepromAddress];
}

std::uint16_t UnitModel::PeekLocked(unsigned select, unsigned address) const {
    if (address == reg::kEepromData && HasEepromBank(select)) return eeprom_->Byte(EepromDataAddressLocked(select));
    if (address == reg::kOpticalPower) {
        const double counts = optics_->IdealCounts(select, regs_[select][reg::kVoaCode]);
        return static_cast<std::uint16_t>(std::clamp(std::round(counts), 0.0, 65535.0));
    }
    return regs_[select][address];
}

std::uint16_t UnitModel::WriteLocked(unsigned select, unsigned address, std::uint16_t value) {
    if (ReadOnly(select, address)) {
        if (Logging())
            Log(Format("write 0x%04X to read-only register %u on select %u ignored", value, address, select));
        return PeekLocked(select, address);
    }
    std::uint16_t& cell = regs_[select][address];
    switch (address) {
        case reg::kEepromData:
            if (HasEepromBank(select)) {
                // The data register is 8 bits wide: the high byte of the word is dropped.
                const auto b = static_cast<std::uint8_t>(value);
                eeprom_->Store(EepromDataAddressLocked(select), &b, 1);
                return b;
            }
            break;
        case reg::kVoaCode:
            // The VOA DAC is 12 bits: larger codes keep their low 12 bits (0xFFFF drives 4095).
            if (value > 0x0FFF && Logging())
                Log(Format("VOA code 0x%04X on select %u cut to 0x%03X", value, select, value & 0x0FFF));
            value &= 0x0FFF;
            break;
        case reg::kScreen:
            if (select == 0) {
                value &= 0x00FF;
                if (Logging()) Log(Format("screen control byte 0x%02X", value));
            }
            break;
        case reg::kSwitch2x2:
            if (Logging() && value >= BoardFactsOf(BoardTypeLocked()).two_by_two_positions) {
                Log(Format("2x2 switch on select %u set to %u: neither bar (0) nor cross (1)", select, value));
            }
            break;
        case reg::kSwitchMems:
        case reg::kSwitchLbmm:
            if (select == 0 && Logging()) {
                const unsigned ports = SwitchPortsLocked();
                const char* name = address == reg::kSwitchMems ? "MEMS" : "LBMM";
                if (value >= ports) {
                    Log(Format("%s switch position %u is beyond its %u port(s); kept", name, value, ports));
                } else {
                    Log(Format("%s switch to port %u", name, value));
                }
            }
            break;
        default:
            break;
    }
    cell = value;
    return value;
}

std::uint16_t UnitModel::Register(unsigned select, unsigned address) const {
    if (select >= kSelects || address >= kRegistersPerSelect) return 0;
    std::lock_guard<std::mutex> lk(mu_);
    return PeekLocked(select, address);
}

void UnitModel::SetRegister(unsigned select, unsigned address, std::uint16_t value) {
    if (select >= kSelects || address >= kRegistersPerSelect) return;
    std::lock_guard<std::mutex> lk(mu_);
    if (address == reg::kOpticalPower) return;
    if (address == reg::kEepromData && HasEepromBank(select)) {
        WriteLocked(select, address, value);
        return;
    }
    regs_[select][address] = value;
}

void UnitModel::ScriptReads(unsigned select, unsigned address, std::vector<std::uint16_t> values) {
    if (select >= kSelects || address >= kRegistersPerSelect) return;
    std::lock_guard<std::mutex> lk(mu_);
    if (values.empty()) {
        scripts_.erase({select, address});
        return;
    }
    auto& q = scripts_[{select, address}];
    q.assign(values.begin(), values.end());
}

void UnitModel::ClearScripts() {
    std::lock_guard<std::mutex> lk(mu_);
    scripts_.clear();
}

std::uint8_t UnitModel::ScreenByte() const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<std::uint8_t>(regs_[0][reg::kScreen]);
}

double UnitModel::TemperatureC(unsigned select) const {
    if (select >= kSelects) return 0.0;
    std::lock_guard<std::mutex> lk(mu_);
    return regs_[select][reg::kTemperature] * kTempStep;
}

// ---------------------------------------------------------------------------
// EEPROM

std::uint8_t UnitModel::Eeprom(std::uint32_t address) const {
    std::lock_guard<std::mutex> lk(mu_);
    return eeprom_->Byte(address);
}

void UnitModel::SetEeprom(std::uint32_t address, std::uint8_t value) {
    std::lock_guard<std::mutex> lk(mu_);
    eeprom_->Store(address, &value, 1);
}

std::vector<std::uint8_t> UnitModel::EepromImage() const {
    std::lock_guard<std::mutex> lk(mu_);
    return eeprom_->Image();
}

void UnitModel::SetEepromImage(const std::vector<std::uint8_t>& image) {
    if (image.size() != kEepromSize) {
        throw std::invalid_argument("EEPROM image must be " + std::to_string(kEepromSize) + " bytes, not " +
                                    std::to_string(image.size()));
    }
    std::lock_guard<std::mutex> lk(mu_);
    eeprom_->SetImage(image);
}

bool UnitModel::Flush() {
    std::string error;
    if (eeprom_->Save(&error)) return true;
    std::lock_guard<std::mutex> lg(log_mu_);
    WriteLogLine(tag_, "EEPROM image not saved: " + error);
    return false;
}

std::uint64_t UnitModel::SavesDone() const { return eeprom_->Saves(); }

int UnitModel::BoardTypeLocked() const { return StoredBoardType(eeprom_->Image()); }

int UnitModel::BoardType() const {
    std::lock_guard<std::mutex> lk(mu_);
    return BoardTypeLocked();
}

unsigned UnitModel::SwitchPortsLocked() const { return BoardFactsOf(BoardTypeLocked()).selector_ports; }

unsigned UnitModel::SwitchPorts() const {
    std::lock_guard<std::mutex> lk(mu_);
    return SwitchPortsLocked();
}

// ---------------------------------------------------------------------------
// Optics

double UnitModel::TrueAttenuationDb(unsigned select, std::uint16_t code) const {
    return optics_->AttenuationDb(select, code);
}

double UnitModel::TapFactorUwPerCount(unsigned select) const { return optics_->TapFactorUwPerCount(select); }

double UnitModel::OutputPowerUw(unsigned select) const {
    if (select >= kChannels) return 0.0;
    std::lock_guard<std::mutex> lk(mu_);
    return optics_->OutputPowerUw(select, regs_[select][reg::kVoaCode]);
}

void UnitModel::SetInputPower(unsigned channel_select, double microwatts) {
    std::lock_guard<std::mutex> lk(mu_);
    optics_->SetInputPowerUw(channel_select, microwatts);
}

double UnitModel::InputPower(unsigned channel_select) const {
    std::lock_guard<std::mutex> lk(mu_);
    return optics_->InputPowerUw(channel_select);
}

}  // namespace zelsim
