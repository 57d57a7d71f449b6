// voa, power: attenuators and power monitors of the channels.
#include <CLI/CLI.hpp>
#include <cmath>

#include "args.h"
#include "sweep.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

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

struct VoaGetOptions {
    std::optional<int> channel;  // default: every channel
    bool code = false;           // the drive code instead of dB
    std::optional<std::uint16_t> wavelength;
};

void RunVoaGet(Session& s, const VoaGetOptions& o, bool json) {
    const std::vector<int> channels = ChannelsToShow(s, o.channel);
    UseWavelengthIfGiven(s, o.wavelength);
    Table table(
        {{"channel", "Channel"}, o.code ? Table::Column{"code", "Code"} : Table::Column{"db", "Attenuation (dB)"}});
    for (int c : channels) {
        if (o.code) {
            std::uint16_t code = 0;
            s.CheckInstance(zel_ReadVOACode(s.Instance(), static_cast<std::uint16_t>(c), &code) != 0,
                            "cannot read the VOA code of " + Channel(c));
            table.AddRow({{c, std::to_string(c)}, {code, std::to_string(code)}});
        } else {
            const double db = ReadAttenuationDb(s, c);
            table.AddRow({{c, std::to_string(c)}, {db, Fixed(db, 2)}});
        }
    }
    table.Print(json);
}

struct VoaSetOptions {
    std::optional<int> channel;  // required
    double value = 0;            // dB, or the drive code with `code`
    bool code = false;
    std::optional<std::uint16_t> wavelength;
};

void RunVoaSet(Session& s, const VoaSetOptions& o, bool json) {
    RequireVoaValue(o.value, o.code);
    const int c = *o.channel;
    s.RequireChannel(c);
    Record r;
    r.Add("channel", "Channel", c);
    if (o.code) {
        const auto code = static_cast<std::uint16_t>(o.value);
        s.CheckInstance(zel_SetVOACode(s.Instance(), static_cast<std::uint16_t>(c), code) != 0,
                        "cannot set VOA code " + std::to_string(code) + " on " + Channel(c));
        r.Add("code", "Code", code);
    } else {
        UseWavelengthIfGiven(s, o.wavelength);
        SetAttenuationDb(s, c, o.value);
        const double db = ReadAttenuationDb(s, c);
        r.Add("set_db", "Set", o.value, Fixed(o.value, 2) + " dB")
            .Add("read_db", "Read back", db, Fixed(db, 2) + " dB");
    }
    r.Print(json);
}

struct PowerOptions {
    std::optional<int> channel;  // default: every channel
    bool raw = false;            // the averaged monitor count instead of the calibrated power
    std::optional<std::uint16_t> wavelength;
};

void RunPower(Session& s, const PowerOptions& o, bool json) {
    const std::vector<int> channels = ChannelsToShow(s, o.channel);
    UseWavelengthIfGiven(s, o.wavelength);
    std::vector<Table::Column> columns{{"channel", "Channel"}};
    if (o.raw) {
        columns.push_back({"count", "Count"});
    } else {
        columns.push_back({"power_uw", "Power (uW)"});
        columns.push_back({"power_dbm", "Power (dBm)"});
    }
    Table table(columns);
    std::optional<std::string> over_range;  // the first channel over range
    for (int c : channels) {
        if (o.raw) {
            std::uint16_t count = 0;
            s.CheckInstance(zel_ReadOpticalPowerCount(s.Instance(), static_cast<std::uint16_t>(c), &count) != 0,
                            "cannot read the optical power of " + Channel(c));
            table.AddRow({{c, std::to_string(c)}, {count, std::to_string(count)}});
        } else {
            const PowerReading p = ReadPower(s, c);
            if (p.over_range) {
                // Shown with the other channels, then the command fails: the figure is no reading.
                if (!over_range) over_range = Channel(c) + ": " + OverRangeText(p.uw);
                table.AddRow({{c, std::to_string(c)}, {nullptr, OverRangeText(p.uw)}, {nullptr, ""}});
            } else {
                table.AddRow({{c, std::to_string(c)}, {p.uw, Fixed(p.uw, 2)}, {PowerDbmJson(p.uw), PowerDbm(p.uw)}});
            }
        }
    }
    table.Print(json);
    if (over_range) throw Failure(kExitUnit, *over_range);
}

}  // namespace

