// calib backup and calib restore: a unit's calibration to and from a backup file (calib_file.h),
// with the checks that the file fits the unit, progress, Ctrl-C and the commands' reports.
#pragma once

#include <string>

#include "common.h"

namespace zelctl {

// Reads every calibration record of the unit and writes the backup to `path` (through a
// temporary file, so that a failed backup leaves no half-written file).
void BackupCalibration(Session& s, const std::string& path, bool json);

// Restores the backup at `path` once the whole file is read and found to fit the unit (board type,
// channel count, serial number unless `force`, the wavelengths of the slots both use).
void RestoreCalibration(Session& s, const std::string& path, bool force, bool json);

}  // namespace zelctl
