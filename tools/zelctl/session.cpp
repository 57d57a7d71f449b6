// The session with one unit: lazy links over the instance and table entry 0, errors from the library.
#include <cstdio>
#include <thread>

#include "common.h"

namespace zelctl {
namespace {

constexpr uint8_t kEntry = 0;
constexpr uint16_t kSlotBase = 0x2000;
constexpr uint16_t kSlotSize = 2048;
constexpr int kSlots = 6;
constexpr uint16_t kFreeSlot = 0xFFFF;

// Frames go to stderr as hex. While only one link is open its frames are shown bare; from the
// moment the second opens, every frame carries the label of the link it went over.
void TraceFrame(void* user, int direction, const uint8_t* bytes, size_t length) {
  const auto* link = static_cast<const Session::LinkTrace*>(user);
  char buf[16];
  std::string line;
  if (*link->both_open) {
    std::snprintf(buf, sizeof buf, "%-8s ", link->label);
    line = buf;
  }
  line += direction == ZEL_FRAME_SENT ? ">>" : "<<";
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(buf, sizeof buf, " %02x", bytes[i]);
    line += buf;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int ChannelsOfBoardType(int board_type) {
  if (board_type == 6) return 8;
  if (board_type == 4 || board_type == 5) return 4;
  return 1;
}

uint16_t DefaultWavelengthOf(int board_type) { return board_type == 1 || board_type == 4 ? 850 : 1310; }

Session::Session(const GlobalOptions& options) : options_(options) {}

Session::~Session() {
  if (instance_ != nullptr) zel_destroyInstance(instance_);  // closes its link
  if (entry_connected_) APIDisconnect(kEntry);
  if (options_.trace) APISetFrameTrace(kEntry, nullptr, nullptr);  // the callback's data dies with the session
}

void Session::TraceOpening(bool other_link_open) {
  if (!options_.trace || !other_link_open || both_links_open_) return;
  both_links_open_ = true;
  std::fprintf(stderr, "-- second link to %s opens: frames are labelled \"%s\" or \"%s\" from here on\n",
               options_.unit.c_str(), instance_trace_.label, entry_trace_.label);
}

void Session::Fail(zel_error code, const std::string& what) {
  const int exit_code = code == ZEL_ERR_BAD_ADDRESS || code == ZEL_ERR_NO_SUCH_CHANNEL || code == ZEL_ERR_BAD_ARGUMENT
                            ? kExitUsage
                            : kExitUnit;
  throw Failure(exit_code, what + ": " + zel_ErrorText(code));
}

zel_instance* Session::Instance() {
  if (instance_connected_) return instance_;
  if (instance_ == nullptr) {
    instance_ = zel_createInstance();
    if (instance_ == nullptr) throw Failure(kExitUnit, "cannot create a unit instance: out of memory");
    zel_SetTimeout(instance_, options_.timeout_ms);
    if (options_.trace) zel_SetFrameTrace(instance_, TraceFrame, &instance_trace_);
  }
  TraceOpening(entry_connected_);
  if (zel_Connect(instance_, options_.unit.c_str()) == 0) {
    Fail(zel_LastError(instance_), "cannot connect to unit " + options_.unit);
  }
  instance_connected_ = true;
  return instance_;
}

uint8_t Session::Entry() {
  if (entry_connected_) return kEntry;
  if (options_.trace) APISetFrameTrace(kEntry, TraceFrame, &entry_trace_);
  APISetTimeout(kEntry, options_.timeout_ms);
  TraceOpening(instance_connected_);
  const uint8_t ok = APIConnect(kEntry, options_.unit.c_str());
  entry_connected_ = true;  // the link may be open even when the calibration scan failed
  if (ok == 0) Fail(APILastError(kEntry), "cannot connect to unit " + options_.unit);
  return kEntry;
}

void Session::ReconnectEntry() {
  if (entry_connected_) {
    APIDisconnect(kEntry);
    entry_connected_ = false;
  }
  Entry();
}

void Session::CheckInstance(bool ok, const std::string& what) {
  if (!ok) Fail(zel_LastError(instance_), what);
}

void Session::CheckEntry(bool ok, const std::string& what) {
  if (!ok) Fail(APILastError(kEntry), what);
}

void Session::CheckCalibrated(bool ok, int channel, const char* item, const std::string& what) {
  if (ok) return;
  const zel_error code = zel_LastError(instance_);
  if (code != ZEL_ERR_NOT_CALIBRATED) Fail(code, what);
  const std::string nm = std::to_string(WavelengthInUse());
  throw Failure(kExitUnit, what + ": channel " + std::to_string(channel) + " has no " + item + " calibration at " +
                               nm + " nm (its calibration records are erased; write them with calib set --wavelength " +
                               nm + ")");
}

int Session::BoardType() {
  if (!board_type_) {
    uint16_t type = 0;
    if (entry_connected_ && !instance_connected_) {
      CheckEntry(APIReadTypeFromEEPROM(Entry(), &type) != 0, "cannot read the board type");
    } else {
      CheckInstance(zel_ReadTypeFromEEPROM(Instance(), &type) != 0, "cannot read the board type");
    }
    board_type_ = type;
  }
  return *board_type_;
}

void Session::RequireChannel(int channel) {
  const int channels = Channels();
  if (channel < 0 || channel >= channels) {
    throw Failure(kExitUsage, "channel " + std::to_string(channel) + ": the board (type " +
                                  std::to_string(BoardType()) + ") has " +
                                  (channels == 1 ? std::string("only channel 0")
                                                 : "channels 0.." + std::to_string(channels - 1)));
  }
}

std::vector<WavelengthSlot> Session::Wavelengths(Progress* progress) {
  std::vector<WavelengthSlot> slots{{0, DefaultWavelengthOf(BoardType())}};
  for (int w = 1; w < kSlots; ++w) {
    const auto base = static_cast<uint16_t>(kSlotBase + kSlotSize * w);
    const uint16_t nm = static_cast<uint16_t>(ReadEepromByte(*this, base) << 8 |
                                              ReadEepromByte(*this, static_cast<uint16_t>(base + 1)));
    if (progress != nullptr) progress->Advance();
    if (nm == kFreeSlot) break;
    slots.push_back({w, nm});
  }
  return slots;
}

void Session::SelectWavelength(uint16_t nm) {
  if (APISetWavelength(Entry(), nm) == 0) FailSelecting(APILastError(kEntry), nm);
}

void Session::UseWavelength(uint16_t nm) {
  if (zel_SelectWavelength(Instance(), nm) == 0) FailSelecting(zel_LastError(instance_), nm);
  wavelength_in_use_ = nm;
}

uint16_t Session::WavelengthInUse() {
  return wavelength_in_use_ ? *wavelength_in_use_ : DefaultWavelengthOf(BoardType());
}

void Session::FailSelecting(zel_error code, uint16_t nm) {
  const std::string what = "cannot select " + std::to_string(nm) + " nm";
  if (code != ZEL_ERR_NOT_FOUND) Fail(code, what);
  throw Failure(kExitUsage, what + ": the unit is not calibrated for it (calibrated: " + JoinWavelengths(Wavelengths()) + ")");
}

std::string JoinWavelengths(const std::vector<WavelengthSlot>& slots) {
  std::string out;
  for (const auto& s : slots) out += (out.empty() ? "" : ", ") + std::to_string(s.nm);
  return out + " nm";
}

uint8_t ReadEepromByte(Session& session, uint16_t address) {
  uint8_t byte = 0;
  session.CheckInstance(zel_ReadEEPromByte(session.Instance(), address, &byte) != 0,
                        "cannot read EEPROM byte " + Hex(address, 4));
  return byte;
}

void WriteEepromByte(Session& session, uint16_t address, uint8_t value) {
  session.CheckEntry(APIWriteValueToEEProm(session.Entry(), address, value) != 0,
                     "cannot write EEPROM byte " + Hex(address, 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace zelctl
