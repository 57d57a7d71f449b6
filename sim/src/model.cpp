#include "zelsim/model.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "log.h"
#include "mix.h"
#include "zelsim/eeprom_file.h"
#include "zelsim/factory.h"

namespace zelsim {

namespace {

constexpr uint8_t kRegisterFrame = 0xF0;
constexpr uint8_t kCommandFrame = 0xF1;
constexpr size_t kPageSize = 1024;
constexpr size_t kBlockPayload = 119;  // frame bytes 9..127
constexpr auto kSaveInterval = std::chrono::milliseconds(200);

// Temperature word: hundredths of a degree Celsius.
constexpr double kTempStep = 0.01;
constexpr int kTempWarmup = 150;  // a unit starts 1.5 degC below its settled temperature

// Command reply (everything but the reads): byte 0 = 0xF1, byte 1 = sub-command, byte 2 = status.
constexpr uint8_t kCmdDone = 0x00;
constexpr uint8_t kCmdUnknown = 0x01;

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

bool EepromSelect(unsigned select) { return select < 2; }

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

// Saves the EEPROM image in the background, at most once per kSaveInterval.
struct UnitModel::Saver {
  std::string path;
  std::mutex flush_mu;        // one save at a time
  uint64_t saved_gen = 0;     // guarded by the model's mu_
  std::atomic<uint64_t> saves{0};

  std::mutex mu;
  std::condition_variable cv;
  bool pending = false;
  bool stop = false;
  std::thread thread;

  void Notify() {
    {
      std::lock_guard<std::mutex> lk(mu);
      pending = true;
    }
    cv.notify_one();
  }

  void Run(UnitModel* model) {
    auto last = std::chrono::steady_clock::now() - kSaveInterval;
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      cv.wait(lk, [&] { return stop || pending; });
      if (stop) return;
      if (cv.wait_until(lk, last + kSaveInterval, [&] { return stop; })) return;
      pending = false;
      lk.unlock();
      model->Flush();
      last = std::chrono::steady_clock::now();
      lk.lock();
    }
  }

