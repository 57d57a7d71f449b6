#include "calib_backup.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "calib_file.h"
#include "fanout.h"

namespace zelctl {
namespace {

calib::Calibration ReadBackupFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw FileFailure("open", path);
    std::stringstream text;
    text << in.rdbuf();
    try {
        return calib::ParseBackup(text.str());
    } catch (const calib::FileError& e) {
        throw Failure(kExitFile, path + ": " + e.what());
    }
}

}  // namespace

void RequireBackupFits(Session& s, const std::string& path, const calib::Calibration& want, bool force) {
    const std::string unit = "unit " + s.address();
    if (want.board_type != s.BoardType()) {
        throw Failure(kExitFile, path + " does not fit " + unit + ": board type " + std::to_string(want.board_type) +
                                     " in the file, " + std::to_string(s.BoardType()) + " on the unit");
    }
    if (want.user.size() != static_cast<std::size_t>(s.Channels())) {
        throw Failure(kExitFile, path + ": channels: board type " + std::to_string(want.board_type) + " has " +
                                     std::to_string(s.Channels()) + " channels");
    }
    std::int64_t serial = 0;
    std::int32_t confirmed = 0;
    zel_ReadSerialNumber(s.Instance(), &serial, &confirmed);
    s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
    if (serial != want.serial && !force) {
        throw Failure(kExitFile, path + " does not fit " + unit + ": serial number " + std::to_string(want.serial) +
                                     " in the file, " + std::to_string(serial) +
                                     " on the unit (--force restores anyway)");
    }
    const std::vector<WavelengthSlot> present = s.Wavelengths();
    for (const auto& slot : want.slots) {
        const auto w = static_cast<std::size_t>(slot.slot);
        if (w < present.size() && present[w].nm != slot.nm) {
            throw Failure(kExitFile, path + " does not fit " + unit + ": slot " + std::to_string(slot.slot) + " (" +
                                         std::to_string(slot.nm) + " nm) in the file, " +
                                         std::to_string(present[w].nm) + " nm in that slot on the unit");
        }
    }
}

namespace {

// The unit's slots after the backup's last: a restore has no records for them and leaves them alone.
std::vector<WavelengthSlot> SlotsLeftAlone(Session& s, const calib::Calibration& want) {
    const std::vector<WavelengthSlot> present = s.Wavelengths();
    return {present.begin() + static_cast<std::ptrdiff_t>(std::min(want.slots.size(), present.size())), present.end()};
}

// "slots 1..5 (1550, 1490, 1625, 1270, 1610 nm) were left as they are: the backup has no records for them"
std::string LeftAloneText(const std::vector<WavelengthSlot>& left) {
    const bool one = left.size() == 1;
    const std::string slots =
        one ? "slot " + std::to_string(left.front().slot)
            : "slots " + std::to_string(left.front().slot) + ".." + std::to_string(left.back().slot);
    return slots + " (" + JoinWavelengths(left) + (one ? ") was left as it is" : ") were left as they are") +
           ": the backup has no records for " + (one ? "it" : "them");
}

}  // namespace

void RunCalibBackup(Session& s, const CalibFileOptions& o, bool json) {
    const std::string path = UnitFile(s, o.file, ".json", false);
    calib::Calibration cal;
    {
        Progress progress("backup", 0, json);
        cal = store::ReadUnit(s.Instance(), [&](std::size_t done, std::size_t total) { progress.Update(done, total); });
    }
    const std::string text = calib::BackupText(cal, OutputContext(s, std::nullopt));
    WriteFileWhole(path, text.data(), text.size());
    Record()
        .Add("file", "File", path)
        .Add("wavelengths", "Wavelength slots", cal.slots.size())
        .Add("channels", "Channels", cal.user.size())
        .Print(json);
}

void RunCalibRestore(Session& s, const CalibFileOptions& o, bool json) {
    const std::string path = UnitFile(s, o.file, ".json", true);
    const calib::Calibration want = ReadBackupFile(path);

    RequireBackupFits(s, path, want, o.force);
    const std::vector<WavelengthSlot> left = SlotsLeftAlone(s, want);

    const store::RestoreOutcome done = InterruptibleWrite("restore", json, [&](const store::WriteOptions& options) {
        return store::Restore(s.Instance(), want, options);
    });
    if (done.interrupted) {
        throw Failure(kExitInterrupted, "interrupted: " + std::to_string(done.records_done) + " of " +
                                            std::to_string(done.records) + " records restored (" +
                                            std::to_string(done.bytes_written) + " of " +
                                            std::to_string(done.bytes_to_write) + " differing bytes written), next " +
                                            done.next + "; run the restore again to complete it");
    }
    if (!done.mismatches.empty()) {
        for (const auto& d : done.mismatches) std::fprintf(stderr, "zelctl: mismatch: %s\n", d.c_str());
        throw Failure(kExitMismatch, "restore of " + path + " onto unit " + s.address() + " read back " +
                                         std::to_string(done.mismatches.size()) + " record(s) other than written");
    }
    Record r;
    r.Add("file", "File", path).Add("wavelengths", "Wavelength slots", want.slots.size());
    if (!left.empty()) {
        Json slots = Json::array();
        for (const auto& w : left) slots.push_back({{"slot", w.slot}, {"wavelength_nm", w.nm}});
        r.Add("slots_left", "Other slots", slots, LeftAloneText(left));
    }
    r.Add("channels", "Channels", want.user.size())
        .Add("bytes_written", "Bytes written", done.bytes_written,
             std::to_string(done.bytes_written) + " (the other stored bytes already matched)")
        .Add("verified", "Verified", true, "every record read back byte for byte as in the file")
        .Print(json);
}

}  // namespace zelctl
