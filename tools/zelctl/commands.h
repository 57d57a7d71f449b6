#pragma once
// Subcommands of zelctl that need no unit.

namespace CLI {
class App;
}
namespace zelsim {
struct UnitConfig;
}

namespace zelctl {

struct GlobalOptions;

// clock-plan: Si5346 frequency plan and register list. Failures are thrown as Failure.
void AddClockCommands(CLI::App& app, const GlobalOptions& options);

// station check: the station file checked and every unit of it asked for its identity.
void AddStationCommands(CLI::App& app, const GlobalOptions& options);

// capture show, capture stats: a capture file decoded, frame by frame or summed up per kind of exchange.
void AddCaptureCommands(CLI::App& app, const GlobalOptions& options);

// serve: the console (an HTTP server with the page and the JSON API) for the units of the command line,
// or for simulated units in this process (--demo).
void AddServeCommand(CLI::App& app, const GlobalOptions& options);

// The simulated 8-channel unit of `demo` and `serve --demo`.
zelsim::UnitConfig DemoUnit();

}  // namespace zelctl
