// The session with one unit: one instance, one link, errors from the library.
#include <cstdio>

#include "common.h"
#include "fanout.h"
#include "terminal.h"

namespace zelctl {
namespace {

// Frames go to stderr as hex, one line each.
void TraceFrame(void*, int direction, const std::uint8_t* bytes, std::size_t length) {
    // With several units at once, each line names its unit.
    std::string line = FanOutUnit() != nullptr ? FanOutUnit()->name + " " : "";
    line += direction == ZEL_FRAME_SENT ? ">>" : "<<";
    if (length > 0) line += " " + FrameHex(bytes, length);
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

Session::Session(const GlobalOptions& options) : options_(options) {}

Session::~Session() {
    watch_.reset();  // before the instance goes: Ctrl-C must not reach it after
    if (instance_ != nullptr) zel_destroyInstance(instance_);  // closes its link
}

void Session::Fail(zel_error code, const std::string& what) { throw FailureOf(code, what); }

zel_instance* Session::Instance() {
    if (StopRequested()) throw Failure(kExitInterrupted, "interrupted (Ctrl-C)");
    if (connected_) return instance_;
    if (instance_ == nullptr) {
        instance_ = zel_createInstance();
        if (instance_ == nullptr) throw Failure(kExitUnit, "cannot create a unit instance: out of memory");
        watch_ = std::make_unique<WatchedInstance>(instance_);
        zel_SetTimeout(instance_, options_.timeout_ms);
        if (frame_trace_ != nullptr) {
            zel_SetFrameTrace(instance_, frame_trace_, frame_trace_user_);
        } else if (options_.trace) {
            zel_SetFrameTrace(instance_, TraceFrame, nullptr);
        }
        // The file is open already (main holds it), so this joins it; it cannot fail the command.
        if (!options_.capture.empty()) zel_StartCapture(instance_, options_.capture.c_str());
    }
    if (zel_QuickConnect(instance_, options_.unit.c_str()) == 0) {
        Fail(zel_LastError(instance_), "cannot connect to unit " + options_.unit);
    }
    connected_ = true;
    return instance_;
}

void Session::CheckInstance(bool ok, const std::string& what) {
    if (!ok) Fail(zel_LastError(instance_), what);
}

void Session::CheckCalibrated(bool ok, int channel, const char* item, const std::string& what) {
    if (ok) return;
    const zel_error code = zel_LastError(instance_);
    if (code != ZEL_ERR_NOT_CALIBRATED) Fail(code, what);
    const std::string nm = std::to_string(WavelengthInUse());
    throw Failure(kExitUnit,
                  what + ": channel " + std::to_string(channel) + " has no " + item + " calibration at " + nm +
                      " nm (its calibration records are erased; write them with calib set --wavelength " + nm + ")");
}

int Session::BoardType() {
    if (!board_type_) {
        // Known to the instance since the connect read it: no EEPROM reads.
        std::uint16_t type = 0;
        CheckInstance(zel_GetBoardType(Instance(), &type) != 0, "cannot tell the board type");
        board_type_ = type;
    }
    return *board_type_;
}

int Session::Channels() {
    std::uint8_t count = 0;
    CheckInstance(zel_GetChannelCount(Instance(), &count) != 0, "cannot tell the board's channel count");
    return count;
}

void Session::RequireChannel(int channel) {
    const int channels = Channels();
    if (channel < 0 || channel >= channels) {
        throw Failure(
            kExitUsage,
            "channel " + std::to_string(channel) + ": the board (type " + std::to_string(BoardType()) + ") has " +
                (channels == 1 ? std::string("only channel 0") : "channels 0.." + std::to_string(channels - 1)));
    }
}

std::vector<WavelengthSlot> Session::Wavelengths() {
    std::uint16_t nm[6] = {};
    std::size_t count = 0;
    CheckInstance(zel_GetWavelengths(Instance(), nm, 6, &count) != 0, "cannot read the wavelength table");
    std::vector<WavelengthSlot> slots;
    for (std::size_t w = 0; w < count; ++w) slots.push_back({static_cast<int>(w), nm[w]});
    return slots;
}

std::uint16_t Session::DefaultWavelength() { return Wavelengths().front().nm; }

void Session::SelectWavelength(std::uint16_t nm) {
    if (zel_SetWavelength(Instance(), nm) == 0) FailSelecting(zel_LastError(instance_), nm);
}

void Session::UseWavelength(std::uint16_t nm) {
    if (zel_SelectWavelength(Instance(), nm) == 0) FailSelecting(zel_LastError(instance_), nm);
    wavelength_in_use_ = nm;
}

std::uint16_t Session::WavelengthInUse() { return wavelength_in_use_ ? *wavelength_in_use_ : DefaultWavelength(); }

void Session::FailSelecting(zel_error code, std::uint16_t nm) {
    const std::string what = "cannot select " + std::to_string(nm) + " nm";
    if (code != ZEL_ERR_NOT_FOUND) Fail(code, what);
    throw Failure(kExitUsage,
                  what + ": the unit is not calibrated for it (calibrated: " + JoinWavelengths(Wavelengths()) + ")");
}

std::string JoinWavelengths(const std::vector<WavelengthSlot>& slots) {
    std::string out;
    for (const auto& s : slots) out += (out.empty() ? "" : ", ") + std::to_string(s.nm);
    return out + " nm";
}

std::vector<std::uint8_t> ReadEeprom(Session& session, std::uint32_t address, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    session.CheckInstance(
        zel_ReadEEProm(session.Instance(), address, bytes.data(), length) != 0,
        "cannot read EEPROM bytes " + Hex(address, 4) + ".." + Hex(static_cast<unsigned>(address + length - 1), 4));
    return bytes;
}

void WriteEepromByte(Session& session, std::uint32_t address, std::uint8_t value) {
    session.CheckInstance(zel_WriteValueToEEProm(session.Instance(), static_cast<std::uint16_t>(address), value) != 0,
                          "cannot write EEPROM byte " + Hex(address, 4));
}

}  // namespace zelctl
