// Exported instance forms of the unit-index operations, and what a host needs to know about its
// unit (channel count, wavelength table, calibration record locations) plus block EEPROM reads.
// The instance forms call the instance's virtual operations like the other instance exports; the
// rest call ordinary operations of the instance.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "api/forward.h"
#include "zel_api.h"

using zel::api::OnInstance;
using zel::api::Result::Value;

namespace {

using zel::api::kFailed;
using zel::api::kNoSerial;
constexpr std::uint16_t kMaxVOACode = 4095;

}  // namespace

extern "C" {

std::uint8_t zel_AccessBoardRegister(zel_instance* instance, std::uint8_t write, std::uint16_t channel,
                                     std::uint16_t address, std::uint16_t* value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(AccessBoardRegister), write, channel, address, value);
}
std::uint8_t zel_AccessRegisterBank(zel_instance* instance, std::uint8_t write, std::uint16_t select,
                                    std::uint16_t address, std::uint16_t* value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(AccessRegisterBank), write, select, address, value);
}
std::uint8_t zel_AddWavelength(zel_instance* instance, std::uint16_t wavelength) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(AddWavelength), wavelength);
}
std::uint8_t zel_Monitor(zel_instance* instance, std::uint8_t group, std::uint8_t record, double* value) {
    return OnInstance(
        instance, kFailed,
        [](ZEL_API& unit, std::uint8_t g, std::uint8_t r, double* v) -> std::uint8_t {
            return unit.Monitor(g, r, v) != 0 ? 1 : 0;
        },
        group, record, value);
}
std::uint8_t zel_Read4x1SwitchInsertionLoss(zel_instance* instance, std::uint16_t channel, double* loss) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(Read4x1SwitchInsertionLoss), channel, loss);
}
std::int32_t zel_ReadBoardSN(zel_instance* instance) {
    return OnInstance<Value>(instance, kNoSerial, ZEL_VIRTUAL(ReadBoardSN));
}
std::uint8_t zel_ReadDoubleValueFromEEProm(zel_instance* instance, std::uint16_t address, double* value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadDoubleValueFromEEProm), address, value);
}
std::uint8_t zel_ReadOpticalPowerCount(zel_instance* instance, std::uint16_t channel, std::uint16_t* count) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadOpticalPower), channel, count);
}
std::uint8_t zel_ReadTAPCalibration(zel_instance* instance, std::uint16_t channel, double* factor) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadTAPCalibration), channel, factor);
}
std::uint8_t zel_ReadUserRXCalibration(zel_instance* instance, std::uint16_t channel, double* value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadUserRXCalibration), channel, value);
}
std::uint8_t zel_ReadUserTXCalibration(zel_instance* instance, std::uint16_t channel, double* value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadUserTXCalibration), channel, value);
}
std::uint8_t zel_ReadVOACode(zel_instance* instance, std::uint16_t channel, std::uint16_t* code) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadVOAAttenuation), channel, code);
}
std::uint8_t zel_ReadVOACalibration(zel_instance* instance, std::uint16_t channel, double* coefficients) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadVOACalibration), channel, coefficients);
}
std::uint8_t zel_ReadVOADefinedValues(zel_instance* instance, std::uint16_t channel, std::uint16_t* values) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadVOADefinedValues), channel, values);
}
std::uint8_t zel_ReadVOAInsertionLoss(zel_instance* instance, std::uint16_t channel, double* loss) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadVOAInsertionLoss), channel, loss);
}
std::uint8_t zel_SetDefaultWavelength(zel_instance* instance) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SetDefaultWavelength));
}
std::uint8_t zel_SetVOACode(zel_instance* instance, std::uint16_t channel, std::uint16_t code) {
    return OnInstance(
        instance, kFailed,
        [](ZEL_API& unit, std::uint16_t ch, std::uint16_t c) -> std::uint8_t {
            // The unit takes 12 bits; a wider code would be cut to another setting.
            if (c > kMaxVOACode) {
                unit.RecordError(ZEL_ERR_BAD_ARGUMENT);
                return 0;
            }
            return unit.SetVOAAttenuation(ch, static_cast<std::int32_t>(c));
        },
        channel, code);
}
std::uint8_t zel_SetWavelength(zel_instance* instance, std::uint16_t wavelength) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(SetWavelength), wavelength);
}
std::uint8_t zel_Write4x1SwitchInsertionLoss(zel_instance* instance, std::uint16_t channel, double loss) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(Write4x1SwitchInsertionLoss), channel, loss);
}
std::uint8_t zel_WriteBoardSN(zel_instance* instance, std::int32_t serial) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteBoardSN), serial);
}
std::uint8_t zel_WriteDoubleValueToEEProm(zel_instance* instance, std::uint16_t address, double value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteDoubleValueToEEProm), address, value);
}
std::uint8_t zel_WriteStatusToEEProm(zel_instance* instance, std::uint16_t group, std::uint16_t record, double value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteStatusToEEProm), group, record, value);
}
std::uint8_t zel_WriteTAPCalibration(zel_instance* instance, std::uint16_t channel, double factor) {
    // Not one of the virtual operations: called on the instance directly.
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteTAPCalibration), channel, factor);
}
std::uint8_t zel_WriteTypeToEEPROM(zel_instance* instance, std::uint16_t type) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteTypeToEEPROM), type);
}
std::uint8_t zel_WriteUserRXCalibration(zel_instance* instance, std::uint16_t channel, double value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteUserRXCalibration), channel, value);
}
std::uint8_t zel_WriteUserTXCalibration(zel_instance* instance, std::uint16_t channel, double value) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteUserTXCalibration), channel, value);
}
std::uint8_t zel_WriteVOACalibration(zel_instance* instance, std::uint16_t channel, const double* coefficients) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteVOACalibration), channel, coefficients);
}
std::uint8_t zel_WriteVOADefinedValues(zel_instance* instance, std::uint16_t channel, const std::uint16_t* values) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteVOADefinedValues), channel, values);
}
std::uint8_t zel_WriteVOAInsertionLoss(zel_instance* instance, std::uint16_t channel, double loss) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(WriteVOAInsertionLoss), channel, loss);
}
std::uint8_t zel_WriteValueToEEProm(zel_instance* instance, std::uint16_t address, std::uint8_t value) {
    return OnInstance(
        instance, kFailed,
        [](ZEL_API& unit, std::uint16_t at, std::uint8_t byte) -> std::uint8_t {
            if (unit.WriteValueToEEProm(at, byte) == 0) return 0;
            // The EEPROM stores the byte after the data write; the next access waits for it here.
            return unit.Link().Pause(ZEL_API::kSettleMs) ? 1 : 0;
        },
        address, value);
}

