// The exported C functions. Each one forwards to one operation of ZEL_API: the unit-index
// family to a table entry (direct calls), the instance family through the virtual table.
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>

#include "api/forward.h"
#include "zel_api.h"

using zel::api::kFailed;
using zel::api::kNoBoardId;
using zel::api::kNoRecord;
using zel::api::kNoRevision;
using zel::api::kNoSerial;
using zel::api::kNoTemperature;
using zel::api::OnEntry;
using zel::api::OnInstance;
using zel::api::ToUnit;
using zel::api::Result::Value;

namespace {

// Connect takes the address as a text string of its own.
constexpr auto kConnectEntry = [](ZEL_API& unit, const char* ip) { return unit.ZEL_API::Connect(std::string(ip)); };
constexpr auto kConnectInstance = [](ZEL_API& unit, const char* ip) { return unit.Connect(std::string(ip)); };
constexpr auto kQuickConnect = [](ZEL_API& unit, const char* ip) { return unit.QuickConnect(std::string(ip)); };

}  // namespace

// A second export name for one function.
#if defined(_MSC_VER)
#define ZEL_SECOND_NAME(name, target) __pragma(comment(linker, "/EXPORT:" #name "=" #target))
#elif defined(__clang__)
#define ZEL_SECOND_NAME(name, target) extern "C" decltype(target) name __attribute__((alias(#target)));
#else
// GCC wants the alias to carry the target's attributes (the target is nothrow as a C function).
#define ZEL_SECOND_NAME(name, target) extern "C" decltype(target) name __attribute__((alias(#target), nothrow));
#endif