// Values the attenuator cannot take are refused before the unit is reached.
void RequireVoaValue(double value, bool code) {
    if (code) {
        if (!(value >= 0 && value <= 4095)) throw Failure(kExitUsage, "VOA code " + OutsideRange(value, 0, 4095));
        if (value != std::floor(value))
            throw Failure(kExitUsage, "VOA code " + Number(value) + " is not a whole number");
    } else if (!(value >= 0 && value <= kMaxAttenuationDb)) {
        throw Failure(kExitUsage, OutsideRange(value, 0, kMaxAttenuationDb, "dB"));
    }
}

double ReadAttenuationDb(Session& s, int channel) {
    double db = 0;
    s.CheckCalibrated(zel_ReadVOAAttenuation(s.Instance(), static_cast<std::uint16_t>(channel), &db) != 0, channel,
                      "VOA", "cannot read the attenuation of " + Channel(channel));
    return db;
}

PowerReading ReadPower(Session& s, int channel) {
    PowerReading p;
    const bool ok = zel_ReadOpticalPower(s.Instance(), static_cast<std::uint16_t>(channel), &p.uw) != 0;
    p.over_range = !ok && zel_LastError(s.Instance()) == ZEL_ERR_OVER_RANGE;
    if (!p.over_range) s.CheckCalibrated(ok, channel, "TAP", "cannot read the optical power of " + Channel(channel));
    return p;
}

double ReadPowerUw(Session& s, int channel) {
    const PowerReading p = ReadPower(s, channel);
    if (p.over_range) throw Failure(kExitUnit, Channel(channel) + ": " + OverRangeText(p.uw));
    return p.uw;
}

std::string OverRangeText(double uw) { return "over range (at least " + Fixed(uw, 2) + " uW)"; }

void SetAttenuationDb(Session& s, int channel, double db) {
    s.CheckCalibrated(zel_SetVOAAttenuation(s.Instance(), static_cast<std::uint16_t>(channel), db) != 0, channel, "VOA",
                      "cannot set " + Fixed(db, 2) + " dB on " + Channel(channel));
}

std::string PowerDbm(double uw) {
    if (uw <= 0) return "below range";  // a dark detector: no figure in dBm
    const double dbm = 10.0 * std::log10(uw / 1000.0);
    return Fixed(std::fabs(dbm) < 0.005 ? 0.0 : dbm, 2);  // no "-0.00"
}

Json PowerDbmJson(double uw) { return uw > 0 ? Json(10.0 * std::log10(uw / 1000.0)) : Json(nullptr); }

void AddOpticsCommands(CLI::App& app, const GlobalOptions& g) {
    auto* voa = app.add_subcommand("voa", "Variable optical attenuators")->require_subcommand(1);

    auto* get = voa->add_subcommand("get", "Read the attenuation in dB (default: every channel)");
    auto get_options = std::make_shared<VoaGetOptions>();
    AddChannelOption(get, get_options->channel, false);
    AddWavelengthOption(get, get_options->wavelength,
                        get->add_flag("--code", get_options->code, "Show the VOA drive code instead of dB"));
    RunWithSession(get, g, get_options, RunVoaGet);

    auto* set = voa->add_subcommand(
        "set",
        "Set the attenuation of a channel in dB (0..30) or, with --code, its drive code (on every unit "
        "--unit names)");
    auto set_options = std::make_shared<VoaSetOptions>();
    set->add_option("value", set_options->value, "Attenuation in dB, or the code (0..4095) with --code")->required();
    AddChannelOption(set, set_options->channel, true);
    AddWavelengthOption(set, set_options->wavelength,
                        set->add_flag("--code", set_options->code, "The value is a VOA drive code"));
    RunWithSession(set, g, set_options, RunVoaSet);

    AddVoaSweep(*voa, g);

    auto* power = app.add_subcommand("power", "Optical power behind the tap (default: every channel)");
    auto power_options = std::make_shared<PowerOptions>();
    AddChannelOption(power, power_options->channel, false);
    AddWavelengthOption(power, power_options->wavelength,
                        power->add_flag("--raw", power_options->raw,
                                        "Show the averaged monitor count instead of the calibrated power"));
    RunWithSession(power, g, power_options, RunPower);
}

}  // namespace zelctl