// ---- unit knowledge and block reads ----

std::uint8_t zel_GetChannelCount(zel_instance* instance, std::uint8_t* count) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(GetChannelCount), count);
}

std::uint8_t zel_GetBoardType(zel_instance* instance, std::uint16_t* type) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(GetBoardType), type);
}

std::uint8_t zel_GetSwitchPorts(zel_instance* instance, std::uint8_t* two_by_two, std::uint8_t* mems,
                                std::uint8_t* lbmm) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(GetSwitchPorts), two_by_two, mems, lbmm);
}

std::uint8_t zel_GetWavelengths(zel_instance* instance, std::uint16_t* nm, std::size_t capacity, std::size_t* count) {
    return OnInstance(
        instance, kFailed,
        [](ZEL_API& unit, std::uint16_t* out, std::size_t room, std::size_t* used) -> std::uint8_t {
            *used = 0;
            std::vector<std::uint16_t> table;
            if (unit.WavelengthTable(table) == 0) return 0;
            *used = table.size();
            std::copy_n(table.begin(), std::min(room, table.size()), out);
            if (room < table.size()) {
                unit.RecordError(ZEL_ERR_BAD_ARGUMENT);
                return 0;
            }
            return 1;
        },
        nm, capacity, count);
}

std::uint8_t zel_ReadEEProm(zel_instance* instance, std::uint32_t address, std::uint8_t* buffer, std::size_t length) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(ReadEepromRange), address, buffer, length);
}

std::uint8_t zel_GetRecordLocation(zel_instance* instance, std::uint8_t slot, std::uint16_t channel, std::uint32_t item,
                                   std::uint32_t* address, std::uint32_t* length) {
    return OnInstance(instance, kFailed, ZEL_VIRTUAL(RecordLocation), slot, channel, item, address, length);
}

}  // extern "C"
