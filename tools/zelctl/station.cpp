#include "station.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "failure.h"

namespace zelctl {

namespace {

[[noreturn]] void FailAt(const std::string& path, int line, const std::string& what) {
    throw Failure(kExitFile, path + ":" + std::to_string(line) + ": " + what);
}

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

const char* TypeName(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number with a fraction";
        case toml::node_type::boolean:
            return "a boolean";
        default:
            return "a date or time";
    }
}

std::string Expected(const std::string& key, const char* wanted, const toml::node& node) {
    return "'" + key + "' must be " + wanted + ", not " + TypeName(node);
}

std::uint32_t TimeoutOf(const std::string& path, const std::string& key, const toml::node& node) {
    const auto* value = node.as_integer();
    if (value == nullptr) FailAt(path, LineOf(node), Expected(key, "a whole number of milliseconds", node));
    const std::int64_t ms = value->get();
    if (ms < 0 || ms > 0xFFFFFFFFll) {
        FailAt(path, LineOf(node), "'" + key + "' = " + std::to_string(ms) + " is outside 0..4294967295 ms");
    }
    return static_cast<std::uint32_t>(ms);
}

std::string StringOf(const std::string& path, const std::string& key, const toml::node& node) {
    const auto* value = node.as_string();
    if (value == nullptr) FailAt(path, LineOf(node), Expected(key, "a string", node));
    return value->get();
}

// Names stand in comma lists beside addresses: letters, digits, '_' and '-', not an address, not "all".
bool IsUnitName(const std::string& name) {
    if (name.empty() || name == "all") return false;
    bool only_digits_and_dots = true;
    for (const unsigned char c : name) {
        if (!std::isalnum(c) && c != '_' && c != '-' && c != '.') return false;
        if (!std::isdigit(c) && c != '.') only_digits_and_dots = false;
    }
    return !only_digits_and_dots && name.find('.') == std::string::npos;
}

StationUnit UnitOf(const std::string& path, const std::string& name, const toml::node& node) {
    const auto* table = node.as_table();
    if (table == nullptr) FailAt(path, LineOf(node), Expected("units." + name, "a table", node));
    if (!IsUnitName(name)) {
        FailAt(path, LineOf(node),
               "unit name '" + name + "' must be letters, digits, '_' and '-' (and neither 'all' nor an address)");
    }
    StationUnit unit;
    unit.name = name;
    unit.line = LineOf(node);
    bool has_address = false;
    for (const auto& [key_node, value] : *table) {
        const std::string key(key_node.str());
        if (key == "address") {
            unit.address = StringOf(path, key, value);
            if (!IsDottedQuad(unit.address)) {
                FailAt(path, LineOf(value),
                       "address '" + unit.address + "' of unit " + name +
                           " is not an IPv4 address (four numbers 0..255, e.g. 10.0.0.7)");
            }
            has_address = true;
        } else if (key == "label") {
            unit.label = StringOf(path, key, value);
        } else if (key == "timeout_ms") {
            unit.timeout_ms = TimeoutOf(path, key, value);
        } else {
            FailAt(path, LineOf(value),
                   "unknown key '" + key + "' in unit " + name + " (a unit has address, label and timeout_ms)");
        }
    }
    if (!has_address) FailAt(path, unit.line, "unit " + name + " has no address");
    return unit;
}

}  // namespace

const StationUnit* Station::Find(const std::string& name) const {
    for (const auto& unit : units) {
        if (unit.name == name) return &unit;
    }
    return nullptr;
}

bool IsDottedQuad(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        const std::size_t start = i;
        unsigned value = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && i - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
        }
        const std::size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        if (++parts == 4) return i == text.size();
        if (i >= text.size() || text[i] != '.') return false;
        ++i;
    }
}