extern "C" {

// ---- unit-index family ----

std::uint8_t APIAccessBoardRegister(std::uint8_t unit, std::uint8_t write, std::uint16_t channel, std::uint16_t address,
                                    std::uint16_t* value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(AccessBoardRegister), write, channel, address, value);
}
std::uint8_t APIAddWavelength(std::uint8_t unit, std::uint16_t wavelength) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(AddWavelength), wavelength);
}
std::uint8_t APIConnect(std::uint8_t unit, const char* ip) { return OnEntry(unit, kFailed, kConnectEntry, ip); }
std::uint8_t APIDisconnect(std::uint8_t unit) { return OnEntry(unit, kFailed, ZEL_DIRECT(Disconnect)); }
std::int32_t APIMonitor(std::int32_t unit, std::uint8_t group, std::uint8_t record, double* value) {
    return OnEntry(unit, kNoRecord, ZEL_DIRECT(Monitor), group, record, value);
}
std::uint8_t APIRead4x1SwitchInsertionLoss(std::uint8_t unit, std::uint16_t channel, double* loss) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(Read4x1SwitchInsertionLoss), channel, loss);
}
std::uint32_t APIReadBoardID(std::uint8_t unit) { return OnEntry<Value>(unit, kNoBoardId, ZEL_DIRECT(ReadBoardID)); }
std::int32_t APIReadBoardSN(std::uint8_t unit) { return OnEntry<Value>(unit, kNoSerial, ZEL_DIRECT(ReadBoardSN)); }
std::uint8_t APIReadDoubleValueFromEEProm(std::uint8_t unit, std::uint16_t address, double* value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadDoubleValueFromEEProm), address, value);
}
double APIReadFirmwareRevision(std::uint8_t unit) {
    return OnEntry<Value>(unit, kNoRevision, ZEL_DIRECT(ReadFirmwareRevision));
}
std::uint8_t APIReadOpticalPower(std::uint8_t unit, std::uint16_t channel, std::uint16_t* power) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadOpticalPower), channel, power);
}
std::uint8_t APIReadSerialNumber(std::uint8_t unit, std::int64_t* serial, std::int32_t* flag) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadSerialNumber), serial, flag);
}
std::uint8_t APIReadSwicthSelect_2x2(std::uint8_t unit, std::uint16_t channel, std::uint16_t* position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadSwitchSelect_2x2), channel, position);
}
std::uint8_t APIReadSwicthSelect_LBMM_1x4(std::uint8_t unit, std::uint16_t ignored, std::uint16_t* position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadSwitchSelect_LBMM), ignored, position);
}
std::uint8_t APIReadSwicthSelect_MEMS_1x4(std::uint8_t unit, std::uint16_t ignored, std::uint16_t* position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadSwitchSelect_MEMS), ignored, position);
}
std::uint8_t APIReadTAPCalibration(std::uint8_t unit, std::uint16_t channel, double* factor) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadTAPCalibration), channel, factor);
}
std::uint8_t APIReadTypeFromEEPROM(std::uint8_t unit, std::uint16_t* type) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadTypeFromEEPROM), type);
}
std::uint8_t APIReadUserRXCalibration(std::uint8_t unit, std::uint16_t channel, double* value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadUserRXCalibration), channel, value);
}
std::uint8_t APIReadUserTXCalibration(std::uint8_t unit, std::uint16_t channel, double* value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadUserTXCalibration), channel, value);
}
std::uint8_t APIReadVOAAttenuation(std::uint8_t unit, std::uint16_t channel, std::uint16_t* code) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadVOAAttenuation), channel, code);
}
std::uint8_t APIReadVOACalibration(std::uint8_t unit, std::uint16_t channel, double* coefficients) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadVOACalibration), channel, coefficients);
}
std::uint8_t APIReadVOADefinedValues(std::uint8_t unit, std::uint16_t channel, std::uint16_t* values) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadVOADefinedValues), channel, values);
}
std::uint8_t APIReadVOAInsertionLoss(std::uint8_t unit, std::uint16_t channel, double* loss) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadVOAInsertionLoss), channel, loss);
}
std::uint8_t APIReadValueFromEEProm(std::uint8_t unit, std::uint16_t address) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ReadValueFromEEProm), address);
}
std::uint8_t APIScreenControl(std::uint8_t unit, std::uint16_t ignored, std::uint8_t control) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(ScreenControl), ignored, control);
}
std::uint8_t APISetDefaultWavelength(std::uint8_t unit) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SetDefaultWavelength));
}
std::uint8_t APISetVOAAttenuation(std::uint8_t unit, std::uint16_t channel, std::int32_t code) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SetVOAAttenuation), channel, code);
}
std::uint8_t APISetWavelength(std::uint8_t unit, std::uint16_t wavelength) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SetWavelength), wavelength);
}
std::uint8_t APISwicthSelect_2x2(std::uint8_t unit, std::uint16_t channel, std::uint16_t position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SwitchSelect_2x2), channel, position);
}
std::uint8_t APISwicthSelect_LBMM_1x4(std::uint8_t unit, std::uint16_t ignored, std::uint16_t position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SwitchSelect_LBMM), ignored, position);
}
std::uint8_t APISwicthSelect_MEMS_1x4(std::uint8_t unit, std::uint16_t ignored, std::uint16_t position) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(SwitchSelect_MEMS), ignored, position);
}
double APITempRead(std::uint8_t unit, std::int32_t select) {
    return OnEntry<Value>(unit, kNoTemperature, ZEL_DIRECT(TempRead), select);
}
std::uint8_t APIWrite4x1SwitchInsertionLoss(std::uint8_t unit, std::uint16_t channel, double loss) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(Write4x1SwitchInsertionLoss), channel, loss);
}
std::uint8_t APIWriteBoardSN(std::uint8_t unit, std::int32_t serial) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteBoardSN), serial);
}
std::uint8_t APIWriteDoubleValueToEEProm(std::uint8_t unit, std::uint16_t address, double value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteDoubleValueToEEProm), address, value);
}
std::uint8_t APIWriteStatusToEEProm(std::uint8_t unit, std::uint16_t group, std::uint16_t record, double value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteStatusToEEProm), group, record, value);
}
std::uint8_t APIWriteTAPCalibration(std::uint8_t unit, std::uint16_t channel, double factor) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteTAPCalibration), channel, factor);
}
std::uint8_t APIWriteTypeToEEPROM(std::uint8_t unit, std::uint16_t type) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteTypeToEEPROM), type);
}
std::uint8_t APIWriteUserRXCalibration(std::uint8_t unit, std::uint16_t channel, double value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteUserRXCalibration), channel, value);
}
std::uint8_t APIWriteUserTXCalibration(std::uint8_t unit, std::uint16_t channel, double value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteUserTXCalibration), channel, value);
}
std::uint8_t APIWriteVOACalibration(std::uint8_t unit, std::uint16_t channel, const double* coefficients) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteVOACalibration), channel, coefficients);
}
std::uint8_t APIWriteVOADefinedValues(std::uint8_t unit, std::uint16_t channel, const std::uint16_t* values) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteVOADefinedValues), channel, values);
}
std::uint8_t APIWriteVOAInsertionLoss(std::uint8_t unit, std::uint16_t channel, double loss) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteVOAInsertionLoss), channel, loss);
}
std::uint8_t APIWriteValueToEEProm(std::uint8_t unit, std::uint16_t address, std::uint16_t value) {
    return OnEntry(unit, kFailed, ZEL_DIRECT(WriteValueToEEProm), address, value);
}

// ---- instance family ----

