// The library as a host drives it, against a unit that answers with whatever the fuzz input says.
// The input picks a sequence of exported calls and their arguments on two table entries and two
// instances; the fake platform layer draws every connect, send and reply from the same input.
// Beyond the sanitizers, a run fails when a socket is used after it was closed or is still open
// once every unit has been disconnected.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "api/instance_table.h"
#include "fake_peer.h"
#include "zel_api.h"

namespace {

double AnyDouble(FuzzedDataProvider& in) {
    const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

std::string Address(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return in.ConsumeRandomLengthString(24);
        case 1:
            return "127.0.0.300";
        default:
            return "127.0.0.1";
    }
}

// Reads every traced byte, so that a length past the buffer shows under ASan.
void Trace(void* user, int direction, const std::uint8_t* bytes, std::size_t length) {
    if (direction != ZEL_FRAME_SENT && direction != ZEL_FRAME_RECEIVED) std::abort();
    auto* sum = static_cast<unsigned*>(user);
    for (std::size_t i = 0; i < length; ++i) *sum += bytes[i];
}

unsigned g_trace_sum = 0;

void TableCall(FuzzedDataProvider& in, std::uint8_t unit) {
    const auto ch = in.ConsumeIntegralInRange<std::uint16_t>(0, 9);
    std::uint16_t word = 0;
    double value = 0;
    double four[4] = {};
    std::uint16_t thirty[30] = {};
    std::int64_t serial = 0;
    std::int32_t flag = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 24)) {
        case 0:
            APIConnect(unit, Address(in).c_str());
            break;
        case 1:
            APIDisconnect(unit);
            break;
        case 2:
            word = in.ConsumeIntegral<std::uint16_t>();
            APIAccessBoardRegister(unit, in.ConsumeIntegral<std::uint8_t>(), ch, in.ConsumeIntegral<std::uint16_t>(),
                                   &word);
            break;
        case 3:
            APIReadBoardID(unit);
            break;
        case 4:
            APIReadSerialNumber(unit, &serial, &flag);
            break;
        case 5:
            APISetVOAAttenuation(unit, ch, in.ConsumeIntegral<std::int32_t>());
            break;
        case 6:
            APIReadVOAAttenuation(unit, ch, &word);
            break;
        case 7:
            APIReadOpticalPower(unit, ch, &word);
            break;
        case 8:
            APIReadTAPCalibration(unit, ch, &value);
            break;
        case 9:
            APIReadVOACalibration(unit, ch, four);
            break;
        case 10:
            for (double& c : four) c = AnyDouble(in);
            APIWriteVOACalibration(unit, ch, four);
            break;
        case 11:
            APIReadVOADefinedValues(unit, ch, thirty);
            break;
        case 12:
            for (auto& v : thirty) v = in.ConsumeIntegral<std::uint16_t>();
            APIWriteVOADefinedValues(unit, ch, thirty);
            break;
        case 13:
            APIReadDoubleValueFromEEProm(unit, in.ConsumeIntegral<std::uint16_t>(), &value);
            break;
        case 14:
            APIWriteDoubleValueToEEProm(unit, in.ConsumeIntegral<std::uint16_t>(), AnyDouble(in));
            break;
        case 15:
            APIMonitor(in.ConsumeBool() ? unit : in.ConsumeIntegral<std::int32_t>(), in.ConsumeIntegral<std::uint8_t>(),
                       in.ConsumeIntegral<std::uint8_t>(), &value);
            break;
        case 16:
            if (in.ConsumeBool()) {
                APIAddWavelength(unit, in.ConsumeIntegral<std::uint16_t>());
            } else {
                APISetWavelength(unit, in.ConsumeIntegral<std::uint16_t>());
            }
            break;
        case 17:
            APITempRead(unit, in.ConsumeIntegralInRange<std::int32_t>(-2, 17));
            break;
        case 18:
            if (in.ConsumeBool()) {
                APIReadTypeFromEEPROM(unit, &word);
            } else {
                APIWriteTypeToEEPROM(unit, in.ConsumeIntegralInRange<std::uint16_t>(0, 9));
            }
            break;
        case 19:
            APISwicthSelect_MEMS_1x4(unit, 0, in.ConsumeIntegral<std::uint16_t>());
            APIReadSwicthSelect_LBMM_1x4(unit, 0, &word);
            break;
        case 20:
            if (in.ConsumeBool()) {
                APIReadValueFromEEProm(unit, in.ConsumeIntegral<std::uint16_t>());
            } else {
                APIWriteValueToEEProm(unit, in.ConsumeIntegral<std::uint16_t>(), in.ConsumeIntegral<std::uint16_t>());
            }
            break;
        case 21:
            APIWriteStatusToEEProm(unit, in.ConsumeIntegral<std::uint16_t>(), in.ConsumeIntegral<std::uint16_t>(),
                                   AnyDouble(in));
            break;
        case 22:
            APIReadVOAInsertionLoss(unit, ch, &value);
            APIWriteUserRXCalibration(unit, ch, AnyDouble(in));
            break;
        case 23:
            APIReadBoardSN(unit);
            APIReadFirmwareRevision(unit);
            break;
        default:
            APISetDefaultWavelength(unit);
            break;
    }
    zel_ErrorText(APILastError(unit));
}

