#include "commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "audit_log.h"
#include "common.h"
#include "fanout.h"
#include "station.h"
#include "terminal.h"

namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 success; 1 the unit failed, refused or did not answer; 2 bad arguments (option, address, "
    "channel, wavelength or value the unit does not have, a clock plan that cannot be met); 3 a file cannot be "
    "read or written, or does not fit the unit; 4 a restore or load read back other bytes than it wrote; 130 Ctrl-C "
    "stopped the command: the calls in flight end at once, a restore or load stops after the record in flight "
    "(running it again completes it; a second Ctrl-C stops it at once). With several units, the highest code of "
    "any unit.";

// Subcommands that run once, whatever --unit says: they talk to no unit of the command line, or to all at once.
constexpr const char* kUnitless[] = {"capture", "clock-plan", "demo", "serve", "station"};

// --json before the end of the options: errors are then JSON on stderr too.
bool WantsJson(const std::vector<std::string>& args) {
    for (const auto& a : args) {
        if (a == "--") return false;
        if (a == "--json") return true;
    }
    return false;
}

// One error: a line of text, or under --json one object {"error": ..., "exit_code": ...}.
int Fail(bool json, int code, const std::string& message, bool hint_help = false) {
    if (json) {
        std::fprintf(stderr, "%s\n", zelctl::Json{{"error", message}, {"exit_code", code}}.dump().c_str());
    } else {
        std::fprintf(stderr, "zelctl: %s\n%s", message.c_str(),
                     hint_help ? "Run with --help for more information.\n" : "");
    }
    return code;
}

// A command line CLI11 refused: the message, and whether to point at --help.
struct ParseFailure : zelctl::Failure {
    ParseFailure(const std::string& message, bool hint) : Failure(zelctl::kExitUsage, message), hint_help(hint) {}
    bool hint_help;
};

// zelctl's command tree, every option bound to `options`.
std::unique_ptr<CLI::App> BuildApp(zelctl::GlobalOptions& options) {
    auto app = std::make_unique<CLI::App>("zelctl: command-line host for zel_api");
    app->set_version_flag("--version", "zelctl " ZEL_VERSION);
    app->require_subcommand(1);
    app->fallthrough();
    app->add_option("--unit", options.units,
                    "Unit(s) to run the command on: IPv4 addresses or station names, comma-separated and repeatable; "
                    "'all' is every unit of the station. Several units run in parallel, one line or object each "
                    "(default: $ZEL_UNIT, else 127.0.0.1)")
        ->type_name("UNITS")
        ->allow_extra_args(false);
    app->add_option("--station", options.station,
                    "Station file (TOML) naming the units, see the README (default: $ZEL_STATION)")
        ->type_name("FILE");
    app->add_option("--log", options.log,
                    "Append one line per command run to this file, one per unit when it runs on several, as an "
                    "audit trail: the time it started (ISO 8601, UTC), the unit's address, the arguments, the result "
                    "(ok, or the first line of the error) and the exit code, separated by tabs. The file is created "
                    "when missing; one that cannot be written is an error before anything is sent")
        ->type_name("FILE");
    app->add_option("--jobs", options.jobs, "Units driven at once when there are several (default: all)")
        ->check(zelctl::InRange(1, 1024));
    app->add_flag("--json", options.json, "Machine-readable output; errors, too, are JSON (on stderr)");
    app->add_flag("--trace", options.trace, "Print every frame sent and received as hex on stderr");
    app->add_option("--capture", options.capture_option,
                    "Write every frame sent and received to FILE as pcapng (Wireshark, tshark, 'zelctl capture "
                    "show'); several units go into one file, a conversation each. A file that cannot be written is "
                    "a warning, and the command goes on")
        ->type_name("FILE");
    app->add_option("--timeout", options.timeout_ms,
                    "Time-out in ms for connecting, sending each request and waiting for each reply; a call gives up "
                    "after about one time-out (default: the station's, else $ZEL_TIMEOUT_MS, else 5000; 0 = the "
                    "library's 100 s)")
        ->check(zelctl::InRange(0, 0xFFFFFFFFu, "ms"));

    zelctl::AddClockCommands(*app, options);
    zelctl::AddStationCommands(*app, options);
    zelctl::AddCaptureCommands(*app, options);
    zelctl::AddUnitCommands(*app, options);
    zelctl::AddOpticsCommands(*app, options);
    zelctl::AddWavelengthCommands(*app, options);
    zelctl::AddEepromCommands(*app, options);
    zelctl::AddCalibCommands(*app, options);
    zelctl::AddDemoCommand(*app, options);
    zelctl::AddServeCommand(*app, options);
    // Set after the subcommands exist, which would otherwise inherit it: the table appears on the top-level help only.
    app->footer(kExitCodes);
    return app;
}

// Parses and runs the command line for `options` (the unit already chosen); returns the exit code
// or throws Failure.
int Execute(int argc, char** argv, zelctl::GlobalOptions options, const std::vector<std::string>& args) {
    auto app = BuildApp(options);
    try {
        app->parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app->exit(e);
        if (const auto unknown = zelctl::UnknownSubcommand(*app, args)) throw ParseFailure(*unknown, false);
        throw ParseFailure(e.what(), true);
    }
    return zelctl::kExitOk;
}

// The units, the station and the time-outs the command line names, read before anything runs: with
// several units the command runs once per unit.
struct Plan {
    std::vector<zelctl::UnitTarget> units;
    bool unitless = false;  // a subcommand that takes no unit, or --help / --version
    bool json = false;
    unsigned jobs = 0;
    std::string capture;  // --capture FILE
};

// A warning on stderr; the command goes on.
void Warn(bool json, const std::string& message) {
    if (json)
        std::fprintf(stderr, "%s\n", zelctl::Json{{"warning", message}}.dump().c_str());
    else
        std::fprintf(stderr, "zelctl: warning: %s\n", message.c_str());
}

// The capture file of the whole command line, held open by an instance of its own (which talks to
// no unit) from before the first unit's session until after the last: the units' sessions join
// it, so that several units, run in parallel or one after another, write one file. A file that
// cannot be written is one warning (at the start, or at the end for a write that failed), and the
// sessions then capture nothing.
class CaptureHolder {
public:
    CaptureHolder(std::string& path, bool json) : json_(json) {
        if (path.empty()) return;
        holder_ = zel_createInstance();
        if (holder_ != nullptr && zel_StartCapture(holder_, path.c_str()) == 1) {
            path_ = path;
            return;
        }
        Warn(json, "cannot capture to " + path + ": " +
                       zel_ErrorText(holder_ != nullptr ? zel_LastError(holder_) : ZEL_ERR_INTERNAL));
        path.clear();
    }
    ~CaptureHolder() {
        if (holder_ == nullptr) return;
        if (!path_.empty() && zel_StopCapture(holder_) == 0)
            Warn(json_, "the capture " + path_ + " is incomplete: " + zel_ErrorText(zel_LastError(holder_)));
        zel_destroyInstance(holder_);
    }
    CaptureHolder(const CaptureHolder&) = delete;
    CaptureHolder& operator=(const CaptureHolder&) = delete;

private:
    zel_instance* holder_ = nullptr;
    std::string path_;
    bool json_;
};

Plan PlanUnits(int argc, char** argv, const zelctl::GlobalOptions& defaults) {
    zelctl::GlobalOptions options = defaults;
    std::optional<std::uint32_t> timeout_given;
    CLI::App scan;
    scan.allow_extras();
    scan.set_help_flag();
    scan.add_option("--unit", options.units)->allow_extra_args(false);
    scan.add_option("--station", options.station);
    scan.add_option("--timeout", options.timeout_ms)->each([&](const std::string& t) {
        timeout_given = std::stoul(t, nullptr, 0);
    });
    scan.add_option("--jobs", options.jobs);
    scan.add_option("--log", options.log);
    scan.add_flag("--json", options.json);
    scan.add_option("--capture", options.capture);
    scan.parse(argc, argv);  // what fails here fails again, with the right message, in Execute
    Plan plan;
    plan.json = options.json;
    plan.capture = options.capture;
    plan.jobs = options.jobs;
    for (const auto& extra : scan.remaining()) {
        if (extra == "--help" || extra == "-h" || extra == "--version" || extra == "--help-all") plan.unitless = true;
    }
    const std::vector<std::string> rest = scan.remaining();
    const auto first = std::find_if(rest.begin(), rest.end(), [](const std::string& a) { return a[0] != '-'; });
    if (first != rest.end()) {
        for (const char* name : kUnitless) {
            if (*first == name) plan.unitless = true;
        }
    }
    std::optional<zelctl::Station> station;
    if (!options.station.empty() && !plan.unitless) station = zelctl::LoadStation(options.station);
    std::vector<std::string> values = options.units;
    if (values.empty()) values.push_back(defaults.unit);
    plan.units = zelctl::ResolveUnits(values, station ? &*station : nullptr, timeout_given, options.timeout_ms);
    return plan;
}

// --log FILE, wherever it is on the command line, read before anything else so that a command line
// that fails to parse is logged too.
std::string LogPath(int argc, char** argv) {
    std::string path;
    CLI::App scan;
    scan.allow_extras();
    scan.set_help_flag();
    scan.add_option("--log", path);
    try {
        scan.parse(argc, argv);
    } catch (const CLI::ParseError&) {
        return {};  // --log without a file: Execute reports it
    }
    return path;
}

// Runs the command line on its unit or units; `logged` gets the outcome on each unit.
int Run(int argc, char** argv, const std::vector<std::string>& args, zelctl::GlobalOptions defaults, bool json_errors,
        std::vector<zelctl::LoggedRun>& logged) {
    std::string unit = "-";  // a command on no unit
    try {
        Plan plan;
        try {
            plan = PlanUnits(argc, argv, defaults);
        } catch (const CLI::ParseError&) {
            plan.unitless = true;  // Execute reports it
        }
        if (!plan.unitless) defaults.capture = plan.capture;
        const CaptureHolder capture(defaults.capture, plan.json);
        if (plan.unitless || plan.units.size() <= 1) {
            zelctl::GlobalOptions options = defaults;
            if (!plan.units.empty()) {
                options.unit = plan.units.front().address;
                options.timeout_ms = plan.units.front().timeout_ms;
                if (!plan.unitless) unit = options.unit;
            }
            const int code = Execute(argc, argv, options, args);
            logged.push_back({unit, code, {}});
            return code;
        }
        const auto runs = zelctl::RunOnUnits(plan.units, plan.jobs, [&](const zelctl::UnitTarget& target) {
            zelctl::GlobalOptions options = defaults;
            options.unit = target.address;
            options.timeout_ms = target.timeout_ms;
            return Execute(argc, argv, options, args);
        });
        for (const auto& run : runs) logged.push_back({run.unit.address, run.exit_code, run.error});
        // The same usage error on every unit is one error of the command line: reported once, as for one unit.
        const bool same_usage_error = std::all_of(runs.begin(), runs.end(), [&](const zelctl::UnitRun& r) {
            return r.exit_code == zelctl::kExitUsage && r.error == runs.front().error;
        });
        if (same_usage_error) {
            zelctl::GlobalOptions options = defaults;
            options.unit = plan.units.front().address;
            options.timeout_ms = plan.units.front().timeout_ms;
            return Execute(argc, argv, options, args);
        }
        return zelctl::PrintRuns(runs, plan.json);
    } catch (const ParseFailure& e) {
        if (logged.empty()) logged.push_back({unit, e.code(), e.what()});
        return Fail(json_errors, e.code(), e.what(), e.hint_help);
    } catch (const zelctl::Failure& e) {
        if (logged.empty()) logged.push_back({unit, e.code(), e.what()});
        return Fail(json_errors, e.code(), e.what());
    } catch (const std::exception& e) {
        if (logged.empty()) logged.push_back({unit, zelctl::kExitUnit, e.what()});
        return Fail(json_errors, zelctl::kExitUnit, e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool json_errors = WantsJson(args);

    zelctl::GlobalOptions defaults;
    const char* env_unit = std::getenv("ZEL_UNIT");
    defaults.unit = env_unit != nullptr && *env_unit != '\0' ? env_unit : "127.0.0.1";
    const char* env_station = std::getenv("ZEL_STATION");
    if (env_station != nullptr) defaults.station = env_station;
    const char* env_timeout = std::getenv("ZEL_TIMEOUT_MS");
    if (env_timeout != nullptr && *env_timeout != '\0') {
        char* end = nullptr;
        const unsigned long long ms = std::strtoull(env_timeout, &end, 10);
        if (*end != '\0' || *env_timeout == '-' || ms > 0xFFFFFFFFull) {
            return Fail(json_errors, zelctl::kExitUsage,
                        std::string("ZEL_TIMEOUT_MS must be a number of milliseconds, not '") + env_timeout + "'");
        }
        defaults.timeout_ms = static_cast<std::uint32_t>(ms);
    }

    // The log opens before anything is sent: a command that could not be logged does not run.
    std::optional<zelctl::AuditLog> log;
    const std::string log_path = LogPath(argc, argv);
    try {
        if (!log_path.empty()) log.emplace(log_path);
    } catch (const zelctl::Failure& e) {
        return Fail(json_errors, e.code(), e.what());
    }
    const zelctl::CommandInterrupts interrupts;
    const std::string started = zelctl::UtcNow(false);
    std::vector<zelctl::LoggedRun> logged;
    const int code = Run(argc, argv, args, defaults, json_errors, logged);
    if (!log) return code;
    try {
        log->Append(started, logged, args);
    } catch (const zelctl::Failure& e) {
        Fail(json_errors, e.code(), e.what());
        return code == zelctl::kExitOk ? e.code() : code;
    }
    return code;
}
