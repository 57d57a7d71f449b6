// calib backup and calib restore: a unit's calibration to and from a backup file (calib_file.h),
// with the checks that the file fits the unit, progress, Ctrl-C and the commands' reports; and the
// progress and Ctrl-C of every write into the EEPROM (eeprom load too).
#pragma once

#include <string>

#include "calib_store.h"
#include "common.h"
#include "terminal.h"

namespace zelctl {

struct CalibFileOptions {
    std::string file;
    bool force = false;  // restore: onto a unit with another serial number
};

// calib backup: reads every calibration record of the unit and writes the backup to the file
// (through a temporary file, so that a failed backup leaves no half-written file).
void RunCalibBackup(Session& s, const CalibFileOptions& o, bool json);

// calib restore: restores the backup in the file once the whole file is read and found to fit the
// unit (board type, channel count, serial number unless `force`, the wavelengths of the slots both use).
void RunCalibRestore(Session& s, const CalibFileOptions& o, bool json);

// Everything a restore checks against the unit before its first write: board type, channel count, serial
// number unless `force`, the wavelengths of the slots both use. Failure(kExitFile) naming `path` else.
void RequireBackupFits(Session& s, const std::string& path, const calib::Calibration& want, bool force);

// A write into the unit's EEPROM (restore, load) with its progress on stderr under `label`, silent
// when `quiet`; Ctrl-C asks it, through the options handed to `write`, to stop after the record or
// byte in flight.
template <typename Write>
auto InterruptibleWrite(const char* label, bool quiet, Write write) {
    const InterruptGuard interrupt;
    Progress progress(label, 0, quiet);
    store::WriteOptions options;
    options.progress = [&](std::size_t n, std::size_t total) { progress.Update(n, total); };
    options.stop = [] { return Interrupted(); };
    return write(options);
}

}  // namespace zelctl