Station ParseStation(const std::string& text, const std::string& path) {
    toml::table root;
    try {
        root = toml::parse(text, path);
    } catch (const toml::parse_error& e) {
        FailAt(path, static_cast<int>(e.source().begin.line), std::string(e.description()));
    }
    Station station;
    station.path = path;
    for (const auto& [key_node, value] : root) {
        const std::string key(key_node.str());
        if (key == "timeout_ms") {
            station.timeout_ms = TimeoutOf(path, key, value);
        } else if (key == "units") {
            const auto* units = value.as_table();
            if (units == nullptr) FailAt(path, LineOf(value), Expected(key, "a table of units ([units.NAME])", value));
            for (const auto& [name, unit] : *units)
                station.units.push_back(UnitOf(path, std::string(name.str()), unit));
        } else {
            FailAt(path, LineOf(value), "unknown key '" + key + "' (a station has timeout_ms and [units.NAME] tables)");
        }
    }
    if (station.units.empty()) FailAt(path, 1, "no units: add a [units.NAME] table with an address");
    // toml++ keeps a table's keys sorted; the file's order is the order of their lines.
    std::stable_sort(station.units.begin(), station.units.end(),
                     [](const StationUnit& a, const StationUnit& b) { return a.line < b.line; });
    std::set<std::string> addresses;
    for (const auto& unit : station.units) {
        if (!addresses.insert(unit.address).second) {
            const auto first = std::find_if(station.units.begin(), station.units.end(),
                                            [&](const StationUnit& u) { return u.address == unit.address; });
            FailAt(path, unit.line,
                   "unit " + unit.name + " has the address " + unit.address + " of unit " + first->name +
                       " (one unit, one name)");
        }
    }
    return station;
}

Station LoadStation(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitFile, "cannot read the station file " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return ParseStation(text.str(), path);
}

std::vector<UnitTarget> ResolveUnits(const std::vector<std::string>& values, const Station* station,
                                     std::optional<std::uint32_t> forced_ms, std::uint32_t fallback_ms) {
    std::vector<UnitTarget> targets;
    std::set<std::string> seen;
    const auto add = [&](UnitTarget target) {
        if (seen.insert(target.address).second) targets.push_back(std::move(target));
    };
    const auto from_station = [&](const StationUnit& unit) {
        UnitTarget target{unit.name, unit.address, fallback_ms, true};
        if (forced_ms) {
            target.timeout_ms = *forced_ms;
        } else if (unit.timeout_ms) {
            target.timeout_ms = *unit.timeout_ms;
        } else if (station->timeout_ms) {
            target.timeout_ms = *station->timeout_ms;
        }
        return target;
    };
    for (const auto& value : values) {
        std::size_t begin = 0;
        while (begin <= value.size()) {
            std::size_t end = value.find(',', begin);
            if (end == std::string::npos) end = value.size();
            const std::string item = value.substr(begin, end - begin);
            begin = end + 1;
            if (item.empty()) throw Failure(kExitUsage, "--unit '" + value + "' has an empty item");
            if (item == "all") {
                if (station == nullptr) throw Failure(kExitUsage, "--unit all needs a station (--station FILE)");
                for (const auto& unit : station->units) add(from_station(unit));
            } else if (const StationUnit* unit = station != nullptr ? station->Find(item) : nullptr) {
                add(from_station(*unit));
            } else if (IsDottedQuad(item)) {
                // An address of a station unit goes by the unit's name and time-out.
                const StationUnit* known = nullptr;
                if (station != nullptr) {
                    for (const auto& u : station->units) {
                        if (u.address == item) known = &u;
                    }
                }
                add(known != nullptr ? from_station(*known)
                                     : UnitTarget{item, item, forced_ms.value_or(fallback_ms), false});
            } else if (station == nullptr) {
                // Not an address the library can reach: its connect says so, as for any address.
                add(UnitTarget{item, item, forced_ms.value_or(fallback_ms), false});
            } else {
                throw Failure(kExitUsage,
                              "--unit " + item + ": no such unit in " + station->path + " and not an IPv4 address");
            }
        }
    }
    return targets;
}

}  // namespace zelctl
