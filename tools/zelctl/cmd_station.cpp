// station check: the station file checked, then every unit asked who it is, all at once.
#include <CLI/CLI.hpp>
#include <algorithm>

#include "commands.h"
#include "common.h"
#include "fanout.h"
#include "station.h"

namespace zelctl {

namespace {

struct StationCheckOptions {
    std::string file;
};

int RunStationCheck(const GlobalOptions& g, const StationCheckOptions& o) {
    const std::string path = o.file.empty() ? g.station : o.file;
    if (path.empty()) throw Failure(kExitUsage, "station check needs a station file (FILE, --station or $ZEL_STATION)");
    const Station station = LoadStation(path);
    std::vector<UnitTarget> units;
    for (const auto& u : station.units) {
        units.push_back({u.name, u.address, u.timeout_ms.value_or(station.timeout_ms.value_or(g.timeout_ms)), true});
    }
    // Each unit is asked on a thread of its own; what it answers is kept, not printed.
    std::vector<Record> identities(units.size());
    const auto runs = RunOnUnits(units, g.jobs, [&](const UnitTarget& unit) {
        GlobalOptions options = g;
        options.unit = unit.address;
        options.timeout_ms = unit.timeout_ms;
        Session s(options);
        std::int64_t serial = 0;
        std::int32_t confirmed = 0;
        zel_ReadSerialNumber(s.Instance(), &serial, &confirmed);
        s.CheckInstance(zel_LastError(s.Instance()) == ZEL_OK, "cannot read the serial number");
        const auto at =
            std::find_if(units.begin(), units.end(), [&](const UnitTarget& u) { return u.name == unit.name; });
        const auto i = static_cast<std::size_t>(at - units.begin());
        identities[i].Add("serial", "Serial number", serial).Add("board_type", "Board type", s.BoardType());
        return kExitOk;
    });

    Table table({{"unit", "Unit", false},
                 {"address", "Address", false},
                 {"label", "Label", false},
                 {"serial", "Serial number"},
                 {"board_type", "Board type"},
                 {"answered", "Answered", false}});
    int exit_code = kExitOk;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const StationUnit& u = station.units[i];
        const bool ok = runs[i].exit_code == kExitOk;
        exit_code = std::max(exit_code, runs[i].exit_code);
        const auto field = [&](std::size_t f) -> std::pair<Json, std::string> {
            if (!ok) return {nullptr, "-"};
            const auto& value = identities[i].Fields()[f];
            return {value.value, value.text};
        };
        table.AddRow({{u.name, u.name},
                      {u.address, u.address},
                      {u.label, u.label},
                      field(0),
                      field(1),
                      {ok ? Json(true) : Json(runs[i].error), ok ? "yes" : "no: " + runs[i].error}});
    }
    table.Print(g.json);
    return exit_code;
}

}  // namespace

void AddStationCommands(CLI::App& app, const GlobalOptions& options) {
    auto* station = app.add_subcommand("station", "Station files: the units of a test bench by name");
    station->require_subcommand(1);
    auto o = std::make_shared<StationCheckOptions>();
    auto* check = station->add_subcommand(
        "check",
        "Check a station file and ask every unit of it for its serial number and board type, all at once; "
        "exit 0 when every unit answered, else the highest code of the units that did not");
    check->add_option("file", o->file, "Station file (default: --station or $ZEL_STATION)")->type_name("FILE");
    check->callback([&options, o] {
        const int code = RunStationCheck(options, *o);
        if (code != kExitOk) throw Failure(code, "not every unit of the station answered");
    });
}

}  // namespace zelctl
