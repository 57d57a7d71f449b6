// Argument checks with messages that name what is accepted, and the diagnosis of a mistyped subcommand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace zelctl {

// A number as a user would type it: "35", "12.5", "0.001".
std::string Number(double value);

// "35 dB is outside 0..30 dB" (unit may be empty: "16 is outside 0..15").
std::string OutsideRange(double value, double low, double high, const std::string& unit = "");

// Validator for a numeric option or positional: refuses values outside low..high, naming the range.
CLI::Validator InRange(double low, double high, const std::string& unit = "");
// The same for addresses, named in hex: "0x20000 is outside 0x0..0x1FFFF".
CLI::Validator AddressInRange(unsigned low, unsigned high);

// Edit distance of two words, counting a swap of neighbouring letters as one edit ("inof" -> "info").
std::size_t EditDistance(const std::string& a, const std::string& b);

// After a failed parse: when the command line names a subcommand that its parent does not have, the
// message that says so ("unknown subcommand 'voa st'; did you mean 'voa set'?"); when it stops where a
// subcommand is needed, the message naming the choices; else nothing.
std::optional<std::string> UnknownSubcommand(CLI::App& app, const std::vector<std::string>& args);

}  // namespace zelctl
