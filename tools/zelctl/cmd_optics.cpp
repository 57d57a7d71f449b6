// voa, power: attenuators and power monitors of the channels.
#include <CLI/CLI.hpp>
#include <cmath>

#include "args.h"
#include "sweep.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

std::vector<int> ChannelsToShow(Session& s, const std::optional<int>& channel) {
    if (channel) {
        s.RequireChannel(*channel);
        return {*channel};
    }
    std::vector<int> all;
    for (int c = 0; c < s.Channels(); ++c) all.push_back(c);
    return all;
}

std::string Channel(int c) { return "channel " + std::to_string(c); }

// The attenuator's range through the calibration.
constexpr double kMaxAttenuationDb = 30.0;

// --wavelength of the dB and power subcommands; not with the flag that bypasses the calibration.
void AddWavelengthOption(CLI::App* sub, std::optional<std::uint16_t>& nm, CLI::Option* uncalibrated) {
    sub->add_option("--wavelength", nm, "Use the calibration of this wavelength, in nm (default: the board's default)")
        ->excludes(uncalibrated);
}

void UseWavelengthIfGiven(Session& s, const std::optional<std::uint16_t>& nm) {
    if (nm) s.UseWavelength(*nm);
}

}  // namespace

double ReadAttenuationDb(Session& s, int channel) {
    double db = 0;
    s.CheckCalibrated(zel_ReadVOAAttenuation(s.Instance(), static_cast<std::uint16_t>(channel), &db) != 0, channel,
                      "VOA", "cannot read the attenuation of " + Channel(channel));
    return db;
}

double ReadPowerUw(Session& s, int channel) {
    double uw = 0;
    s.CheckCalibrated(zel_ReadOpticalPower(s.Instance(), static_cast<std::uint16_t>(channel), &uw) != 0, channel, "TAP",
                      "cannot read the optical power of " + Channel(channel));
    return uw;
}

void SetAttenuationDb(Session& s, int channel, double db) {
    s.CheckCalibrated(zel_SetVOAAttenuation(s.Instance(), static_cast<std::uint16_t>(channel), db) != 0, channel, "VOA",
                      "cannot set " + Fixed(db, 2) + " dB on " + Channel(channel));
}

std::string PowerDbm(double uw) {
    if (uw <= 0) return "-inf";
    const double dbm = 10.0 * std::log10(uw / 1000.0);
    return Fixed(std::fabs(dbm) < 0.005 ? 0.0 : dbm, 2);  // no "-0.00"
}

