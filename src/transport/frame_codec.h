// Byte layout of the unit's request frames: named offsets, the register control word and the
// little-endian put/get helpers that every other byte-packing place of the library uses too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel::codec {

inline void PutLE16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void PutLE64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t GetLE16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t GetLE32(const std::uint8_t* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline std::uint64_t GetLE64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace zel::codec

namespace zel::frame {

inline constexpr std::size_t kRequestSize = 128;
inline constexpr std::size_t kReplySize = 1024;
inline constexpr std::size_t kBlockSize = 128;
inline constexpr std::size_t kPageSize = 1024;

inline constexpr std::uint8_t kRegisterFrame = 0xF0;
inline constexpr std::uint8_t kCommandFrame = 0xF1;

// Register frame.
inline constexpr std::size_t kType = 0;
inline constexpr std::size_t kControlWord = 4;  // 16 bits
inline constexpr std::size_t kValue = 6;        // 16 bits, writes only
// Register read reply: the value sits at bytes 1 (low) and 2 (high).
inline constexpr std::size_t kReplyValue = 1;
inline constexpr std::size_t kRegisterReplyNeeded = 3;

// Command frame.
inline constexpr std::size_t kSubCommand = 1;
inline constexpr std::size_t kBlockDirection = 2;  // 0x01 read, 0x00 write
inline constexpr std::size_t kBlockLength = 3;     // 0x80
inline constexpr std::size_t kBlockBank = 4;
inline constexpr std::size_t kBlockAddress = 5;                                // 32 bits
inline constexpr std::size_t kBlockPayload = 9;                                // block write / byte write payload
inline constexpr std::size_t kBlockPayloadMax = kRequestSize - kBlockPayload;  // 119

inline constexpr std::uint8_t kSubBlock = 0x00;
inline constexpr std::uint8_t kSubPages = 0x02;
inline constexpr std::uint8_t kSubCommand3 = 0x03;
inline constexpr std::uint8_t kSubCommand4 = 0x04;
inline constexpr std::uint8_t kSubBytes = 0x06;
inline constexpr std::uint8_t kSubCommand7 = 0x07;

// Control word: select in bits 14..11, register address in bits 10..0, bit 15 = write.
// Formed in 16-bit arithmetic; an address of 2048 or more spills into the select field.
inline std::uint16_t ControlWord(bool write, std::uint16_t select, std::uint16_t address) {
    auto word = static_cast<std::uint16_t>(static_cast<std::uint16_t>(select << 11) | address);
    return write ? static_cast<std::uint16_t>(word | 0x8000u) : static_cast<std::uint16_t>(word & 0x7FFFu);
}

}  // namespace zel::frame
