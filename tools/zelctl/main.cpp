#include "commands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "common.h"

int main(int argc, char** argv) {
  CLI::App app{"zelctl: command-line host for zel_api"};
  app.set_version_flag("--version", "zelctl " ZEL_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  app.footer(
      "Exit codes: 0 success; 1 the unit failed, refused or did not answer; 2 bad arguments (option, address, "
      "channel or wavelength the unit does not have); 3 a file cannot be read or written, or does not fit the unit; "
      "4 a restore or load read back other bytes than it wrote; 130 Ctrl-C stopped a restore or load after the "
      "record in flight (running it again completes it).");
  zelctl::Context context;

  zelctl::GlobalOptions unit_options;
  const char* env_unit = std::getenv("ZEL_UNIT");
  unit_options.unit = env_unit != nullptr && *env_unit != '\0' ? env_unit : "127.0.0.1";
  app.add_option("--unit", unit_options.unit, "IPv4 address of the unit (default: $ZEL_UNIT, else 127.0.0.1)");
  app.add_flag("--json", unit_options.json, "Machine-readable output");
  app.add_flag("--trace", unit_options.trace, "Print every frame sent and received as hex on stderr");
  const char* env_timeout = std::getenv("ZEL_TIMEOUT_MS");
  if (env_timeout != nullptr && *env_timeout != '\0') {
    char* end = nullptr;
    const unsigned long long ms = std::strtoull(env_timeout, &end, 10);
    if (*end != '\0' || *env_timeout == '-' || ms > 0xFFFFFFFFull) {
      std::fprintf(stderr, "zelctl: ZEL_TIMEOUT_MS must be a number of milliseconds, not '%s'\n", env_timeout);
      return zelctl::kExitUsage;
    }
    unit_options.timeout_ms = static_cast<uint32_t>(ms);
  }
  app.add_option("--timeout", unit_options.timeout_ms,
                 "Time-out in ms for connecting, sending each request and waiting for each reply; a call gives up "
                 "after about one time-out (default: $ZEL_TIMEOUT_MS, else 5000; 0 = the library's 100 s)")
      ->check(CLI::Range(0u, 0xFFFFFFFFu));

  zelctl::register_clock_commands(app, context);
  zelctl::AddUnitCommands(app, unit_options);
  zelctl::AddOpticsCommands(app, unit_options);
  zelctl::AddWavelengthCommands(app, unit_options);
  zelctl::AddEepromCommands(app, unit_options);
  zelctl::AddCalibCommands(app, unit_options);
  zelctl::AddDemoCommand(app, unit_options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    std::fprintf(stderr, "zelctl: %s\nRun with --help for more information.\n", e.what());
    return zelctl::kExitUsage;
  } catch (const zelctl::Failure& e) {
    std::fprintf(stderr, "zelctl: %s\n", e.what());
    return e.code();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zelctl: %s\n", e.what());
    return zelctl::kExitUnit;
  }
  return context.exit_code;
}