void InstanceCall(FuzzedDataProvider& in, zel_instance* inst) {
    const auto ch = in.ConsumeIntegralInRange<std::uint16_t>(0, 9);
    std::uint16_t word = 0;
    double value = 0;
    std::uint8_t byte = 0;
    std::int64_t serial = 0;
    std::int32_t flag = 0;
    static std::uint8_t eeprom[ZEL_EEPROM_SIZE + 0x100];
    std::uint16_t nm[7] = {};
    std::size_t count = 0;
    std::uint32_t address = 0, length = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 12: {
            // Ranges up to a little past the end of the EEPROM, which must be refused unsent.
            const auto at = in.ConsumeIntegralInRange<std::uint32_t>(0, ZEL_EEPROM_SIZE + 0x80);
            zel_ReadEEProm(inst, at, eeprom, in.ConsumeIntegralInRange<std::size_t>(0, sizeof eeprom));
            break;
        }
        case 13:
            zel_GetWavelengths(inst, nm, in.ConsumeIntegralInRange<std::size_t>(0, 7), &count);
            break;
        case 14:
            zel_GetRecordLocation(inst, in.ConsumeIntegralInRange<std::uint8_t>(0, 7), ch,
                                  in.ConsumeIntegralInRange<std::uint32_t>(0, 9), &address, &length);
            break;
        case 15:
            zel_GetChannelCount(inst, &byte);
            zel_ReadVOACode(inst, ch, &word);
            zel_SetVOACode(inst, ch, in.ConsumeIntegral<std::uint16_t>());
            break;
        case 0:
            zel_Connect(inst, Address(in).c_str());
            break;
        case 1:
            zel_Cancel(inst);  // with no call in flight: the calls after it run as if it had not come
            zel_Disconnect(inst);
            break;
        case 2:
            zel_SetVOAAttenuation(inst, ch, AnyDouble(in));
            break;
        case 3:
            zel_ReadVOAAttenuation(inst, ch, &value);
            break;
        case 4:
            zel_ReadOpticalPower(inst, ch, &value);
            break;
        case 5:
            zel_SelectWavelength(inst, in.ConsumeIntegral<std::uint16_t>());
            break;
        case 6:
            zel_TempRead(inst, in.ConsumeIntegralInRange<std::int32_t>(-2, 17));
            break;
        case 7:
            zel_ReadEEPromByte(inst, in.ConsumeIntegral<std::uint16_t>(), &byte);
            break;
        case 8:
            zel_SwitchSelect_MEMS_8x1(inst, 0, in.ConsumeIntegral<std::uint16_t>());
            zel_ReadSwitchSelect_MEMS_8x1(inst, 0, &word);
            break;
        case 9:
            zel_SwitchSelect_2x2(inst, ch, in.ConsumeIntegral<std::uint16_t>());
            zel_ReadSwitchSelect_2x2(inst, ch, &word);
            break;
        case 10:
            zel_ReadSerialNumber(inst, &serial, &flag);
            zel_ReadFirmwareRevision(inst);
            zel_ReadBoardID(inst);
            break;
        default:
            zel_ReadTypeFromEEPROM(inst, &word);
            zel_ScreenControl(inst, 0, in.ConsumeIntegral<std::uint8_t>());
            break;
    }
    zel_ErrorText(zel_LastError(inst));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    fakepeer::Begin(&in);
    // Fresh table entries each run, so that a failing input repeats on its own.
    for (int e = 0; e < 2; ++e) {
        ZEL_API* entry = zel::api::UnitEntry(e);
        entry->~ZEL_API();
        new (entry) ZEL_API();
    }
    zel_instance* inst[2] = {zel_createInstance(), zel_createInstance()};
    if (inst[0] == nullptr || inst[1] == nullptr) std::abort();
    APISetFrameTrace(0, Trace, &g_trace_sum);
    zel_SetFrameTrace(inst[0], Trace, &g_trace_sum);

    for (int step = 0; step < 48 && in.remaining_bytes() > 0; ++step) {
        const int who = in.ConsumeIntegralInRange<int>(0, 3);
        if (who < 2) {
            TableCall(in, static_cast<std::uint8_t>(who));
        } else {
            InstanceCall(in, inst[who - 2]);
        }
    }

    fakepeer::Begin(nullptr);
    APIDisconnect(0);
    APIDisconnect(1);
    APISetFrameTrace(0, nullptr, nullptr);
    zel_destroyInstance(inst[0]);
    zel_destroyInstance(inst[1]);
    if (fakepeer::OpenSockets() != 0) {
        std::fprintf(stderr, "%zu sockets still open after every unit was disconnected\n", fakepeer::OpenSockets());
        std::abort();
    }
    return 0;
}
