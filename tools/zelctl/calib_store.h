// A unit's calibration records as the bytes its EEPROM stores: read in block reads, written back
// only where they differ, verified byte for byte. Record places come from the library
// (zel_GetRecordLocation); only the public C interface is used, so zelctl and the benchmarks share it.
// Failures of the unit throw zelctl::Failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "zel_api.h"

namespace zelctl::store {

using Bytes = std::vector<uint8_t>;

enum class Item { Tap, Voa, Defined, VoaLoss, SwitchLoss, UserTx, UserRx };
enum class Encoding {
  Scaled,  // value x 10^12 as a 64-bit integer, least significant byte first
  Raw,     // IEEE-754 doubles, least significant byte first
  Words,   // 16-bit words, least significant byte first
};

struct ItemShape {
  Item item;
  uint32_t record;  // ZEL_RECORD_...
  const char* key;  // command-line name and JSON key
  const char* label;
  size_t count;     // values per channel
  bool per_slot;    // stored once per wavelength slot (else once per channel)
  Encoding encoding;
  size_t Size() const { return encoding == Encoding::Words ? 2 * count : 8 * count; }
};

const std::vector<ItemShape>& Items();
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

struct SlotRecords {
  int slot = 0;
  uint16_t nm = 0;
  std::vector<std::vector<Bytes>> channels;  // [channel][per-slot item]
};

struct UnitRecords {
  int board_type = 0;
  int64_t serial = 0;
  uint32_t board_id = 0;
  std::vector<SlotRecords> slots;       // the used wavelength slots, slot 0 first
  std::vector<std::vector<Bytes>> user;  // [channel][user item]
};

// done, total: in steps of the operation (bytes read or written).
using ProgressFn = std::function<void(size_t done, size_t total)>;

// Identity, wavelength table and every calibration record of a connected unit.
UnitRecords ReadUnit(zel_instance* unit, const ProgressFn& progress = {});

struct WriteOptions {
  ProgressFn progress;              // over the bytes that differ
  std::function<bool()> stop;       // asked after each record (restore) or byte (patch)
};

struct RestoreOutcome {
  size_t records = 0;          // records in the backup (and slot table entries it adds)
  size_t records_done = 0;     // of them, those now holding the backup's bytes
  size_t bytes_to_write = 0;   // bytes that differed
  size_t bytes_written = 0;
  size_t slots_added = 0;
  bool interrupted = false;    // stopped before the last record; nothing was verified
  std::vector<std::string> mismatches;  // records that read back other bytes than written
  std::string next;            // the first record not restored, when interrupted
};

// Writes `want` into the unit: adds its wavelength slots the unit lacks, reads the records' current
// bytes, writes the bytes that differ (each record whole before `stop` is asked) and reads every
// record back. The unit must have the backup's board type and channel count and, in the slots both
// use, its wavelengths (zelctl checks that before calling); otherwise Failure(kExitFile).
RestoreOutcome Restore(zel_instance* unit, const UnitRecords& want, const WriteOptions& options = {});

struct PatchOutcome {
  size_t bytes_to_write = 0;
  size_t bytes_written = 0;
  bool interrupted = false;
  uint32_t next_address = 0;  // the first differing byte not written, when interrupted
  std::vector<uint32_t> mismatches;  // addresses that read back other than written
};

// Makes the EEPROM bytes from `address` on equal to `want`: reads them in block reads, writes the
// ones that differ and reads the range back.
PatchOutcome Patch(zel_instance* unit, uint32_t address, const Bytes& want, const WriteOptions& options = {});

std::string Hex(const Bytes& bytes);  // lower-case pairs, no separators
// The bytes of `text` written by Hex; false for anything else.
bool FromHex(const std::string& text, Bytes& bytes);

}  // namespace zelctl::store
