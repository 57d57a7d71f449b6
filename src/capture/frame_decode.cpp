#include "zel_capture/frame_decode.h"

#include <algorithm>
#include <cstdio>

#include "instrument/unit_map.h"
#include "transport/frame_codec.h"

namespace zel::capture {

namespace fr = zel::frame;

namespace {

// The names the unit map gives its registers. zel.lua carries the same table (a test holds them together).
constexpr RegisterName kRegisterNames[] = {
    {reg::kFirmwareRevision, "firmware revision"},
    {reg::kEepromAddress, "EEPROM address"},
    {reg::kEepromData, "EEPROM data"},
    {reg::kTemperature, "temperature"},
    {reg::kBoardID, "board ID"},
    {reg::kSerialWord0, "serial word 0"},
    {reg::kSerialWord1, "serial word 1"},
    {reg::kSerialWord2, "serial word 2"},
    {reg::kSerialWord3, "serial word 3"},
    {reg::kSerialCheck, "serial check"},
    {reg::kSwitch2x2, "2x2 switch"},
    {reg::kSwitchMEMS, "MEMS switch"},
    {reg::kSwitchLBMM, "LBMM switch"},
    {reg::kOpticalPower, "optical power"},
    {reg::kVOACode, "VOA code"},
    {reg::kScreenControl, "screen control"},
};

// The EEPROM's two 64 KiB banks: select 0 reaches the first, select 1 the second.
constexpr std::uint32_t kEepromBank = 0x10000;
constexpr std::uint16_t kEepromSelects = 2;
constexpr std::size_t kBytesShown = 16;  // of a long reply, in the one-line text

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string EepromByte(std::uint32_t address, std::uint8_t byte) {
    return "EEPROM[" + Hex(address, 4) + "] = " + Hex(byte, 2);
}

std::string Bytes(const std::uint8_t* data, std::size_t n) {
    std::string text = std::to_string(n) + (n == 1 ? " byte:" : " bytes:");
    char hex[4];
    for (std::size_t i = 0; i < std::min(n, kBytesShown); ++i) {
        std::snprintf(hex, sizeof hex, " %02X", data[i]);
        text += hex;
    }
    if (n > kBytesShown) text += " ...";
    return text;
}

std::string RegisterText(const Request& r) {
    std::string text =
        std::string(r.write ? "write" : "read") + " s" + std::to_string(r.select) + " r" + std::to_string(r.address);
    if (const char* name = NameOfRegister(r.address)) text += std::string(" (") + name + ")";
    if (r.eeprom) {
        text += " EEPROM[" + Hex(r.eeprom_address, 4) + "]";
        if (r.write) text += " = " + Hex(r.value & 0xFFu, 2);
    } else if (r.write) {
        text += " = " + Hex(r.value, 4);
    }
    return text;
}

}  // namespace

const char* KindName(FrameKind kind) {
    switch (kind) {
        case FrameKind::RegisterRead:
            return "register read";
        case FrameKind::RegisterWrite:
            return "register write";
        case FrameKind::BlockRead:
            return "block read";
        case FrameKind::BlockWrite:
            return "block write";
        case FrameKind::PageRead:
            return "page read";
        case FrameKind::BytesRead:
            return "bytes read";
        case FrameKind::BytesWrite:
            return "bytes write";
        case FrameKind::Command:
            return "command";
        case FrameKind::Unknown:
            break;
    }
    return "unknown";
}

std::span<const RegisterName> RegisterNames() { return kRegisterNames; }

const char* NameOfRegister(std::uint16_t address) {
    for (const RegisterName& r : kRegisterNames)
        if (r.address == address) return r.name;
    return nullptr;
}

Request DecodeRequest(const std::uint8_t* frame, std::size_t n) {
    Request r;
    if (n == 0) return r;
    r.type = frame[fr::kType];
    if (n < fr::kRequestSize) return r;
    if (r.type == fr::kRegisterFrame) {
        const std::uint16_t control = zel::codec::GetLE16(frame + fr::kControlWord);
        r.write = (control & 0x8000u) != 0;
        r.select = static_cast<std::uint16_t>((control >> 11) & 0xFu);
        r.address = static_cast<std::uint16_t>(control & 0x7FFu);
        if (r.write) r.value = zel::codec::GetLE16(frame + fr::kValue);
        r.kind = r.write ? FrameKind::RegisterWrite : FrameKind::RegisterRead;
        return r;
    }
    if (r.type != fr::kCommandFrame) return r;
    r.sub = frame[fr::kSubCommand];
    const bool read = frame[fr::kBlockDirection] == 0x01;
    switch (r.sub) {
        case fr::kSubBlock:
            r.kind = read ? FrameKind::BlockRead : FrameKind::BlockWrite;
            r.bank = frame[fr::kBlockBank];
            r.block_address = zel::codec::GetLE32(frame + fr::kBlockAddress);
            break;
        case fr::kSubPages:
            r.kind = FrameKind::PageRead;
            r.bank = frame[2];
            r.count = frame[3];
            break;
        case fr::kSubBytes:
            r.kind = read ? FrameKind::BytesRead : FrameKind::BytesWrite;
            r.count = frame[3];
            r.block_address = zel::codec::GetLE16(frame + 4);
            break;
        default:
            r.kind = FrameKind::Command;
            break;
    }
    return r;
}

std::size_t ExpectedReplyLength(const Request& request) {
    switch (request.kind) {
        case FrameKind::PageRead:
            return fr::kPageSize;
        case FrameKind::BytesRead:
            return std::max<std::size_t>(request.count, 1);
        default:
            return fr::kRequestSize;
    }
}

bool ReplyValue(const std::uint8_t* reply, std::size_t n, std::uint16_t& value) {
    if (n < fr::kRegisterReplyNeeded) return false;
    value = zel::codec::GetLE16(reply + fr::kReplyValue);
    return true;
}

std::string DescribeRequest(const Request& r) {
    switch (r.kind) {
        case FrameKind::RegisterRead:
        case FrameKind::RegisterWrite:
            return RegisterText(r);
        case FrameKind::BlockRead:
        case FrameKind::BlockWrite:
            return std::string(KindName(r.kind)) + " bank " + std::to_string(r.bank) + " address " +
                   Hex(r.block_address, 8);
        case FrameKind::PageRead:
            return "page read bank " + std::to_string(r.bank) + " page " + std::to_string(r.count);
        case FrameKind::BytesRead:
        case FrameKind::BytesWrite:
            return std::string(KindName(r.kind)) + " " + std::to_string(r.count) + " at " + Hex(r.block_address, 4);
        case FrameKind::Command:
            return "command " + Hex(r.sub, 2);
        case FrameKind::Unknown:
            break;
    }
    return "unknown frame, first byte " + Hex(r.type, 2);
}

std::string DescribeReply(const Request& r, const std::uint8_t* reply, std::size_t n) {
    if (n == 0) return "no reply";
    std::uint16_t value = 0;
    switch (r.kind) {
        case FrameKind::RegisterRead:
        case FrameKind::RegisterWrite:
            if (!ReplyValue(reply, n, value)) return "short reply, " + Bytes(reply, n);
            if (r.eeprom) return EepromByte(r.eeprom_address, static_cast<std::uint8_t>(value));
            return "-> " + Hex(value, 4);
        case FrameKind::BlockRead:
            return "block " + Hex(r.block_address, 8) + ", " + Bytes(reply, n);
        case FrameKind::PageRead:
        case FrameKind::BytesRead:
            return Bytes(reply, n);
        default:
            break;
    }
    if (n >= 3 && reply[0] == fr::kCommandFrame)
        return "command " + Hex(reply[1], 2) + " status " + Hex(reply[2], 2) + (reply[2] == 0 ? " (done)" : "");
    return Bytes(reply, n);
}

Request ConversationDecoder::Next(const std::uint8_t* frame, std::size_t n) {
    Request r = DecodeRequest(frame, n);
    const bool is_register = r.kind == FrameKind::RegisterRead || r.kind == FrameKind::RegisterWrite;
    if (!is_register || r.select >= kEepromSelects) return r;
    if (r.address == reg::kEepromAddress && r.write) {
        eeprom_address_[r.select] = r.value;
        eeprom_address_known_[r.select] = true;
    } else if (r.address == reg::kEepromData && eeprom_address_known_[r.select]) {
        r.eeprom = true;
        r.eeprom_address = r.select * kEepromBank + eeprom_address_[r.select];
    }
    return r;
}

}  // namespace zel::capture
