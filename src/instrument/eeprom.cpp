// Identity registers and the EEPROM: single bytes through the address and data registers, and the
// scaled and raw 8-byte records built on them.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "instrument/record_codec.h"
#include "instrument/zel_api_class.h"

namespace rec = zel::records;

namespace reg = zel::reg;

void ZEL_API::Settle(unsigned ms) {
    // A call whose link has failed sends nothing more: waiting for the unit would only delay
    // the failure. A cancel ends the pause and fails the call.
    if (ms != 0 && !link_.CallBroken()) link_.Pause(ms);
}

bool ZEL_API::WriteEepromByte(std::uint16_t select, std::uint16_t address, std::uint8_t byte) {
    // Without a confirmed address write the address register may still hold an earlier address:
    // a data write now would store the byte there.
    return WriteRegister(select, reg::kEepromAddress, address) && WriteRegister(select, reg::kEepromData, byte);
}

bool ZEL_API::ReadEepromByte(std::uint16_t select, std::uint16_t address, std::uint8_t& byte,
                             unsigned delay_between_ms) {
    bool ok = WriteRegister(select, reg::kEepromAddress, address);
    Settle(delay_between_ms);
    std::uint16_t word = 0;
    ok = ReadRegister(select, reg::kEepromData, word) && ok;
    byte = static_cast<std::uint8_t>(word);
    return ok;
}

bool ZEL_API::WriteEepromBytes(std::uint16_t select, std::uint16_t address, const std::uint8_t* bytes,
                               unsigned delay_after_ms) {
    bool ok = true;
    for (std::uint16_t i = 0; i < 8; ++i) {
        ok = WriteEepromByte(select, static_cast<std::uint16_t>(address + i), bytes[i]) && ok;
        Settle(delay_after_ms);
    }
    return ok;
}

bool ZEL_API::ReadEepromBytes(std::uint16_t address, std::uint8_t* bytes, unsigned delay_between_ms,
                              unsigned delay_after_ms) {
    bool ok = true;
    for (std::uint16_t i = 0; i < 8; ++i) {
        ok = ReadEepromByte(0, static_cast<std::uint16_t>(address + i), bytes[i], delay_between_ms) && ok;
        Settle(delay_after_ms);
    }
    return ok;
}

bool ZEL_API::ReadRecordBytes(std::uint16_t group, std::uint16_t record, std::uint8_t* bytes) {
    return ReadEepromBytes(rec::RecordAddress(group, record), bytes, 0, kSettleMs);
}

std::int32_t ZEL_API::ReadBoardSN() {
    std::uint16_t low = 0, high = 0;
    ReadRegister(0, reg::kSerialWord0, low);
    ReadRegister(0, reg::kSerialWord1, high);
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 16) | low);
}

std::uint8_t ZEL_API::ReadSerialNumber(std::int64_t* serial, std::int32_t* flag) {
    *serial = 0;
    std::uint16_t words[4] = {};
    bool ok = true;
    for (std::uint16_t i = 0; i < 4; ++i)
        ok = ReadRegister(0, static_cast<std::uint16_t>(reg::kSerialWord0 + i), words[i]) && ok;
    std::uint16_t check = 0;
    ok = ReadRegister(0, reg::kSerialCheck, check) && ok;
    if (check / 5 == words[3]) {
        *flag = 1;
        std::uint64_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 16) | words[i];
        *serial = static_cast<std::int64_t>(v);
    } else {
        // The 32-bit board serial, read again as ReadBoardSN reads it.
        *flag = 0;
        std::uint16_t low = 0, high = 0;
        ok = ReadRegister(0, reg::kSerialWord0, low) && ok;
        ok = ReadRegister(0, reg::kSerialWord1, high) && ok;
        *serial = static_cast<std::int32_t>((static_cast<std::uint32_t>(high) << 16) | low);
    }
    return ok ? 1 : 0;
}

std::uint8_t ZEL_API::WriteBoardSN(std::int32_t serial) {
    bool ok = WriteRegister(0, reg::kSerialWord0, static_cast<std::uint16_t>(serial));
    ok = WriteRegister(0, reg::kSerialWord1, static_cast<std::uint16_t>(serial >> 16)) && ok;
    return ok ? 1 : 0;
}

double ZEL_API::ReadFirmwareRevision() {
    std::uint16_t word = 0;
    ReadRegister(0, reg::kFirmwareRevision, word);
    return word / 10.0;
}

std::uint8_t ZEL_API::WriteTypeToEEPROM(std::uint16_t type) {
    std::uint8_t status =
        RecordStatus(WriteScaledRecord(0, zel::layout::kBoardTypeRecord, static_cast<double>(type)) != 0);
    if (status) AdoptBoardType(type);
    return status;
}

std::uint8_t ZEL_API::ReadTypeFromEEPROM(std::uint16_t* type) {
    double value = 0;
    const bool ok = ReadScaledRecord(0, zel::layout::kBoardTypeRecord, &value) != 0;
    return TakeBoardType(ok, value, type);
}

std::uint8_t ZEL_API::ReadBoardType(EepromItems items, std::uint16_t* type) {
    if (items == EepromItems::Settled) return ReadTypeFromEEPROM(type);
    // The record's eight bytes from one block, decoded as the byte-by-byte read decodes them.
    rec::Bytes8 bytes{};
    const bool ok = ReadEepromRange(rec::RecordAddress(0, zel::layout::kBoardTypeRecord), bytes.data(), bytes.size());
    return TakeBoardType(ok, rec::DecodeScaled(bytes), type);
}

