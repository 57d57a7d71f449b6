// Frame decoding of the unit: a 128-byte request frame in, the reply bytes out.
#include <algorithm>
#include <cstdio>

#include "eeprom_store.h"
#include "log.h"
#include "zelsim/model.h"

namespace zelsim {

namespace {

constexpr std::uint8_t kRegisterFrame = 0xF0;
constexpr std::uint8_t kCommandFrame = 0xF1;
constexpr std::size_t kPageSize = 1024;
constexpr std::size_t kBlockPayload = 119;  // frame bytes 9..127

// Command reply (everything but the reads): byte 0 = 0xF1, byte 1 = sub-command, byte 2 = status.
constexpr std::uint8_t kCmdDone = 0x00;
constexpr std::uint8_t kCmdUnknown = 0x01;

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

}  // namespace

void UnitModel::Handle(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply) {
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

void UnitModel::HandleRegister(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply) {
    const unsigned control = frame[4] | unsigned{frame[5]} << 8;
    const bool write = (control & 0x8000) != 0;
    const unsigned select = (control >> 11) & 0xF;
    const unsigned address = control & 0x7FF;
    std::uint16_t value;
    if (write) {
        const std::uint16_t in = static_cast<std::uint16_t>(frame[6] | frame[7] << 8);
        value = WriteLocked(select, address, in);
        if (Logging()) {
            if (address == reg::kEepromData && HasEepromBank(select)) {
                Log(Format("W s%u r%u [0x%05X] = 0x%02X", select, address, EepromDataAddressLocked(select), value));
            } else {
                Log(Format("W s%u r%u = 0x%04X -> 0x%04X", select, address, in, value));
            }
        }
    } else {
        value = ReadLocked(select, address);
        if (Logging()) {
            if (address == reg::kEepromData && HasEepromBank(select)) {
                Log(Format("R s%u r%u [0x%05X] -> 0x%02X", select, address, EepromDataAddressLocked(select), value));
            } else {
                Log(Format("R s%u r%u -> 0x%04X", select, address, value));
            }
        }
    }
    reply.assign(kFrameSize, 0);
    reply[0] = kRegisterFrame;
    reply[1] = static_cast<std::uint8_t>(value);
    reply[2] = static_cast<std::uint8_t>(value >> 8);
}

void UnitModel::HandleCommand(const std::uint8_t (&frame)[kFrameSize], std::vector<std::uint8_t>& reply) {
    const std::uint8_t sub = frame[1];
    auto ack = [&](std::uint8_t status) {
        reply.assign(kFrameSize, 0);
        reply[0] = kCommandFrame;
        reply[1] = sub;
        reply[2] = status;
    };
    auto copy_out = [&](std::uint32_t from, std::size_t n) {
        reply.resize(n);
        for (std::size_t i = 0; i < n; ++i) reply[i] = eeprom_->Byte(static_cast<std::uint32_t>(from + i));
    };
    // Byte 2 gives the direction: 1 = read `read_len` bytes, 0 = store `write_len` bytes from frame byte 9.
    auto transfer = [&](const char* what, std::uint32_t address, std::size_t read_len, std::size_t write_len) {
        if (frame[2] == 0x01) {
            copy_out(address, read_len);
            if (Logging()) Log(Format("%s read 0x%05X, %zu bytes", what, address, read_len));
        } else if (frame[2] == 0x00) {
            eeprom_->Store(address, &frame[9], write_len);
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
            const std::uint32_t address =
                ((frame[2] & 1u) * kEepromBankSize + std::uint32_t{frame[3]} * kPageSize) % kEepromSize;
            copy_out(address, kPageSize);
            if (Logging()) Log(Format("page read bank %u page %u (0x%05X)", frame[2] & 1u, frame[3], address));
            return;
        }
        case 0x06:  // n = byte 3 bytes at the select-0 EEPROM address byte 4 | byte 5 << 8
            transfer("byte", frame[4] | std::uint32_t{frame[5]} << 8,
                     std::max<std::size_t>(frame[3], 1),  // never an empty reply
                     std::min<std::size_t>(frame[3], kBlockPayload));
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

}  // namespace zelsim
