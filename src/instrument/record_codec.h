// The unit's EEPROM number formats and record addressing, as pure functions.
//
// Scaled encoding: value x 10^12 as a 64-bit integer, least significant byte first (board type,
// TAP factors, insertion losses, user calibration). Raw encoding: the IEEE-754 double itself,
// least significant byte first (VOA coefficients, status records).
#pragma once

#include <array>
#include <cstdint>

namespace zel::records {

using Bytes8 = std::array<std::uint8_t, 8>;

// Start of record (group, number): ((96 x group + number + 1024) x 8) mod 65536.
std::uint16_t RecordAddress(std::uint16_t group, std::uint16_t number);

// x x 10^12 truncated toward zero to 64 bits. Products of 2^63 up to 2^64 keep bit 63 set,
// negative products become their two's complement; NaN, 2^64 or more and below -2^63 give 2^63.
std::uint64_t ScaledInteger(double x);
Bytes8 EncodeScaled(double x);
// Whether the scaled encoding holds `x` so that both readers below give it back (to 10^-12): a
// finite x of 0 or more whose product x x 10^12 stays below 2^63. A product below 2^63 has at most
// 53 significant bits, so DecodeScaled's double accumulation of it is exact.
bool ScaledCanHold(double x);
// Accumulates the bytes in double precision as the unit's own readers do; a pattern whose top byte
// is 0x80 or more (every negative value) reads as -2^63 / 10^12.
double DecodeScaled(const Bytes8& bytes);
// The calibration scan's reading of a scaled TAP factor: the 64-bit pattern as unsigned, divided once.
double DecodeScaledBlock(const std::uint8_t* bytes);

// An erased record: all eight bytes 0xFF, as the EEPROM holds them before anything was stored.
bool IsErased(const std::uint8_t* bytes);
inline bool IsErased(const Bytes8& bytes) { return IsErased(bytes.data()); }

Bytes8 EncodeRaw(double x);
double DecodeRaw(const std::uint8_t* bytes);
inline double DecodeRaw(const Bytes8& bytes) { return DecodeRaw(bytes.data()); }

}  // namespace zel::records
