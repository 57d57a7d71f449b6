// Exported extras: instance release, the reason of the last failure, EEPROM byte read-back,
// frame tracing and capture, the link time-out, link reopening, cancelling a call and wavelength
// selection for instances.
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "api/forward.h"
#include "zel_api.h"

using zel::api::OnInstance;
using zel::api::ToUnit;

static_assert(std::is_same_v<zel_frame_trace_fn, FrameTraceFn>, "the host's trace callback is the link's");

extern "C" {

void zel_destroyInstance(zel_instance* instance) {
    if (instance == nullptr) return;
    ZEL_API* unit = ToUnit(instance);
    if (zel::api::refused_unit == unit) zel::api::refused_unit = nullptr;
    unit->~ZEL_API();  // closes the link
    std::free(unit);
}

zel_error zel_LastError(zel_instance* instance) {
    return instance == nullptr ? ZEL_ERR_BAD_ARGUMENT : zel::api::LastErrorSeenBy(*ToUnit(instance));
}

zel_error APILastError(std::uint8_t unit) {
    const ZEL_API* entry = zel::api::UnitEntry(unit);
    return entry == nullptr ? ZEL_ERR_BAD_UNIT_INDEX : zel::api::LastErrorSeenBy(*entry);
}

namespace {
constexpr auto kSetTimeout = [](ZEL_API& unit, std::uint32_t milliseconds) -> std::uint8_t {
    unit.Link().SetTimeout(milliseconds);
    return 1;
};

// The trace hook is the link's, read by the call in flight: it changes only between calls, and it
// leaves the last error as it was.
std::uint8_t SetFrameTraceOf(ZEL_API* unit, zel_frame_trace_fn callback, void* user) {
    return zel::api::InCall(unit, std::uint8_t{0}, [&]() -> std::uint8_t {
        unit->SetFrameTrace(callback, user);
        return 1;
    });
}
}  // namespace

std::uint8_t zel_SetTimeout(zel_instance* instance, std::uint32_t milliseconds) {
    return OnInstance(instance, std::uint8_t{0}, kSetTimeout, milliseconds);
}

std::uint8_t APISetTimeout(std::uint8_t unit, std::uint32_t milliseconds) {
    return zel::api::OnEntry(unit, std::uint8_t{0}, kSetTimeout, milliseconds);
}

std::uint8_t zel_GetLinkReopens(zel_instance* instance, std::uint32_t* count) {
    return OnInstance(
        instance, std::uint8_t{0},
        [](ZEL_API& unit, std::uint32_t* out) -> std::uint8_t {
            *out = unit.Link().Reopens();
            return 1;
        },
        count);
}

std::uint8_t zel_SetAutoReopen(zel_instance* instance, std::uint8_t on) {
    return OnInstance(
        instance, std::uint8_t{0},
        [](ZEL_API& unit, std::uint8_t value) -> std::uint8_t {
            unit.Link().SetAutoReopen(value != 0);
            return 1;
        },
        on);
}

// No call scope: the cancel reaches the thread inside the call, from any thread or a signal
// handler, and takes no lock.
std::uint8_t zel_Cancel(zel_instance* instance) {
    if (instance == nullptr) return 0;
    ToUnit(instance)->Link().Cancel();
    return 1;
}

const char* zel_ErrorText(zel_error code) {
    // A host may pass any integer here. Reading a value outside the enumerators as zel_error is
    // undefined in C++, so the parameter's bytes are read as its underlying integer instead.
    std::underlying_type_t<zel_error> value;
    static_assert(sizeof value == sizeof code, "an enum is stored as its underlying type");
    std::memcpy(&value, &code, sizeof value);
    switch (value) {
        case ZEL_OK:
            return "no error";
        case ZEL_ERR_NOT_CONNECTED:
            return "no link is open to the unit";
        case ZEL_ERR_BAD_ADDRESS:
            return "the IP address is not an IPv4 dotted quad";
        case ZEL_ERR_CONNECTION_REFUSED:
            return "the unit refused the connection";
        case ZEL_ERR_CONNECT_FAILED:
            return "the connection to the unit could not be made";
        case ZEL_ERR_TIMEOUT:
            return "the unit did not answer in time";
        case ZEL_ERR_PEER_CLOSED:
            return "the unit closed the link";
        case ZEL_ERR_SHORT_REPLY:
            return "the unit's reply was too short";
        case ZEL_ERR_SEND_FAILED:
            return "the request could not be sent whole";
        case ZEL_ERR_SOCKET:
            return "the operating system refused a socket operation";
        case ZEL_ERR_NO_SUCH_CHANNEL:
            return "the board has no such channel";
        case ZEL_ERR_BAD_ARGUMENT:
            return "a null pointer or an argument out of range";
        case ZEL_ERR_BAD_UNIT_INDEX:
            return "the unit index is not 0 to 31";
        case ZEL_ERR_NOT_FOUND:
            return "the wavelength or VOA setting was not found";
        case ZEL_ERR_TABLE_FULL:
            return "all six wavelength slots are in use";
        case ZEL_ERR_INTERNAL:
            return "internal error in the library";
        case ZEL_ERR_NOT_CALIBRATED:
            return "the channel is not calibrated at this wavelength";
        case ZEL_ERR_BUSY:
            return "another call on this unit is in progress";
        case ZEL_ERR_BAD_REPLY:
            return "the unit's reply did not answer the request";
        case ZEL_ERR_OVER_RANGE:
            return "the optical power is above the detector's range";
        case ZEL_ERR_CANCELLED:
            return "the call was cancelled";
        case ZEL_ERR_CAPTURE:
            return "the capture file cannot be written";
    }
    return "unknown error";
}

std::uint8_t zel_ReadEEPromByte(zel_instance* instance, std::uint16_t address, std::uint8_t* byte) {
    return OnInstance(
        instance, std::uint8_t{0},
        [](ZEL_API& unit, std::uint16_t at, std::uint8_t* out) {
            const std::uint8_t status = unit.ReadValueFromEEProm(at);
            *out = unit.LastEepromByte();
            return status;
        },
        address, byte);
}

std::uint8_t zel_SetFrameTrace(zel_instance* instance, zel_frame_trace_fn callback, void* user) {
    return SetFrameTraceOf(ToUnit(instance), callback, user);
}

std::uint8_t APISetFrameTrace(std::uint8_t unit, zel_frame_trace_fn callback, void* user) {
    return SetFrameTraceOf(zel::api::UnitEntry(unit), callback, user);
}

std::uint8_t zel_StartCapture(zel_instance* instance, const char* path) {
    return OnInstance(
        instance, std::uint8_t{0}, [](ZEL_API& unit, const char* file) { return unit.StartCapture(file); }, path);
}

std::uint8_t zel_StopCapture(zel_instance* instance) {
    return OnInstance(instance, std::uint8_t{0}, [](ZEL_API& unit) { return unit.StopCapture(); });
}

std::uint8_t zel_SelectWavelength(zel_instance* instance, std::uint16_t wavelength) {
    return OnInstance(
        instance, std::uint8_t{0},
        [](ZEL_API& unit, std::uint16_t nm) -> std::uint8_t {
            if (unit.SetWavelength(nm) == 0) return 0;
            return unit.LoadCalibrations();
        },
        wavelength);
}

}  // extern "C"
