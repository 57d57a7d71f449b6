// The map of the test unit as the library drives it: its registers, and where the EEPROM keeps
// the board type and the calibration.
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