  void Shutdown() {
    {
      std::lock_guard<std::mutex> lk(mu);
      stop = true;
    }
    cv.notify_one();
    if (thread.joinable()) thread.join();
  }
};

UnitModel::UnitModel(UnitConfig cfg)
    : cfg_(std::move(cfg)), regs_(kSelects), rng_(Mix64(cfg_.seed ^ 0x5EED5EED5EED5EEDull)) {
  for (auto& bank : regs_) bank.fill(0);
  std::vector<uint8_t> factory = FactoryImage(cfg_);
  bool fresh = true;
  if (!cfg_.eeprom_file.empty()) {
    if (auto loaded = LoadImageFile(cfg_.eeprom_file, kEepromSize)) {
      factory = std::move(*loaded);
      fresh = false;
    }
  }
  eeprom_ = std::move(factory);

  auto& s0 = regs_[0];
  s0[reg::kFirmware] = cfg_.firmware_tenths;
  s0[reg::kBoardId] = cfg_.board_id;
  for (unsigned w = 0; w < 4; ++w) s0[reg::kSerial0 + w] = static_cast<uint16_t>(cfg_.serial >> (16 * w));
  s0[reg::kSerialCheck] = static_cast<uint16_t>(s0[reg::kSerial3] * 5u);

  quartic_ = cfg_.board_type == 4;
  for (unsigned s = 0; s < kChannels; ++s) {
    const ChannelCalibration cal = FactoryCalibration(cfg_, 0, s);
    std::copy(std::begin(cal.voa), std::end(cal.voa), curve_[s]);
    tap_[s] = cal.tap_uw_per_count;
    input_uw_[s] = std::max(0.0, cfg_.input_power_uw[s]);
  }
  for (unsigned s = 0; s < kSelects; ++s) {
    // Settled temperatures between about 24.7 and 30.9 degC, a little warmer on higher selects.
    temp_base_[s] = 2500 + 35 * static_cast<int>(s) + static_cast<int>(Mix64(cfg_.seed + s) % 61) - 30;
    regs_[s][reg::kTemperature] = static_cast<uint16_t>(temp_base_[s] - kTempWarmup);
  }

  if (cfg_.verbose) logging_ = true;
  if (!cfg_.eeprom_file.empty()) {
    saver_ = std::make_unique<Saver>();
    saver_->path = cfg_.eeprom_file;
    if (fresh) change_gen_ = 1;  // write the factory image out at the first save
    saver_->thread = std::thread([this] { saver_->Run(this); });
  }
}

UnitModel::~UnitModel() {
  if (saver_) {
    saver_->Shutdown();
    Flush();
  }
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

double UnitModel::NextUniform() {
  rng_ = Mix64(rng_);
  return UnitInterval(rng_);
}

double UnitModel::NextGaussian() {
  // Irwin-Hall: the sum of 12 uniforms less 6 has mean 0 and variance 1.
  double sum = 0;
  for (int i = 0; i < 12; ++i) sum += NextUniform();
  return sum - 6.0;
}

// ---------------------------------------------------------------------------
// Frames

void UnitModel::Handle(const uint8_t (&frame)[kFrameSize], std::vector<uint8_t>& reply) {
  try {
    std::lock_guard<std::mutex> lk(mu_);
    if (frame[0] == kRegisterFrame) {
      HandleRegister(frame, reply);
    } else if (frame[0] == kCommandFrame) {
      HandleCommand(frame, reply);
    } else {
      // Not a frame the unit knows: a zero reply keeps request and reply in step.
      reply.assign(kFrameSize, 0);
      if (Logging()) Log(Format("frame with unknown first byte 0x%02X: zero reply", frame[0]));
    }
  } catch (...) {
    try {
      reply.assign(kFrameSize, 0);
    } catch (...) {
      reply.clear();
    }
  }
}

void UnitModel::HandleRegister(const uint8_t (&frame)[kFrameSize], std::vector<uint8_t>& reply) {
  const unsigned control = frame[4] | unsigned{frame[5]} << 8;
  const bool write = (control & 0x8000) != 0;
  const unsigned select = (control >> 11) & 0xF;
  const unsigned address = control & 0x7FF;
  uint16_t value;
  if (write) {
    const uint16_t in = static_cast<uint16_t>(frame[6] | frame[7] << 8);
    value = WriteLocked(select, address, in);
    if (Logging()) {
      if (address == reg::kEepromData && EepromSelect(select)) {
        Log(Format("W s%u r%u [0x%05X] = 0x%02X", select, address,
                   select * kEepromBankSize + regs_[select][reg::kEepromAddress], value));
      } else {
        Log(Format("W s%u r%u = 0x%04X -> 0x%04X", select, address, in, value));
      }
    }
  } else {
    value = ReadLocked(select, address);
    if (Logging()) {
      if (address == reg::kEepromData && EepromSelect(select)) {
        Log(Format("R s%u r%u [0x%05X] -> 0x%02X", select, address,
                   select * kEepromBankSize + regs_[select][reg::kEepromAddress], value));
      } else {
        Log(Format("R s%u r%u -> 0x%04X", select, address, value));
      }
    }
  }
  reply.assign(kFrameSize, 0);
  reply[0] = kRegisterFrame;
  reply[1] = static_cast<uint8_t>(value);
  reply[2] = static_cast<uint8_t>(value >> 8);
}

void UnitModel::HandleCommand(const uint8_t (&frame)[kFrameSize], std::vector<uint8_t>& reply) {
  const uint8_t sub = frame[1];
  auto ack = [&](uint8_t status) {
    reply.assign(kFrameSize, 0);
    reply[0] = kCommandFrame;
    reply[1] = sub;
    reply[2] = status;
  };
  auto copy_out = [&](uint32_t from, size_t n) {
    reply.resize(n);
    for (size_t i = 0; i < n; ++i) reply[i] = eeprom_[(from + i) % kEepromSize];
  };
  auto store = [&](uint32_t to, const uint8_t* src, size_t n) {
    bool changed = false;
    for (size_t i = 0; i < n; ++i) {
      uint8_t& cell = eeprom_[(to + i) % kEepromSize];
      changed |= cell != src[i];
      cell = src[i];
    }
    if (changed) EepromChangedLocked();
  };
  // Byte 2 gives the direction: 1 = read `read_len` bytes, 0 = store `write_len` bytes from frame byte 9.
  auto transfer = [&](const char* what, uint32_t address, size_t read_len, size_t write_len) {
    if (frame[2] == 0x01) {
      copy_out(address, read_len);
      if (Logging()) Log(Format("%s read 0x%05X, %zu bytes", what, address, read_len));
    } else if (frame[2] == 0x00) {
      store(address, &frame[9], write_len);
      ack(kCmdDone);
      if (Logging()) Log(Format("%s write 0x%05X, %zu bytes", what, address, write_len));
    } else {
      ack(kCmdUnknown);
      if (Logging()) Log(Format("%s command with direction 0x%02X not understood", what, frame[2]));
    }
  };

  switch (sub) {
    case 0x00:  // 128-byte block of EEPROM at a 32-bit address (bank byte 4 is not used)
      transfer("block", Le32(&frame[5]) % kEepromSize, kFrameSize, kBlockPayload);
      return;
    case 0x02: {  // 1024-byte page: bank in byte 2 (bit 0), page in byte 3
      const uint32_t address =
          ((frame[2] & 1u) * kEepromBankSize + uint32_t{frame[3]} * kPageSize) % kEepromSize;
      copy_out(address, kPageSize);
      if (Logging()) Log(Format("page read bank %u page %u (0x%05X)", frame[2] & 1u, frame[3], address));
      return;
    }
    case 0x06:  // n = byte 3 bytes at the select-0 EEPROM address byte 4 | byte 5 << 8
      transfer("byte", frame[4] | uint32_t{frame[5]} << 8, std::max<size_t>(frame[3], 1),  // never an empty reply
               std::min<size_t>(frame[3], kBlockPayload));
      return;
    case 0x03:
    case 0x04:
    case 0x07:
      ack(kCmdDone);  // accepted; these have no effect on this unit
      if (Logging()) Log(Format("command 0x%02X accepted, no effect", sub));
      return;
    default:
      ack(kCmdUnknown);
      if (Logging()) Log(Format("command 0x%02X not understood", sub));
      return;
  }
}

// ---------------------------------------------------------------------------
// Registers

uint16_t UnitModel::ReadLocked(unsigned select, unsigned address) {
  auto it = scripts_.find({select, address});
  if (it != scripts_.end()) {
    const uint16_t v = it->second.front();
    it->second.pop_front();
    if (it->second.empty()) scripts_.erase(it);
    return v;
  }
  if (address == reg::kOpticalPower) return NoisyCountsLocked(select);
  if (address == reg::kTemperature) return TemperatureStepLocked(select);
  return PeekLocked(select, address);
}

uint16_t UnitModel::PeekLocked(unsigned select, unsigned address) const {
  if (address == reg::kEepromData && EepromSelect(select)) {
    return eeprom_[select * kEepromBankSize + regs_[select][reg::kEepromAddress]];
  }
  if (address == reg::kOpticalPower) {
    return static_cast<uint16_t>(std::clamp(std::round(IdealCountsLocked(select)), 0.0, 65535.0));
  }
  return regs_[select][address];
}

uint16_t UnitModel::WriteLocked(unsigned select, unsigned address, uint16_t value) {
  if (ReadOnly(select, address)) {
    if (Logging()) Log(Format("write 0x%04X to read-only register %u on select %u ignored", value, address, select));
    return PeekLocked(select, address);
  }
  uint16_t& cell = regs_[select][address];
  switch (address) {
    case reg::kEepromData:
      if (EepromSelect(select)) {
        // The data register is 8 bits wide: the high byte of the word is dropped.
        uint8_t& byte = eeprom_[select * kEepromBankSize + regs_[select][reg::kEepromAddress]];
        const auto b = static_cast<uint8_t>(value);
        if (byte != b) {
          byte = b;
          EepromChangedLocked();
        }
        return b;
      }
      break;
    case reg::kVoaCode:
      // The VOA DAC is 12 bits: larger codes keep their low 12 bits (0xFFFF drives 4095).
      if (value > 0x0FFF && Logging()) Log(Format("VOA code 0x%04X on select %u cut to 0x%03X", value, select, value & 0x0FFF));
      value &= 0x0FFF;
      break;
    case reg::kScreen:
      if (select == 0) {
        value &= 0x00FF;
        if (Logging()) Log(Format("screen control byte 0x%02X", value));
      }
      break;
    case reg::kSwitch2x2:
      if (value > 1 && Logging()) {
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

uint16_t UnitModel::Register(unsigned select, unsigned address) const {
  if (select >= kSelects || address >= kRegistersPerSelect) return 0;
  std::lock_guard<std::mutex> lk(mu_);
  return PeekLocked(select, address);
}

void UnitModel::SetRegister(unsigned select, unsigned address, uint16_t value) {
  if (select >= kSelects || address >= kRegistersPerSelect) return;
  std::lock_guard<std::mutex> lk(mu_);
  if (address == reg::kOpticalPower) return;
  if (address == reg::kEepromData && EepromSelect(select)) {
    WriteLocked(select, address, value);
    return;
  }
  regs_[select][address] = value;
}

void UnitModel::ScriptReads(unsigned select, unsigned address, std::vector<uint16_t> values) {
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

// ---------------------------------------------------------------------------
// EEPROM

uint8_t UnitModel::Eeprom(uint32_t address) const {
  std::lock_guard<std::mutex> lk(mu_);
  return eeprom_[address % kEepromSize];
}

void UnitModel::SetEeprom(uint32_t address, uint8_t value) {
  std::lock_guard<std::mutex> lk(mu_);
  uint8_t& cell = eeprom_[address % kEepromSize];
  if (cell != value) {
    cell = value;
    EepromChangedLocked();
  }
}

std::vector<uint8_t> UnitModel::EepromImage() const {
  std::lock_guard<std::mutex> lk(mu_);
  return eeprom_;
}

void UnitModel::SetEepromImage(const std::vector<uint8_t>& image) {
  if (image.size() != kEepromSize) {
    throw std::invalid_argument("EEPROM image must be " + std::to_string(kEepromSize) + " bytes, not " +
                                std::to_string(image.size()));
  }
  std::lock_guard<std::mutex> lk(mu_);
  if (eeprom_ != image) {
    eeprom_ = image;
    EepromChangedLocked();
  }
}

void UnitModel::EepromChangedLocked() {
  ++change_gen_;
  if (saver_) saver_->Notify();
}

bool UnitModel::Flush() {
  if (!saver_) return true;
  std::lock_guard<std::mutex> fl(saver_->flush_mu);
  std::vector<uint8_t> snapshot;
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (change_gen_ == saver_->saved_gen) return true;
    snapshot = eeprom_;
    gen = change_gen_;
  }
  std::string error;
  if (!SaveImageFile(saver_->path, snapshot, &error)) {
    std::lock_guard<std::mutex> lg(log_mu_);
    WriteLogLine(tag_, "EEPROM image not saved: " + error);
    return false;
  }
  std::lock_guard<std::mutex> lk(mu_);
  saver_->saved_gen = gen;
  ++saver_->saves;
  return true;
}

uint64_t UnitModel::SavesDone() const { return saver_ ? saver_->saves.load() : 0; }

int UnitModel::BoardTypeLocked() const {
  // What a host decodes from record 0: value truncated toward zero, low 16 bits.
  const double v = GetScaled(eeprom_, kSlotBase);
  return static_cast<uint16_t>(static_cast<int64_t>(v));
}

int UnitModel::BoardType() const {
  std::lock_guard<std::mutex> lk(mu_);
  return BoardTypeLocked();
}

unsigned UnitModel::SwitchPortsLocked() const { return PortsOfBoardType(BoardTypeLocked()); }

unsigned UnitModel::SwitchPorts() const {
  std::lock_guard<std::mutex> lk(mu_);
  return SwitchPortsLocked();
}

// ---------------------------------------------------------------------------
// Optics and sensors

double UnitModel::TrueAttenuationDb(unsigned select, uint16_t code) const {
  if (select >= kChannels) return 0.0;
  return EvalVoaCurve(curve_[select], quartic_, code & 0x0FFF);
}

double UnitModel::TapFactorUwPerCount(unsigned select) const { return select < kChannels ? tap_[select] : 0.0; }

double UnitModel::OutputPowerLocked(unsigned select) const {
  if (select >= kChannels) return 0.0;
  const double db = TrueAttenuationDb(select, regs_[select][reg::kVoaCode]);
  return input_uw_[select] * std::pow(10.0, -db / 10.0);
}

double UnitModel::OutputPowerUw(unsigned select) const {
  std::lock_guard<std::mutex> lk(mu_);
  return OutputPowerLocked(select);
}

double UnitModel::IdealCountsLocked(unsigned select) const {
  if (select >= kChannels) return 0.0;
  return OutputPowerLocked(select) / tap_[select];
}

uint16_t UnitModel::NoisyCountsLocked(unsigned select) {
  if (select >= kChannels) return 0;
  // 0.2 % gain noise plus about one count of detector noise.
  const double counts = IdealCountsLocked(select) * (1.0 + 0.002 * NextGaussian()) + NextGaussian();
  return static_cast<uint16_t>(std::clamp(std::round(counts), 0.0, 65535.0));
}

void UnitModel::SetInputPower(unsigned channel_select, double microwatts) {
  if (channel_select >= kChannels || !(microwatts >= 0.0)) return;
  std::lock_guard<std::mutex> lk(mu_);
  input_uw_[channel_select] = microwatts;
}

double UnitModel::InputPower(unsigned channel_select) const {
  if (channel_select >= kChannels) return 0.0;
  std::lock_guard<std::mutex> lk(mu_);
  return input_uw_[channel_select];
}

uint16_t UnitModel::TemperatureStepLocked(unsigned select) {
  // Each read moves the sensor a little: a pull of 2 % towards the settled value
  // plus a random step of about 0.015 degC, kept within 10 degC of it.
  const int now = regs_[select][reg::kTemperature];
  const int base = temp_base_[select];
  int next = now + static_cast<int>(std::lround(0.02 * (base - now) + 1.5 * NextGaussian()));
  next = std::clamp(next, base - 1000, base + 1000);
  regs_[select][reg::kTemperature] = static_cast<uint16_t>(next);
  return static_cast<uint16_t>(next);
}

double UnitModel::TemperatureC(unsigned select) const {
  if (select >= kSelects) return 0.0;
  std::lock_guard<std::mutex> lk(mu_);
  return regs_[select][reg::kTemperature] * kTempStep;
}

uint8_t UnitModel::ScreenByte() const {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<uint8_t>(regs_[0][reg::kScreen]);
}

}  // namespace zelsim
