// A unit's calibration records (calib_records.h) moved to and from its EEPROM: read in block reads,
// written back only where they differ, verified byte for byte. Record places come from the library
// (zel_GetRecordLocation); only the public C interface is used, so zelctl and the benchmarks share it.
// Failures of the unit throw zelctl::Failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "calib_records.h"
#include "zel_api.h"

namespace zelctl::store {

using calib::Bytes;
using calib::Calibration;

// done, total: in steps of the operation (bytes read or written).
using ProgressFn = std::function<void(std::size_t done, std::size_t total)>;

// Identity, wavelength table and every calibration record of a connected unit.
Calibration ReadUnit(zel_instance* unit, const ProgressFn& progress = {});

struct WriteOptions {
    ProgressFn progress;         // over the bytes that differ
    std::function<bool()> stop;  // asked after each record (restore) or byte (patch)
};

struct RestoreOutcome {
    std::size_t records = 0;         // records in the backup (and slot table entries it adds)
    std::size_t records_done = 0;    // of them, those now holding the backup's bytes
    std::size_t bytes_to_write = 0;  // bytes that differed
    std::size_t bytes_written = 0;
    std::size_t slots_added = 0;
    bool interrupted = false;             // stopped before the last record; nothing was verified
    std::vector<std::string> mismatches;  // records that read back other bytes than written
    std::string next;                     // the first record not restored, when interrupted
};

// The bytes of the record `shape` of `channel` in wavelength slot `slot` (the per-channel items
// ignore the slot), in block reads.
Bytes ReadRecord(zel_instance* unit, int slot, int channel, const calib::ItemShape& shape);

// Writes `want` into the unit: adds its wavelength slots the unit lacks, reads the records' current
// bytes, writes the bytes that differ (each record whole before `stop` is asked) and reads every
// record back. The unit must have the backup's board type and channel count and, in the slots both
// use, its wavelengths (zelctl checks that before calling); otherwise Failure(kExitFile).
RestoreOutcome Restore(zel_instance* unit, const Calibration& want, const WriteOptions& options = {});

// A record a restore of a backup would change (or a wavelength slot it would add: no bytes, 2 to write).
struct RecordChange {
    std::string record;  // "slot 1 (1550 nm) channel 2 voa", as a restore names it
    std::uint32_t address = 0;
    Bytes from, to;
    std::size_t bytes_to_write = 0;
};

// What Restore would write, read from the unit but not written: the records whose bytes differ, in the
// order a restore writes them. Failure(kExitFile) as Restore for a backup that does not fit.
std::vector<RecordChange> Diff(zel_instance* unit, const Calibration& want);

struct PatchOutcome {
    std::size_t bytes_to_write = 0;
    std::size_t bytes_written = 0;
    bool interrupted = false;
    std::uint32_t next_address = 0;         // the first differing byte not written, when interrupted
    std::vector<std::uint32_t> mismatches;  // addresses that read back other than written
};

// Makes the EEPROM bytes from `address` on equal to `want`: reads them in block reads, writes the
// ones that differ and reads the range back.
PatchOutcome Patch(zel_instance* unit, std::uint32_t address, const Bytes& want, const WriteOptions& options = {});

}  // namespace zelctl::store