std::uint8_t ZEL_API::TakeBoardType(bool ok, double value, std::uint16_t* type) {
    const std::uint8_t status = RecordStatus(ok);
    // Every decodable record lies well inside 64 bits; the guard only keeps the cast defined.
    const double whole = std::isfinite(value) ? std::trunc(value) : 0.0;
    *type = static_cast<std::uint16_t>(static_cast<std::int64_t>(whole));
    if (status) AdoptBoardType(*type);
    return status;
}

std::uint8_t ZEL_API::WriteValueToEEProm(std::uint16_t address, std::uint16_t value) {
    // As for every EEPROM byte: the data goes out only once the address is in place.
    return (WriteRegister(0, reg::kEepromAddress, address) && WriteRegister(0, reg::kEepromData, value)) ? 1 : 0;
}

std::uint8_t ZEL_API::ReadValueFromEEProm(std::uint16_t address) {
    return ReadEepromByte(0, address, eeprom_byte_) ? 1 : 0;
}

std::uint8_t ZEL_API::WriteScaledRecord(std::uint16_t group, std::uint16_t record, double value) {
    if (!rec::ScaledCanHold(value)) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    return WriteEepromBytes(0, rec::RecordAddress(group, record), rec::EncodeScaled(value).data(), kSettleMs) ? 1 : 0;
}

std::uint8_t ZEL_API::ReadScaledRecord(std::uint16_t group, std::uint16_t record, double* value) {
    rec::Bytes8 bytes{};
    const bool ok = ReadRecordBytes(group, record, bytes.data());
    *value = rec::DecodeScaled(bytes);
    return ok ? 1 : 0;
}

std::uint8_t ZEL_API::WriteSlotScaled(std::uint16_t channel, int offset, double value) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        return WriteScaledRecord(0, SlotRecord(offset + select), value) != 0;
    });
}

std::uint8_t ZEL_API::ReadSlotScaled(std::uint16_t channel, int offset, double* value) {
    return OnChannel(channel, Status::Recorded, [&](std::uint16_t select) {
        return ReadScaledRecord(0, SlotRecord(offset + select), value) != 0;
    });
}

std::uint8_t ZEL_API::WriteStatusToEEProm(std::uint16_t group, std::uint16_t record, double value) {
    return WriteEepromBytes(0, rec::RecordAddress(group, record), rec::EncodeRaw(value).data(), kSettleMs) ? 1 : 0;
}

std::uint8_t ZEL_API::ReadRawRecord(std::uint16_t group, std::uint16_t record, double* value) {
    rec::Bytes8 bytes{};
    const bool ok = ReadRecordBytes(group, record, bytes.data());
    *value = rec::DecodeRaw(bytes);
    return ok ? 1 : 0;
}

std::uint8_t ZEL_API::WriteDoubleValueToEEProm(std::uint16_t address, double value) {
    if (!rec::ScaledCanHold(value)) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    return WriteEepromBytes(0, address, rec::EncodeScaled(value).data(), kSettleMs) ? 1 : 0;
}

std::uint8_t ZEL_API::ReadDoubleValueFromEEProm(std::uint16_t address, double* value) {
    rec::Bytes8 bytes{};
    bool ok = ReadEepromBytes(address, bytes.data(), kSettleMs, kSettleMs);
    *value = rec::DecodeScaled(bytes);
    return ok ? 1 : 0;
}

std::uint8_t ZEL_API::WriteRawDoubleAtAddress(std::uint32_t address, double value) {
    // Addresses above 0xFFFF live in the second 64 KiB bank, reached on select 1.
    const std::uint16_t select = address > 0xFFFF ? 1 : 0;
    return WriteEepromBytes(select, static_cast<std::uint16_t>(address), rec::EncodeRaw(value).data(), 0) ? 1 : 0;
}

std::int32_t ZEL_API::ReadBlockWord(std::uint32_t address, std::uint16_t* word) {
    std::uint8_t block[zel::frame::kBlockSize];
    bool ok = link_.ReadBlock(0, address, block);
    *word = zel::codec::GetLE16(block);
    result_ = ok ? 1 : 0;
    return result_;
}

std::uint8_t ZEL_API::ReadEepromRange(std::uint32_t address, std::uint8_t* buffer, std::size_t length) {
    constexpr std::size_t kBlock = zel::frame::kBlockSize;
    if (address > kEepromSize || length > kEepromSize - address) {
        RecordError(ZEL_ERR_BAD_ARGUMENT);
        return 0;
    }
    // Staged so that a failure part-way leaves the host's buffer as it was.
    std::vector<std::uint8_t> staged(length);
    std::uint8_t block[kBlock];
    for (std::size_t done = 0; done < length; done += kBlock) {
        const auto at = static_cast<std::uint32_t>(address + done);
        // A block never runs past the end of the EEPROM: the last one starts early enough to end there.
        const std::uint32_t start = std::min<std::uint32_t>(at, kEepromSize - kBlock);
        if (!link_.ReadBlock(0, start, block)) return 0;
        std::memcpy(staged.data() + done, block + (at - start), std::min(kBlock, length - done));
    }
    if (length != 0) std::memcpy(buffer, staged.data(), length);
    return 1;
}
