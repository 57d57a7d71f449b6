// Command line of zel-unit-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelsim/model.h"
#include "zelsim/server.h"

namespace zelsim {

// Exit status of zel-unit-sim.
enum ExitCode : int {
    kExitOk = 0,         // stopped on request, or after --help and --version
    kExitFailure = 1,    // a listen address cannot be served, or the start failed otherwise
    kExitUsage = 2,      // bad arguments, or --board-type against the board type of an existing image
    kExitImageFile = 3,  // an EEPROM image or the --replay capture cannot be read, or an image cannot be saved
};

struct SimOptions {
    std::vector<std::string> listen;  // one unit per address
    std::uint16_t port = 6653;
    bool allow_remote = false;
    UnitConfig unit;                 // shared settings; every unit gets its own model (and image file)
    bool wavelengths_given = false;  // --wavelengths on the command line (refused with an existing image)
    bool board_type_given = false;   // --board-type on the command line (else an image's own board type wins)
    bool serial_given = false;       // --serial on the command line (one address only)
    ServerLimits limits;             // per unit
    std::string replay;              // --replay: a capture whose unit this simulator plays
    std::string replay_unit;         // --replay-unit: that unit's address, for a capture of several
    bool replay_timing = false;      // --replay-timing: with the captured delays
    bool replay_fallback = false;    // --replay-fallback: the simulated unit answers past a difference
};

// Parses argv into `out`. Returns -1 when the program should go on, otherwise the
// exit status (kExitOk after --help, kExitUsage after an error, which has been printed).
int ParseCommandLine(int argc, const char* const* argv, SimOptions& out);

// True for IPv4 addresses in 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& address);

// The serial number of the unit at `address` in a simulator of several units: the factory serial's
// upper half with the address as the lower half (127.0.0.5 -> 0x000720247F000005), so that every
// unit has a serial (and with it a factory calibration) of its own, the same in every run.
std::uint64_t SerialForAddress(const std::string& address);

// Image file of one unit: `base` itself for a single unit; with several units the
// address goes in before the extension: units.img -> units-127.0.0.2.img.
std::string EepromFileFor(const std::string& base, const std::string& address, std::size_t units);

}  // namespace zelsim
