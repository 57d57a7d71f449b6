// demo: a bench session against a simulated 8-channel unit started in this process.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>

#include "commands.h"
#include "unit_helpers.h"
#include "zelsim/sim.h"

namespace zelctl {

zelsim::UnitConfig DemoUnit() {
    zelsim::UnitConfig cfg;
    cfg.board_type = 6;  // 8 channels, 8-port selector switches
    cfg.extra_wavelengths = {1550, 1490};
    const double input_uw[8] = {1000, 950, 1200, 800, 1000, 1100, 500, 1000};
    for (int c = 0; c < 8; ++c) cfg.input_power_uw[c] = input_uw[c];
    return cfg;
}

namespace {

// One part of the session: its heading and table in text (the table indented), nothing with --json.
void Show(bool json, const std::string& heading, const Table& table) {
    if (json) return;
    std::printf("\n%s\n", heading.c_str());
    table.PrintText("  ");
}

Json ShowIdentity(Session& s, bool json) {
    const Record identity = IdentityRecord(s);  // connects
    if (!json) {
        std::printf("\nConnected. Identity:\n");
        identity.PrintText();
    }
    return identity.ToJson();
}

Json ShowWavelengths(const std::vector<WavelengthSlot>& slots, bool json) {
    Table wavelengths({{"slot", "Slot"}, {"wavelength_nm", "Wavelength (nm)"}});
    for (const auto& w : slots) wavelengths.AddRow({{w.slot, std::to_string(w.slot)}, {w.nm, std::to_string(w.nm)}});
    Show(json, "Calibrated wavelengths:", wavelengths);
    return wavelengths.ToJson();
}

// The source power at each channel's input is part of the bench set-up, so the table can show how
// much of it the attenuator lets through.
Json ShowChannels(Session& s, const zelsim::UnitModel& unit, bool json) {
    Table optics({{"channel", "Channel"},
                  {"input_uw", "Input (uW)"},
                  {"set_db", "Set (dB)"},
                  {"read_db", "Read (dB)"},
                  {"power_uw", "Power (uW)"},
                  {"power_dbm", "Power (dBm)"}});
    for (int c = 0; c < s.Channels(); ++c) {
        const double target = 2.5 * c;
        SetAttenuationDb(s, c, target);
        const double db = ReadAttenuationDb(s, c);
        const double uw = ReadPowerUw(s, c);
        const double input = unit.InputPower(static_cast<unsigned>(c));
        optics.AddRow({{c, std::to_string(c)},
                       {input, Fixed(input, 1)},
                       {target, Fixed(target, 2)},
                       {db, Fixed(db, 2)},
                       {uw, Fixed(uw, 2)},
                       {PowerDbmJson(uw), PowerDbm(uw)}});
    }
    Show(json,
         "Attenuation set per channel, read back, and the calibrated power behind the tap (" +
             std::to_string(s.DefaultWavelength()) + " nm):",
         optics);
    return optics.ToJson();
}

// One channel at one attenuation through each wavelength's calibration: each slot's curve needs its
// own drive code for the same dB.
Json ShowWavelengthSettings(Session& s, const std::vector<WavelengthSlot>& slots, bool json) {
    constexpr int kChannel = 4;
    constexpr double kTargetDb = 10.0;
    Table per_wavelength({{"wavelength_nm", "Wavelength (nm)"}, {"code", "Code"}, {"read_db", "Read (dB)"}});
    for (const auto& w : slots) {
        s.UseWavelength(w.nm);
        SetAttenuationDb(s, kChannel, kTargetDb);
        const double db = ReadAttenuationDb(s, kChannel);
        std::uint16_t code = 0;
        s.CheckInstance(zel_ReadVOACode(s.Instance(), kChannel, &code) != 0, "cannot read the VOA code");
        per_wavelength.AddRow({{w.nm, std::to_string(w.nm)}, {code, std::to_string(code)}, {db, Fixed(db, 2)}});
    }
    Show(json,
         "Channel " + std::to_string(kChannel) + " set to " + Fixed(kTargetDb, 0) +
             " dB through the calibration of each wavelength:",
         per_wavelength);
    return {{"channel", kChannel}, {"set_db", kTargetDb}, {"rows", per_wavelength.ToJson()}};
}

Json ShowSwitches(Session& s, bool json) {
    Table switches({{"channel", "Channel"}, {"position", "2x2 position"}});
    zel_instance* inst = s.Instance();
    for (int c = 0; c < s.Channels(); ++c) {
        std::uint16_t position = 0;
        s.CheckInstance(
            zel_SwitchSelect_2x2(inst, static_cast<std::uint16_t>(c), static_cast<std::uint16_t>(c % 2)) != 0,
            "cannot set the 2x2 switch");
        s.CheckInstance(zel_ReadSwitchSelect_2x2(inst, static_cast<std::uint16_t>(c), &position) != 0,
                        "cannot read the 2x2 switch");
        switches.AddRow({{c, std::to_string(c)}, {position, std::to_string(position)}});
    }
    std::uint16_t mems = 0, lbmm = 0;
    s.CheckInstance(zel_SwitchSelect_MEMS_8x1(inst, 0, 3) != 0 && zel_ReadSwitchSelect_MEMS_8x1(inst, 0, &mems) != 0,
                    "cannot set the MEMS switch");
    s.CheckInstance(zel_SwitchSelect_LBMM_8x1(inst, 0, 5) != 0 && zel_ReadSwitchSelect_LBMM_8x1(inst, 0, &lbmm) != 0,
                    "cannot set the LBMM switch");
    Show(json, "Switch positions:", switches);
    if (!json) std::printf("  MEMS selector: %u    LBMM selector: %u\n", mems, lbmm);
    return {{"2x2", switches.ToJson()}, {"mems", mems}, {"lbmm", lbmm}};
}

// The whole session against a unit of its own; `options` give everything but the unit's address.
void RunDemo(const GlobalOptions& options) {
    zelsim::UnitModel unit(DemoUnit());
    auto server = zelsim::StartOnFreeLoopback(unit);
    if (!server) throw Failure(kExitUnit, "cannot start the simulated unit on a loopback address");
    GlobalOptions g = options;
    g.unit = server->Address();
    if (!g.json) std::printf("Simulated unit at %s (in this process), port %u\n", g.unit.c_str(), server->Port());
    Json out = Json::object();
    {
        Session s(g);
        out["identity"] = ShowIdentity(s, g.json);
        const std::vector<WavelengthSlot> slots = s.Wavelengths();
        out["wavelengths"] = ShowWavelengths(slots, g.json);
        out["channels"] = ShowChannels(s, unit, g.json);
        out["wavelength_settings"] = ShowWavelengthSettings(s, slots, g.json);
        out["switches"] = ShowSwitches(s, g.json);
    }  // disconnects
    server->Stop();
    if (g.json) {
        PrintJson(out);
    } else {
        std::printf("\nDisconnected; the simulated unit has stopped.\n");
    }
}

}  // namespace

void AddDemoCommand(CLI::App& app, const GlobalOptions& options) {
    app.add_subcommand("demo", "Start a simulated 8-channel unit in this process and run a bench session against it")
        ->callback([&options] { RunDemo(options); });
}

}  // namespace zelctl
