#pragma once
// Subcommands of zelctl that need no unit.

namespace CLI {
class App;
}

namespace zelctl {

struct GlobalOptions;

// clock-plan: Si5346 frequency plan and register list. Failures are thrown as Failure.
void AddClockCommands(CLI::App& app, const GlobalOptions& options);

// station check: the station file checked and every unit of it asked for its identity.
void AddStationCommands(CLI::App& app, const GlobalOptions& options);

// capture show, capture stats: a capture file decoded, frame by frame or summed up per kind of exchange.
void AddCaptureCommands(CLI::App& app, const GlobalOptions& options);

}  // namespace zelctl
