// One command on several units at once: a thread and a library instance per unit, the output of each
// collected and printed as one table (text) or one array (--json) once all have finished.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "station.h"

namespace zelctl {

// What one unit's run of a command printed, in order. Filled instead of stdout while a thread runs
// a command for one of several units.
struct UnitOutput {
    struct Item {
        enum Kind { kRecord, kTable, kJson, kText } kind;
        std::optional<Record> record;
        std::optional<Table> table;
        Json json;
        std::string text;
    };
    std::vector<Item> items;
};

// The output of the calling thread's command, or null when it prints to stdout itself.
UnitOutput* CollectedOutput();
// The unit the calling thread runs a command for while several run at once (progress lines and
// traced frames name it), or null.
const UnitTarget* FanOutUnit();

// The outcome of a command on one unit.
struct UnitRun {
    UnitTarget unit;
    UnitOutput output;
    int exit_code = kExitOk;
    std::string error;  // the failure's message when exit_code != 0
};

// Runs `command` once per unit, at most `jobs` at once (0: all), each on a thread of its own that
// collects its output. `command` returns the exit code, or throws Failure. The runs come back in the
// order of `units`.
std::vector<UnitRun> RunOnUnits(const std::vector<UnitTarget>& units, unsigned jobs,
                                const std::function<int(const UnitTarget&)>& command);

// Prints the runs: under --json one array with an object per unit ("unit", "address", then what the
// command printed, or "error" and "exit_code"); as text one table with the unit in its first column
// when every unit printed one record or one table of the same columns, else the output of each unit
// under its name. Failures go to stderr as "zelctl: <unit> (<address>): <message>". Returns the exit
// code: 0 when every unit succeeded, else the highest one.
int PrintRuns(const std::vector<UnitRun>& runs, bool json);

// The file of the unit of `s` that a backup or dump writes (`for_reading` false) or a restore or load
// reads: `path` itself, or, when the command runs on several units or `path` is a directory, the
// file named by the unit's serial number in that directory, <path>/<serial><extension> (created
// for writing). Reading, a unit without its file fails with that reason (kExitFile).
std::string UnitFile(Session& s, const std::string& path, const std::string& extension, bool for_reading);

// A file a command writes for each unit (a sweep's CSV and plot): `path` itself for one unit, with
// several the unit's name before the extension (ch2.csv -> ch2-bay3.csv).
std::string UnitNamedFile(const std::string& path);

}  // namespace zelctl