double APIGetAPIRev(zel_instance* instance) {
    // The revision belongs to the library rather than to a unit, so a null instance hears it too.
    if (instance == nullptr) return zel::api::UnitEntry(0)->ZEL_API::GetAPIRev();
    return OnInstance<Value>(instance, kNoRevision, ZEL_VIRTUAL(GetAPIRev));
}

zel_instance* zel_createInstance(void) {
    static_assert(alignof(ZEL_API) <= alignof(std::max_align_t), "calloc storage must suit ZEL_API");
    void* storage = std::calloc(1, sizeof(ZEL_API));
    if (storage == nullptr) return nullptr;
    try {
        return reinterpret_cast<zel_instance*>(new (storage) ZEL_API());
    } catch (...) {
        std::free(storage);
        return nullptr;
    }
}

std::uint8_t zel_Connect(zel_instance* instance, const char* ip) {
    return OnInstance(instance, kFailed, kConnectInstance, ip);
}
std::uint8_t zel_QuickConnect(zel_instance* instance, const char* ip) {
    return OnInstance(instance, kFailed, kQuickConnect, ip);
}
std::uint8_t zel_Disconnect(zel_instance* instance) { return OnInstance(instance, kFailed, ZEL_VIRTUAL(Disconnect)); }
std::uint32_t zel_ReadBoardID(zel_instance* instance) {
    return OnInstance<Value>(instance, kNoBoardId, ZEL_VIRTUAL(ReadBoardID));
}
double zel_ReadFirmwareRevision(zel_instance* instance) {
    return OnInstance<Value>(instance, kNoRevision, ZEL_VIRTUAL(ReadFirmwareRevision));
}
std::uint8_t zel_ReadOpticalPower(zel_instance* instance, std::uint16_t channel, double* power) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadOpticalPower), channel, power);
}
std::uint8_t zel_ReadSerialNumber(zel_instance* instance, std::int64_t* serial, std::int32_t* flag) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadSerialNumber), serial, flag);
}
std::uint8_t zel_ReadSwitchSelect_2x2(zel_instance* instance, std::uint16_t channel, std::uint16_t* position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadSwitchSelect_2x2), channel, position);
}
std::uint8_t zel_ReadSwitchSelect_LBMM_4x1(zel_instance* instance, std::uint16_t ignored, std::uint16_t* position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadSwitchSelect_LBMM), ignored, position);
}
std::uint8_t zel_ReadSwitchSelect_MEMS_4x1(zel_instance* instance, std::uint16_t ignored, std::uint16_t* position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadSwitchSelect_MEMS), ignored, position);
}
std::uint8_t zel_ReadTypeFromEEPROM(zel_instance* instance, std::uint16_t* type) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadTypeFromEEPROM), type);
}
std::uint8_t zel_ReadVOAAttenuation(zel_instance* instance, std::uint16_t channel, double* db) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadVOAAttenuation), channel, db);
}
std::uint8_t zel_ScreenControl(zel_instance* instance, std::uint16_t ignored, std::uint8_t control) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ScreenControl), ignored, control);
}
std::uint8_t zel_SetVOAAttenuation(zel_instance* instance, std::uint16_t channel, double db) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SetVOAAttenuation), channel, db);
}
std::uint8_t zel_SwitchSelect_2x2(zel_instance* instance, std::uint16_t channel, std::uint16_t position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SwitchSelect_2x2), channel, position);
}
std::uint8_t zel_SwitchSelect_LBMM_4x1(zel_instance* instance, std::uint16_t ignored, std::uint16_t position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SwitchSelect_LBMM), ignored, position);
}
std::uint8_t zel_SwitchSelect_MEMS_4x1(zel_instance* instance, std::uint16_t ignored, std::uint16_t position) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SwitchSelect_MEMS), ignored, position);
}
double zel_TempRead(zel_instance* instance, std::int32_t select) {
    return OnInstance<Value>(instance, kNoTemperature, ZEL_VIRTUAL(TempRead), select);
}

}  // extern "C"

// The 8-port names of the selector switch functions are the 4-port functions.
ZEL_SECOND_NAME(zel_ReadSwitchSelect_LBMM_8x1, zel_ReadSwitchSelect_LBMM_4x1)
ZEL_SECOND_NAME(zel_ReadSwitchSelect_MEMS_8x1, zel_ReadSwitchSelect_MEMS_4x1)
ZEL_SECOND_NAME(zel_SwitchSelect_LBMM_8x1, zel_SwitchSelect_LBMM_4x1)
ZEL_SECOND_NAME(zel_SwitchSelect_MEMS_8x1, zel_SwitchSelect_MEMS_4x1)
