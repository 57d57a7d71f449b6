// The map of the test unit as the library drives it: its registers, where the EEPROM keeps
// the board type and the calibration, and what each board type fixes (zel::board).
//
// Registers are 16-bit words addressed by register bank ("select", 0..15) and address (0..2047).
// The unit-wide registers live on select 0; the per-channel ones on the channel's select (0..7).
//
// The EEPROM is byte-addressed and reached through the EEPROM address and data registers (one
// byte per pair of exchanges) or by 128-byte block reads. Numbers are kept in 8-byte records:
// record r of group 0 starts at (r + 1024) x 8, so wavelength slot w (records 256 w ... 256 w +
// 255) is the 2048-byte area from 0x2000 + 2048 w. Within a slot, per select s: the TAP factor at
// record 1 + s, VOA coefficient k at record 10 + 4 s + k, the 30 defined values (2 bytes each,
// byte-addressed) at 0x158 + 60 s, the VOA insertion loss at record 103 + s and the 4x1 switch
// loss at record 111 + s. The user TX and RX values belong to a select, not to a slot, and lie
// just past the last slot.
#pragma once

#include <cstdint>

namespace zel::reg {

inline constexpr std::uint16_t kFirmwareRevision = 9;  // in tenths: 123 is revision 12.3
inline constexpr std::uint16_t kEepromAddress = 10;    // byte address of the next EEPROM data access
inline constexpr std::uint16_t kEepromData = 11;       // the EEPROM byte there, in the low 8 bits
inline constexpr std::uint16_t kTemperature = 16;      // on the select the host names
inline constexpr std::uint16_t kBoardID = 20;
inline constexpr std::uint16_t kSerialWord0 = 21;  // board serial low word; extended serial bits 0..15
inline constexpr std::uint16_t kSerialWord1 = 22;  // board serial high word; bits 16..31
inline constexpr std::uint16_t kSerialWord2 = 23;  // bits 32..47
inline constexpr std::uint16_t kSerialWord3 = 24;  // bits 48..63
inline constexpr std::uint16_t kSerialCheck = 25;  // valid extended serial: check / 5 == word 3
inline constexpr std::uint16_t kSwitch2x2 = 33;    // per channel
inline constexpr std::uint16_t kSwitchMEMS = 34;
inline constexpr std::uint16_t kSwitchLBMM = 35;
inline constexpr std::uint16_t kOpticalPower = 36;  // per channel: one power count
inline constexpr std::uint16_t kVOACode = 37;       // per channel: 12-bit drive code
inline constexpr std::uint16_t kScreenControl = 38;

// The register frame's control word has 4 select bits and 11 address bits.
inline constexpr std::int32_t kBankCount = 16;
inline constexpr std::uint16_t kAddressCount = 2048;

}  // namespace zel::reg

namespace zel::layout {

inline constexpr std::uint32_t kRecordSize = 8;
// Byte address of record `record` of group 0.
constexpr std::uint32_t RecordByte(std::uint32_t record) { return (record + 1024) * kRecordSize; }

inline constexpr std::uint32_t kSlotBase = 0x2000;
inline constexpr std::uint32_t kSlotSize = 2048;
inline constexpr int kSlotCount = 6;
inline constexpr int kRecordsPerSlot = 256;
inline constexpr std::uint32_t kLastSlotBase = kSlotBase + kSlotSize * (kSlotCount - 1);
// Record offsets within a slot, of select 0; a select's entry follows at one record (VOA: four)
// per select.
inline constexpr int kBoardTypeRecord = 0;        // slot 0 only; slots 1..5 keep their wavelength here
inline constexpr int kTAPOffset = 1;              // TAP factor, scaled
inline constexpr int kVOACoefficientOffset = 10;  // coefficient 0 of four, raw
inline constexpr int kVOALossOffset = 103;        // VOA insertion loss, scaled
inline constexpr int kSwitchLossOffset = 111;     // 4x1 switch insertion loss, scaled
// The defined values are byte-addressed: 30 words per select, low byte first.
inline constexpr std::uint32_t kDefinedValuesInSlot = 0x158;  // byte offset of select 0's defined values
inline constexpr std::uint32_t kDefinedValuesPerSelect = 60;
// The user values: (select + base) x 8 is the EEPROM address.
inline constexpr std::uint16_t kUserTXBase = 0x0A00;
inline constexpr std::uint16_t kUserRXBase = 0x0A20;
// A slot's calibration area: its table entry up to the end of select 7's switch loss record.
inline constexpr std::uint32_t kSlotAreaLength = kRecordSize * (kSwitchLossOffset + 8);

// The record numbers and byte addresses name the same places.
static_assert(RecordByte(kBoardTypeRecord) == kSlotBase, "the board type opens slot 0");
static_assert(RecordByte(kRecordsPerSlot) == kSlotBase + kSlotSize, "a slot is 256 records");
static_assert(kLastSlotBase == 0x4800);
static_assert(RecordByte(kTAPOffset) == 0x2008);
static_assert(RecordByte(kVOACoefficientOffset) == 0x2050);
static_assert(kSlotBase + kDefinedValuesInSlot == 0x2158);
static_assert(RecordByte(kVOALossOffset) == 0x2338);
static_assert(RecordByte(kSwitchLossOffset) == 0x2378);
static_assert(kUserTXBase * kRecordSize == 0x5000 && kUserRXBase * kRecordSize == 0x5100);
// The items of eight selects follow one another without overlap, and the user values start
// where the last slot ends.
static_assert(kTAPOffset + 8 <= kVOACoefficientOffset);
static_assert(RecordByte(kVOACoefficientOffset + 4 * 8) <= kSlotBase + kDefinedValuesInSlot);
static_assert(kSlotBase + kDefinedValuesInSlot + 8 * kDefinedValuesPerSelect <= RecordByte(kVOALossOffset));
static_assert(kVOALossOffset + 8 == kSwitchLossOffset);
static_assert(kSwitchLossOffset + 8 <= kRecordsPerSlot);
static_assert(kUserTXBase * kRecordSize == kSlotBase + kSlotSize * kSlotCount);
static_assert(kUserRXBase - kUserTXBase >= 8);

}  // namespace zel::layout

