// A station: the units of one test bench by name, read from a TOML file.
//
//   timeout_ms = 2000              # optional: the time-out of every unit that names none
//   [units.bay3]
//   address = "127.0.0.7"          # IPv4 dotted quad
//   label = "DUT rack A, slot 3"   # optional
//   timeout_ms = 5000              # optional
//
// The units keep the order of the file. Nothing here talks to a unit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelctl {

struct StationUnit {
    std::string name;
    std::string address;
    std::string label;                        // empty when the file gives none
    std::optional<std::uint32_t> timeout_ms;  // the unit's own, else the station's
    int line = 0;                             // where the unit's table starts in the file
};

struct Station {
    std::string path;
    std::optional<std::uint32_t> timeout_ms;
    std::vector<StationUnit> units;

    // The unit called `name`, or null.
    const StationUnit* Find(const std::string& name) const;
};

// Reads and checks a station file. A file that cannot be read, is not TOML, or holds an unknown
// key, a unit without an address, a malformed address, a value of the wrong type, or two units of
// one name or address: Failure(kExitFile, "<path>:<line>: <what is wrong>").
Station LoadStation(const std::string& path);
// The same for the text of a file (`path` only names it in messages).
Station ParseStation(const std::string& text, const std::string& path);

// True for an IPv4 dotted quad: four decimal numbers 0..255 without leading zeros.
bool IsDottedQuad(const std::string& text);

// One unit a command runs on: its name (the station name, else the address), its address and its
// time-out.
struct UnitTarget {
    std::string name;
    std::string address;
    std::uint32_t timeout_ms = 0;
    bool from_station = false;
};

// The units named by the --unit values: each value is a comma list of addresses and station names;
// "all" is every unit of the station, in file order. A unit named twice runs once, at its first
// place. The time-out: `forced_ms` when set (--timeout on the command line), else the unit's own,
// else the station's, else `fallback_ms`. Failure(kExitUsage) for an empty item, "all" without a
// station, or, with a station, a name that is neither an address nor one of its units (without a
// station every item is an address, and the library refuses one it cannot reach).
std::vector<UnitTarget> ResolveUnits(const std::vector<std::string>& values, const Station* station,
                                     std::optional<std::uint32_t> forced_ms, std::uint32_t fallback_ms);

}  // namespace zelctl
