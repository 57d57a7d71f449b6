// Calibration records as the unit's EEPROM stores them: the items, how each encodes its values
// in bytes, and a whole unit's records as one value. No unit and no library calls: the record
// numbers are the public header's ZEL_RECORD_... constants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zel_api.h"

namespace zelctl::calib {

using Bytes = std::vector<std::uint8_t>;

enum class Item { Tap, Voa, Defined, VoaLoss, SwitchLoss, UserTx, UserRx };
enum class Encoding {
    Scaled,  // value x 10^12 as a 64-bit integer, least significant byte first
    Raw,     // IEEE-754 doubles, least significant byte first
    Words,   // 16-bit words, least significant byte first
};

struct ItemShape {
    Item item;
    std::uint32_t record;  // ZEL_RECORD_...
    const char* key;       // command-line name and JSON key
    const char* label;
    std::size_t count;  // values per channel
    bool per_slot;      // stored once per wavelength slot (else once per channel)
    Encoding encoding;
    std::size_t Size() const { return encoding == Encoding::Words ? 2 * count : 8 * count; }
    bool WholeNumbers() const { return encoding == Encoding::Words; }
};

const std::vector<ItemShape>& Items();
// The items stored per wavelength slot (true) or once per channel (false), in table order.
std::vector<const ItemShape*> ItemsOf(bool per_slot);
const ItemShape& ShapeOf(Item item);

bool IsErased(const Bytes& bytes);  // every byte 0xFF
// The values a record's bytes hold, as the library's record functions read them.
std::vector<double> Decode(const ItemShape& shape, const Bytes& bytes);
// The bytes that decode to `values`. A scaled value is stored as the integer that decodes to it
// exactly (nearest, where none does); -9223372.036854775808, what any stored pattern with the top
// bit set reads as, stands for an erased record. Throws std::invalid_argument for a value the
// record cannot hold (scaled: negative or 2^63 x 10^-12 and up; words: not a whole 0..65535).
Bytes Encode(const ItemShape& shape, const std::vector<double>& values);

std::string Hex(const Bytes& bytes);  // lower-case pairs, no separators
// The bytes of `text` written by Hex; false for anything else.
bool FromHex(const std::string& text, Bytes& bytes);

// One channel's records of one kind: an entry per item of ItemsOf(per_slot), in that order.
using ChannelRecords = std::vector<Bytes>;

// The per-slot records of one wavelength slot.
struct SlotRecords {
    int slot = 0;
    std::uint16_t nm = 0;
    std::vector<ChannelRecords> channels;  // channel 0 first
};

// Identity and every calibration record of a unit.
struct Calibration {
    int board_type = 0;
    std::int64_t serial = 0;
    std::uint32_t board_id = 0;
    std::vector<SlotRecords> slots;    // the used wavelength slots, slot 0 first
    std::vector<ChannelRecords> user;  // the user calibration, channel 0 first
};

}  // namespace zelctl::calib