namespace zel::board {

// Channel indexes of a layout map: one per select that carries a channel.
inline constexpr int kChannelIndexes = 8;

// What a board type fixes about its unit. This table is the one place that names those facts.
struct BoardFacts {
    std::int32_t ports;                 // port count of the board (the library itself never reads it)
    std::int32_t channels;              // calibrated channels: indexes 0..channels-1 have records of their own
    std::int32_t map[kChannelIndexes];  // the select of each channel index
    std::uint16_t default_nm;           // the wavelength slot 0 serves
    bool add_refuses_default;           // AddWavelength refuses default_nm instead of giving it a slot
    int voa_order;                      // 3: c0 x^3 + c1 x^2 + c2 x + c3; 4: c0 x^4 + c1 x^3 + c2 x^2 + c3 x
    std::uint8_t two_by_two_ports;      // positions of each channel's 2x2 switch: bar (0), cross (1)
    std::uint8_t mems_ports;            // ports of the MEMS selector switch, from 0
    std::uint8_t lbmm_ports;            // ports of the LBMM selector switch, from 0
};

inline constexpr int kBoardTypes = 8;

// ports, channels, map, default nm, add refuses it, VOA order, 2x2, MEMS, LBMM; by board type 0..7.
inline constexpr BoardFacts kBoards[kBoardTypes] = {
    {1, 1, {0, 0, 0, 0, 0, 0, 0, 0}, 1310, true, 3, 2, 1, 1},   // 0
    {1, 1, {0, 0, 0, 0, 0, 0, 0, 0}, 850, true, 3, 2, 1, 1},    // 1
    {4, 1, {0, 0, 0, 0, 0, 0, 0, 0}, 1310, true, 3, 2, 4, 4},   // 2
    {4, 1, {0, 0, 0, 0, 0, 0, 0, 0}, 1310, true, 3, 2, 4, 4},   // 3
    {4, 4, {0, 1, 2, 3, 0, 1, 2, 3}, 850, true, 4, 2, 4, 4},    // 4
    {4, 4, {0, 1, 2, 3, 0, 1, 2, 3}, 1310, true, 3, 2, 4, 4},   // 5
    {8, 8, {0, 1, 2, 3, 4, 5, 6, 7}, 1310, false, 3, 2, 8, 8},  // 6
    {8, 1, {3, 3, 3, 3, 3, 3, 3, 3}, 1310, false, 3, 2, 8, 8},  // 7
};

constexpr bool IsKnownBoardType(std::int32_t type) { return type >= 0 && type < kBoardTypes; }

// The facts of a known board type; nullptr for any other (its make-up is unknown).
constexpr const BoardFacts* FactsOf(std::int32_t type) { return IsKnownBoardType(type) ? &kBoards[type] : nullptr; }

// Every row maps its channels to selects 0..7 and names a polynomial the VOA code has.
constexpr bool RowsAreSound() {
    for (const BoardFacts& b : kBoards) {
        if (b.channels < 1 || b.channels > kChannelIndexes || (b.voa_order != 3 && b.voa_order != 4)) return false;
        for (std::int32_t select : b.map)
            if (select < 0 || select >= kChannelIndexes) return false;
    }
    return true;
}
static_assert(RowsAreSound());

}  // namespace zel::board
