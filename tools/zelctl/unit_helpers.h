// Helpers the unit subcommands share.
#pragma once

#include <optional>

#include "common.h"

namespace zelctl {

// -c/--channel on a subcommand.
void AddChannelOption(CLI::App* sub, std::optional<int>& channel, bool required);
// Identity of the unit (info and demo).
Record IdentityRecord(Session& s);
// The temperature word of a select (hundredths of a degree Celsius); fails when the read fails.
double ReadTemperatureWord(Session& s, int select);

double ReadAttenuationDb(Session& s, int channel);
void SetAttenuationDb(Session& s, int channel, double db);
double ReadPowerUw(Session& s, int channel);
std::string PowerDbm(double uw);

}  // namespace zelctl
