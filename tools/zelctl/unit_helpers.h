// Helpers the unit subcommands share.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <vector>

#include "common.h"

namespace zelctl {

// The wiring of a subcommand: once the command line has filled in its options, `run` does the work
// with a session of the unit (connected the first time it is needed) and the --json choice.
template <typename Options>
void RunWithSession(CLI::App* sub, const GlobalOptions& g, std::shared_ptr<Options> options,
                    void (*run)(Session&, const Options&, bool json)) {
    sub->callback([&g, options = std::move(options), run] {
        Session s(g);
        run(s, *options, g.json);
    });
}
// The same for a subcommand without options of its own.
inline void RunWithSession(CLI::App* sub, const GlobalOptions& g, void (*run)(Session&, bool json)) {
    sub->callback([&g, run] {
        Session s(g);
        run(s, g.json);
    });
}

// -c/--channel on a subcommand.
void AddChannelOption(CLI::App* sub, std::optional<int>& channel, bool required);
// The channel asked for (refused when the board does not have it), else every channel of the board.
std::vector<int> ChannelsToShow(Session& s, const std::optional<int>& channel);
// Identity of the unit (info and demo).
Record IdentityRecord(Session& s);
// The temperature word of a select (hundredths of a degree Celsius); fails when the read fails.
double ReadTemperatureWord(Session& s, int select);

// The switch `name` ("2x2", "mems", "lbmm"; `channel` only for the 2x2 switch) set to `position`, a channel
// or position the board does not have refused (kExitUsage) before anything is set; and its position read.
void SetSwitch(Session& s, const std::string& name, int channel, unsigned position);
std::uint16_t ReadSwitch(Session& s, const std::string& name, int channel);

// An attenuation (dB, 0..30) or, with `code`, a VOA drive code (a whole number, 0..4095) refused
// (kExitUsage) when the attenuator cannot take it.
void RequireVoaValue(double value, bool code);

double ReadAttenuationDb(Session& s, int channel);
void SetAttenuationDb(Session& s, int channel, double db);
// A calibrated power reading; `over_range` when a sample was at the top of the detector's range,
// `uw` then only a lower bound of the power.
struct PowerReading {
    double uw = 0;
    bool over_range = false;
};
PowerReading ReadPower(Session& s, int channel);
// ReadPower, an over-range reading failing (kExitUnit) with OverRangeText.
double ReadPowerUw(Session& s, int channel);
std::string OverRangeText(double uw);  // "over range (at least X uW)"
std::string PowerDbm(double uw);       // "below range" without light
Json PowerDbmJson(double uw);          // null without light

}  // namespace zelctl
