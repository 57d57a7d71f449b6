// Where the unit keeps its calibration in the EEPROM. Records are 8 bytes; record r of group 0
// starts at (r + 1024) x 8, so wavelength slot w (records 256 w ...) starts at 0x2000 + 2048 w.
// Within a slot, per select s: the TAP factor at record 1 + s, VOA coefficient k at record
// 10 + 4 s + k, the VOA insertion loss at record 103 + s and the 4x1 switch loss at record
// 111 + s; the 30 defined values (2 bytes each) at byte 0x158 + 60 s. The user TX and RX values
// belong to a select, not to a slot.
#pragma once

#include <cstdint>

namespace zel::layout {

inline constexpr std::uint32_t kSlotBase = 0x2000;
inline constexpr std::uint32_t kSlotSize = 2048;
inline constexpr int kTAPOffset = 1;               // record of select 0's TAP factor in a slot
inline constexpr int kVOACoefficientOffset = 10;   // record of select 0's coefficient 0
inline constexpr int kVOALossOffset = 103;
inline constexpr int kSwitchLossOffset = 111;
inline constexpr std::uint32_t kDefinedValuesInSlot = 0x158;  // byte offset of select 0's defined values
inline constexpr std::uint32_t kDefinedValuesPerSelect = 60;
inline constexpr std::uint16_t kUserTXBase = 0x0A00;  // (select + base) x 8 is the EEPROM address
inline constexpr std::uint16_t kUserRXBase = 0x0A20;
// A slot's calibration area: its table entry up to the end of select 7's switch loss record.
inline constexpr std::uint32_t kSlotAreaLength = 8u * (kSwitchLossOffset + 8);

}  // namespace zel::layout
