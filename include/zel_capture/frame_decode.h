// The unit's frames decoded for people: what a request asks (register read or write, its select,
// address and register name; a command's sub-command and block address) and what the reply says
// (the value read, the block's bytes), as fields and as one line of text. zelctl's capture
// viewer, the console's frame log and the simulator's replay log all print frames this way; the
// Wireshark dissector (zel.lua) names registers from the same table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zel::capture {

enum class FrameKind : std::uint8_t {
    RegisterRead,
    RegisterWrite,
    BlockRead,   // 128 bytes of EEPROM from a 32-bit address
    BlockWrite,  // 119 bytes of EEPROM to a 32-bit address
    PageRead,    // 1024-byte pages
    BytesRead,   // n bytes from a 16-bit address
    BytesWrite,  // n bytes to a 16-bit address
    Command,     // any other sub-command of a command frame
    Unknown,     // a first byte that is neither a register nor a command frame, or a short frame
};
inline constexpr int kFrameKinds = static_cast<int>(FrameKind::Unknown) + 1;

// "register read", "block read", ...: the kind as the stats and the dissector name it.
const char* KindName(FrameKind kind);

// The register names of the unit map (a register not in it has no name).
struct RegisterName {
    std::uint16_t address;
    const char* name;
};
std::span<const RegisterName> RegisterNames();
// The name of register `address` (on any select), or nullptr.
const char* NameOfRegister(std::uint16_t address);

// A request frame taken apart. Fields that do not belong to the frame's kind are zero.
struct Request {
    FrameKind kind = FrameKind::Unknown;
    std::uint8_t type = 0;  // byte 0: 0xF0 register frame, 0xF1 command frame
    // Register frames.
    bool write = false;
    std::uint16_t select = 0;
    std::uint16_t address = 0;
    std::uint16_t value = 0;  // written value (writes only)
    // Command frames.
    std::uint8_t sub = 0;
    std::uint8_t bank = 0;
    std::uint32_t block_address = 0;  // block frames: bytes 5..8; byte frames: bytes 4..5
    std::uint8_t count = 0;           // byte frames: byte count; page frames: page number
    // An access to the EEPROM data register after a write of the EEPROM address register on the
    // same select: the EEPROM byte address it reaches (the select's 64 KiB bank plus the address).
    bool eeprom = false;
    std::uint32_t eeprom_address = 0;
};

// The request frame `frame` (n bytes; a whole frame is 128) on its own, without what came before.
Request DecodeRequest(const std::uint8_t* frame, std::size_t n);

// How many bytes the simulated unit answers `request` with: a 1024-byte page for page reads, the
// byte count (at least one) for byte reads, otherwise 128 bytes. The dissector cuts the reply
// stream the same way.
std::size_t ExpectedReplyLength(const Request& request);

// The value a register read's reply carries (bytes 1 and 2), when the reply is long enough.
bool ReplyValue(const std::uint8_t* reply, std::size_t n, std::uint16_t& value);

// "read s0 r20 (board ID)", "write s0 r11 (EEPROM data) EEPROM[0x2008] = 0x12", "block read bank 0
// address 0x00002000", ...
std::string DescribeRequest(const Request& request);
// "0x0C35", "EEPROM[0x2008] = 0x12", "128 bytes: 00 01 ... ", ...: the reply to `request`.
std::string DescribeReply(const Request& request, const std::uint8_t* reply, std::size_t n);

// The requests of one conversation, in order: keeps the EEPROM address each select last wrote,
// so that a data register access names the EEPROM byte it reaches.
class ConversationDecoder {
public:
    Request Next(const std::uint8_t* frame, std::size_t n);

private:
    std::uint32_t eeprom_address_[2] = {};  // of selects 0 and 1, the two with an EEPROM bank
    bool eeprom_address_known_[2] = {};
};

}  // namespace zel::capture
