#include "commands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "args.h"
#include "common.h"

namespace {

constexpr const char* kExitCodes =
    "Exit codes: 0 success; 1 the unit failed, refused or did not answer; 2 bad arguments (option, address, "
    "channel, wavelength or value the unit does not have, a clock plan that cannot be met); 3 a file cannot be "
    "read or written, or does not fit the unit; 4 a restore or load read back other bytes than it wrote; 130 Ctrl-C "
    "stopped a restore or load after the record in flight (running it again completes it).";

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

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool json_errors = WantsJson(args);

    CLI::App app{"zelctl: command-line host for zel_api"};
    app.set_version_flag("--version", "zelctl " ZEL_VERSION);
    app.require_subcommand(1);
    app.fallthrough();

    zelctl::GlobalOptions unit_options;
    const char* env_unit = std::getenv("ZEL_UNIT");
    unit_options.unit = env_unit != nullptr && *env_unit != '\0' ? env_unit : "127.0.0.1";
    app.add_option("--unit", unit_options.unit, "IPv4 address of the unit (default: $ZEL_UNIT, else 127.0.0.1)");
    app.add_flag("--json", unit_options.json, "Machine-readable output; errors, too, are JSON (on stderr)");
    app.add_flag("--trace", unit_options.trace, "Print every frame sent and received as hex on stderr");
    const char* env_timeout = std::getenv("ZEL_TIMEOUT_MS");
    if (env_timeout != nullptr && *env_timeout != '\0') {
        char* end = nullptr;
        const unsigned long long ms = std::strtoull(env_timeout, &end, 10);
        if (*end != '\0' || *env_timeout == '-' || ms > 0xFFFFFFFFull) {
            return Fail(json_errors, zelctl::kExitUsage,
                        std::string("ZEL_TIMEOUT_MS must be a number of milliseconds, not '") + env_timeout + "'");
        }
        unit_options.timeout_ms = static_cast<std::uint32_t>(ms);
    }
    app.add_option("--timeout", unit_options.timeout_ms,
                   "Time-out in ms for connecting, sending each request and waiting for each reply; a call gives up "
                   "after about one time-out (default: $ZEL_TIMEOUT_MS, else 5000; 0 = the library's 100 s)")
        ->check(zelctl::InRange(0, 0xFFFFFFFFu, "ms"));

    zelctl::AddClockCommands(app, unit_options);
    zelctl::AddUnitCommands(app, unit_options);
    zelctl::AddOpticsCommands(app, unit_options);
    zelctl::AddWavelengthCommands(app, unit_options);
    zelctl::AddEepromCommands(app, unit_options);
    zelctl::AddCalibCommands(app, unit_options);
    zelctl::AddDemoCommand(app, unit_options);
    // Set after the subcommands exist, which would otherwise inherit it: the table appears on the top-level help only.
    app.footer(kExitCodes);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        if (const auto unknown = zelctl::UnknownSubcommand(app, args))
            return Fail(json_errors, zelctl::kExitUsage, *unknown);
        return Fail(json_errors, zelctl::kExitUsage, e.what(), true);
    } catch (const zelctl::Failure& e) {
        return Fail(json_errors, e.code(), e.what());
    } catch (const std::exception& e) {
        return Fail(json_errors, zelctl::kExitUnit, e.what());
    }
    return zelctl::kExitOk;
}
