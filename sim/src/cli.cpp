#include "cli.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <set>

#include "sys.h"
#include "zelsim/factory.h"

namespace zelsim {

bool IsLoopbackAddress(const std::string& address) {
    std::uint32_t a = 0;
    if (!sys::ParseIPv4(address, a)) return false;
    return (a >> 24) == 127;
}

std::uint64_t SerialForAddress(const std::string& address) {
    std::uint32_t a = 0;
    sys::ParseIPv4(address, a);
    return (UnitConfig{}.serial & 0xFFFF'FFFF'0000'0000ull) | a;
}

std::string EepromFileFor(const std::string& base, const std::string& address, std::size_t units) {
    if (units <= 1 || base.empty()) return base;
    const std::size_t slash = base.find_last_of('/');
    const std::size_t dot = base.find_last_of('.');
    const bool has_ext = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    if (!has_ext) return base + "-" + address;
    return base.substr(0, dot) + "-" + address + base.substr(dot);
}

namespace {

// "CH=UW" -> channel select and microwatts.
void ParsePower(const std::string& text, UnitConfig& unit) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) throw CLI::ValidationError("--power", "expected CH=UW, got '" + text + "'");
    std::size_t used = 0;
    unsigned long ch = 0;
    double uw = 0;
    try {
        ch = std::stoul(text.substr(0, eq), &used);
        if (used != eq) throw std::invalid_argument("channel");
        const std::string value = text.substr(eq + 1);
        uw = std::stod(value, &used);
        if (used != value.size()) throw std::invalid_argument("power");
    } catch (const std::exception&) {
        throw CLI::ValidationError("--power", "expected CH=UW, got '" + text + "'");
    }
    if (ch >= kChannels) throw CLI::ValidationError("--power", "channel must be 0..7 in '" + text + "'");
    if (!(uw >= 0.0) || !std::isfinite(uw))
        throw CLI::ValidationError("--power", "power must be >= 0 in '" + text + "'");
    unit.input_power_uw[ch] = uw;
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, SimOptions& out) {
    CLI::App app{
        "Simulated fibre-optic test unit: serves the unit's register and EEPROM protocol on TCP port 6653.\n"
        "Runs until SIGINT or SIGTERM, then saves the EEPROM image (with --eeprom) and exits."};
    app.set_version_flag("--version", "zel-unit-sim " ZEL_VERSION);
    app.footer(
        "Exit codes: 0 stopped by SIGINT or SIGTERM (or after --help, --version); 1 a listen address cannot be "
        "served (in use, not on this host); 2 bad arguments, or a --board-type that differs from the board type in "
        "an existing --eeprom image, or --wavelengths with one, or a --replay capture of several units without "
        "--replay-unit (or without that unit); 3 the --eeprom image cannot be read, does not hold a "
        "128 KiB image, or cannot "
        "be saved (missing directory, no permission), or the --replay capture cannot be read.");
    std::vector<std::string> listen;
    std::vector<std::string> powers;
    std::vector<std::uint16_t> wavelengths;
    double firmware = out.unit.firmware_tenths / 10.0;
    UnitConfig& u = out.unit;

    app.add_option("--listen", listen,
                   "Address of a unit (repeatable: one unit per address, e.g. 127.0.0.1 127.0.0.2); "
                   "default 127.0.0.1");
    app.add_option("--port", out.port, "TCP port")->capture_default_str();
    app.add_flag("--allow-remote", out.allow_remote, "Allow listen addresses outside 127.0.0.0/8");
    auto* board_type = app.add_option("--board-type", u.board_type,
                                      "Board type stored in EEPROM record 0 (0..7); an existing --eeprom image "
                                      "keeps its own, and a different --board-type is refused");
    board_type->check(CLI::Range(0, kBoardTypes - 1))->capture_default_str();
    app.add_option("--board-id", u.board_id, "Board ID (register 20)")->capture_default_str();
    app.add_option("--firmware", firmware, "Firmware revision, e.g. 12.3 (register 9 holds tenths)")
        ->check(CLI::Range(0.0, 6553.5))
        ->capture_default_str();
    auto* serial = app.add_option("--serial", u.serial,
                                  "64-bit serial number (registers 21..24, low word first; register 25 = check "
                                  "word) of a simulator with one --listen address; with several, each unit's serial "
                                  "number follows from its address (127.0.0.5: 0x000720247F000005)")
                       ->capture_default_str();
    app.add_option("--wavelengths", wavelengths, "Calibrated wavelengths (nm) of slots 1..5, e.g. 1550,1490,1625")
        ->delimiter(',');
    app.add_option("--power", powers, "Optical input power of a channel, CH=UW (microwatts; repeatable)");
    app.add_option("--eeprom", u.eeprom_file,
                   "EEPROM image file, loaded at start (missing: factory image) and saved on change; "
                   "with several units each gets FILE-ADDR.EXT");
    app.add_option("--seed", u.seed, "Seed of power noise and temperature drift")->capture_default_str();
    app.add_option("--max-connections", out.limits.max_connections,
                   "Connections served at once per unit; more are accepted and closed at once")
        ->check(CLI::Range(std::size_t{1}, std::size_t{4096}))
        ->capture_default_str();
    app.add_option("--idle-timeout-ms", out.limits.idle_timeout_ms,
                   "Close a connection that sends no complete request for this long (0: never)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--send-timeout-ms", out.limits.send_timeout_ms,
                   "Close a connection whose host stops reading replies for this long (0: never)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_flag("-v,--verbose", u.verbose, "Log connections, decoded frames, screen byte and switch positions");
    app.add_option("--replay", out.replay,
                   "Play the unit of a capture (pcap or pcapng of port 6653): each request is answered with the "
                   "reply captured for it at the same place of the conversation, connection by connection; the "
                   "first request that differs is logged and its connection closed")
        ->type_name("FILE");
    app.add_option("--replay-unit", out.replay_unit, "The unit of a capture of several to play (its address)")
        ->type_name("ADDR");
    app.add_flag("--replay-timing", out.replay_timing, "Replay with the captured time between request and reply");
    app.add_flag("--replay-fallback", out.replay_fallback,
                 "After a request that differs from the capture, the simulated unit answers instead of a close");

    try {
        app.parse(argc, argv);
        for (const auto& p : powers) ParsePower(p, u);
        if (wavelengths.size() > 5) throw CLI::ValidationError("--wavelengths", "at most 5 extra wavelengths");
        std::set<std::uint16_t> calibrated;
        for (std::uint16_t wl : wavelengths) {
            if (wl == 0) throw CLI::ValidationError("--wavelengths", "0 nm is not a wavelength");
            if (wl == 0xFFFF) throw CLI::ValidationError("--wavelengths", "65535 marks a free slot");
            if (!calibrated.insert(wl).second)
                throw CLI::ValidationError("--wavelengths", std::to_string(wl) + " nm given twice");
        }
        out.wavelengths_given = !wavelengths.empty();
        u.extra_wavelengths = wavelengths;
        out.board_type_given = board_type->count() > 0;
        out.serial_given = serial->count() > 0;
        u.firmware_tenths = static_cast<std::uint16_t>(std::lround(firmware * 10.0));
        out.listen = listen.empty() ? std::vector<std::string>{"127.0.0.1"} : listen;
        std::set<std::string> seen;
        for (const auto& a : out.listen) {
            std::uint32_t parsed = 0;
            if (!sys::ParseIPv4(a, parsed)) {
                throw CLI::ValidationError("--listen", "'" + a + "' is not an IPv4 address");
            }
            if (!out.allow_remote && !IsLoopbackAddress(a)) {
                throw CLI::ValidationError("--listen",
                                           a + " is not a loopback address (use --allow-remote to serve it)");
            }
            if (!seen.insert(a).second) throw CLI::ValidationError("--listen", a + " given twice");
        }
        if (out.replay.empty() && (!out.replay_unit.empty() || out.replay_timing || out.replay_fallback))
            throw CLI::ValidationError("--replay-unit, --replay-timing and --replay-fallback go with --replay FILE");
        if (!out.replay.empty() && out.listen.size() > 1)
            throw CLI::ValidationError("--replay", "plays one unit: give one --listen address");
        if (out.serial_given && out.listen.size() > 1) {
            throw CLI::ValidationError("--serial",
                                       "names the serial number of one unit: give one --listen address "
                                       "(each of several units has its own, from its address)");
        }
    } catch (const CLI::ParseError& e) {
        // CLI11 prints the help, the version or the error; its own codes (100 and up) are not ours.
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    return -1;
}

}  // namespace zelsim
