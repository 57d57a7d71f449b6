// The factory EEPROM image of a unit and the calibration it holds.
//
// Map (byte addresses, select-0 bank):
//   0x2000                     record 0: board type, scaled
//   slot w (0..5) at B = 0x2000 + 2048*w:
//     B+0, B+1                 slots 1..5: wavelength in nm, high byte first; 0xFFFF = first free slot
//     B+8+8s                   TAP factor of select s (uW per power count), scaled
//     B+80+32s+8k              VOA coefficient k of select s, raw double
//     B+344+60s+2j             VOA defined value j of select s: the code for (j+1) dB, low byte first
//     B+824+8s                 VOA insertion loss of select s (dB), scaled
//     B+888+8s                 4x1 switch insertion loss of select s (dB), scaled
//   0x5000..0x513F             user TX/RX calibration: all zero bytes (each reads as 0.0)
// Every other byte is erased (0xFF), including the whole area of unused slots
// after the first free one. Scaled = value * 1e12 as a 64-bit integer, raw = IEEE-754
// double; both least significant byte first.
#pragma once

#include <cstdint>
#include <vector>

#include "zelsim/model.h"

namespace zelsim {

inline constexpr std::uint32_t kSlotBase = 0x2000;
inline constexpr std::uint32_t kSlotSize = 2048;
inline constexpr unsigned kSlots = 6;
inline constexpr std::uint32_t kUserCalBegin = 0x5000;
inline constexpr std::uint32_t kUserCalEnd = 0x5140;  // one past the last byte
inline constexpr unsigned kDefinedValues = 30;

namespace slot_offset {
inline constexpr std::uint32_t kWavelength = 0;
inline constexpr std::uint32_t kTap = 8;
inline constexpr std::uint32_t kVoaCoefficients = 80;
inline constexpr std::uint32_t kDefinedValues = 344;
inline constexpr std::uint32_t kVoaInsertionLoss = 824;
inline constexpr std::uint32_t kSwitchInsertionLoss = 888;
}  // namespace slot_offset

// Factory calibration of one select in one wavelength slot.
struct ChannelCalibration {
    double tap_uw_per_count = 0;
    // Attenuation in dB of code x: cubic c0 x^3 + c1 x^2 + c2 x + c3 (c3 = 0), or on
    // board type 4 quartic c0 x^4 + c1 x^3 + c2 x^2 + c3 x.
    double voa[4] = {0, 0, 0, 0};
    double voa_insertion_loss_db = 0;
    double switch_insertion_loss_db = 0;
    std::uint16_t defined_codes[kDefinedValues] = {};  // code for 1, 2, ... 30 dB
};

// What a board type fixes about the unit played: the library keeps its own table of these facts,
// and tests/instrument/record_codec_test.cpp holds the two against each other row by row.
struct BoardFacts {
    std::uint16_t default_nm;       // the wavelength slot 0 serves
    bool quartic;                   // VOA curve c0 x^4 + c1 x^3 + c2 x^2 + c3 x, else the cubic form
    unsigned two_by_two_positions;  // of each channel's 2x2 switch: bar (0), cross (1)
    unsigned selector_ports;        // of the MEMS switch and of the LBMM switch, each
};

inline constexpr int kBoardTypes = 8;
inline constexpr BoardFacts kBoards[kBoardTypes] = {
    {1310, false, 2, 1},  // 0
    {850, false, 2, 1},   // 1
    {1310, false, 2, 4},  // 2
    {1310, false, 2, 4},  // 3
    {850, true, 2, 4},    // 4
    {1310, false, 2, 4},  // 5
    {1310, false, 2, 8},  // 6
    {1310, false, 2, 8},  // 7
};

constexpr bool IsKnownBoardType(int board_type) { return board_type >= 0 && board_type < kBoardTypes; }
// The facts of `board_type`; a type outside 0..7 plays as type 0 (1310 nm, cubic, 1-port selectors).
constexpr const BoardFacts& BoardFactsOf(int board_type) {
    return kBoards[IsKnownBoardType(board_type) ? board_type : 0];
}

// Wavelengths of the used slots: [0] = default, then up to five extra ones.
std::vector<std::uint16_t> SlotWavelengths(const UnitConfig& cfg);
ChannelCalibration FactoryCalibration(const UnitConfig& cfg, unsigned slot, unsigned select);
// The 128 KiB factory image.
std::vector<std::uint8_t> FactoryImage(const UnitConfig& cfg);

// Attenuation in dB of `code` for coefficients `c` in the cubic or quartic form.
double EvalVoaCurve(const double (&c)[4], bool quartic, double code);

// The two 8-byte number encodings, least significant byte first. PutScaled stores
// value * 1e12 rounded to the nearest integer (negative values as two's complement;
// out of range or NaN as 1 << 63). GetScaled reads the 8 bytes as a signed integer / 1e12.
void PutScaled(std::vector<std::uint8_t>& image, std::uint32_t address, double value);
void PutRaw(std::vector<std::uint8_t>& image, std::uint32_t address, double value);
double GetScaled(const std::vector<std::uint8_t>& image, std::uint32_t address);

}  // namespace zelsim