void AddOpticsCommands(CLI::App& app, const GlobalOptions& g) {
    auto* voa = app.add_subcommand("voa", "Variable optical attenuators")->require_subcommand(1);

    auto* get = voa->add_subcommand("get", "Read the attenuation in dB (default: every channel)");
    auto get_channel = std::make_shared<std::optional<int>>();
    auto get_code = std::make_shared<bool>(false);
    auto get_nm = std::make_shared<std::optional<std::uint16_t>>();
    AddChannelOption(get, *get_channel, false);
    AddWavelengthOption(get, *get_nm, get->add_flag("--code", *get_code, "Show the VOA drive code instead of dB"));
    get->callback([&g, get_channel, get_code, get_nm] {
        Session s(g);
        const std::vector<int> channels = ChannelsToShow(s, *get_channel);
        UseWavelengthIfGiven(s, *get_nm);
        Table table({{"channel", "Channel"},
                     *get_code ? Table::Column{"code", "Code"} : Table::Column{"db", "Attenuation (dB)"}});
        for (int c : channels) {
            if (*get_code) {
                std::uint16_t code = 0;
                s.CheckInstance(zel_ReadVOACode(s.Instance(), static_cast<std::uint16_t>(c), &code) != 0,
                                "cannot read the VOA code of " + Channel(c));
                table.AddRow({{c, std::to_string(c)}, {code, std::to_string(code)}});
            } else {
                const double db = ReadAttenuationDb(s, c);
                table.AddRow({{c, std::to_string(c)}, {db, Fixed(db, 2)}});
            }
        }
        table.Print(g.json);
    });

    auto* set =
        voa->add_subcommand("set", "Set the attenuation of a channel in dB (0..30) or, with --code, its drive code");
    auto set_channel = std::make_shared<std::optional<int>>();
    auto value = std::make_shared<double>(0);
    auto set_code = std::make_shared<bool>(false);
    auto set_nm = std::make_shared<std::optional<std::uint16_t>>();
    set->add_option("value", *value, "Attenuation in dB, or the code (0..4095) with --code")->required();
    AddChannelOption(set, *set_channel, true);
    AddWavelengthOption(set, *set_nm, set->add_flag("--code", *set_code, "The value is a VOA drive code"));
    set->callback([&g, set_channel, value, set_code, set_nm] {
        // Values the attenuator cannot take are refused before the unit is reached.
        if (*set_code) {
            if (!(*value >= 0 && *value <= 4095))
                throw Failure(kExitUsage, "VOA code " + OutsideRange(*value, 0, 4095));
            if (*value != std::floor(*value))
                throw Failure(kExitUsage, "VOA code " + Number(*value) + " is not a whole number");
        } else if (!(*value >= 0 && *value <= kMaxAttenuationDb)) {
            throw Failure(kExitUsage, OutsideRange(*value, 0, kMaxAttenuationDb, "dB"));
        }
        Session s(g);
        const int c = **set_channel;
        s.RequireChannel(c);
        Record r;
        r.Add("channel", "Channel", c);
        if (*set_code) {
            const auto code = static_cast<std::uint16_t>(*value);
            s.CheckInstance(zel_SetVOACode(s.Instance(), static_cast<std::uint16_t>(c), code) != 0,
                            "cannot set VOA code " + std::to_string(code) + " on " + Channel(c));
            r.Add("code", "Code", code);
        } else {
            UseWavelengthIfGiven(s, *set_nm);
            SetAttenuationDb(s, c, *value);
            const double db = ReadAttenuationDb(s, c);
            r.Add("set_db", "Set", *value, Fixed(*value, 2) + " dB")
                .Add("read_db", "Read back", db, Fixed(db, 2) + " dB");
        }
        r.Print(g.json);
    });

    AddVoaSweep(*voa, g);

    auto* power = app.add_subcommand("power", "Optical power behind the tap (default: every channel)");
    auto power_channel = std::make_shared<std::optional<int>>();
    auto raw = std::make_shared<bool>(false);
    auto power_nm = std::make_shared<std::optional<std::uint16_t>>();
    AddChannelOption(power, *power_channel, false);
    AddWavelengthOption(
        power, *power_nm,
        power->add_flag("--raw", *raw, "Show the averaged monitor count instead of the calibrated power"));
    power->callback([&g, power_channel, raw, power_nm] {
        Session s(g);
        const std::vector<int> channels = ChannelsToShow(s, *power_channel);
        UseWavelengthIfGiven(s, *power_nm);
        std::vector<Table::Column> columns{{"channel", "Channel"}};
        if (*raw) {
            columns.push_back({"count", "Count"});
        } else {
            columns.push_back({"power_uw", "Power (uW)"});
            columns.push_back({"power_dbm", "Power (dBm)"});
        }
        Table table(columns);
        for (int c : channels) {
            if (*raw) {
                std::uint16_t count = 0;
                s.CheckInstance(zel_ReadOpticalPowerCount(s.Instance(), static_cast<std::uint16_t>(c), &count) != 0,
                                "cannot read the optical power of " + Channel(c));
                table.AddRow({{c, std::to_string(c)}, {count, std::to_string(count)}});
            } else {
                const double uw = ReadPowerUw(s, c);
                const Json dbm = uw > 0 ? Json(10.0 * std::log10(uw / 1000.0)) : Json(nullptr);
                table.AddRow({{c, std::to_string(c)}, {uw, Fixed(uw, 2)}, {dbm, PowerDbm(uw)}});
            }
        }
        table.Print(g.json);
    });
}

}  // namespace zelctl
