// wavelength list|set|add|default: the unit's table of calibrated wavelengths.
#include <CLI/CLI.hpp>

#include "args.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

Table SlotTable(const std::vector<WavelengthSlot>& slots) {
    Table table({{"slot", "Slot"}, {"wavelength_nm", "Wavelength (nm)"}});
    for (const auto& w : slots) table.AddRow({{w.slot, std::to_string(w.slot)}, {w.nm, std::to_string(w.nm)}});
    return table;
}

int SlotOf(const std::vector<WavelengthSlot>& slots, std::uint16_t nm) {
    for (const auto& w : slots) {
        if (w.nm == nm) return w.slot;
    }
    return -1;
}

void RunWavelengthList(Session& s, bool json) { SlotTable(s.Wavelengths()).Print(json); }

// wavelength set and wavelength add.
struct WavelengthOptions {
    std::uint16_t nm = 0;
};

void RunWavelengthSet(Session& s, const WavelengthOptions& o, bool json) {
    s.SelectWavelength(o.nm);
    const int slot = SlotOf(s.Wavelengths(), o.nm);
    Record()
        .Add("wavelength_nm", "Wavelength", o.nm, std::to_string(o.nm) + " nm")
        .Add("slot", "Slot", slot)
        .Print(json);
}

void RunWavelengthAdd(Session& s, const WavelengthOptions& o, bool json) {
    // A wavelength that already has a slot gets no second one: the unit selects the slot it has.
    const int existing = SlotOf(s.Wavelengths(), o.nm);
    if (existing > 0 && !json) {
        PrintOut(std::to_string(o.nm) + " nm is already calibrated: selected its slot " + std::to_string(existing) +
                 "\n");
    }
    const bool added = zel_AddWavelength(s.Instance(), o.nm) != 0;
    // The library refuses the default wavelength of boards whose slot 0 alone serves it.
    if (!added && zel_LastError(s.Instance()) == ZEL_ERR_BAD_ARGUMENT && o.nm == s.DefaultWavelength()) {
        throw Failure(kExitUsage, "cannot add " + std::to_string(o.nm) +
                                      " nm: slot 0 serves it, the default of board type " +
                                      std::to_string(s.BoardType()));
    }
    s.CheckInstance(added, "cannot add " + std::to_string(o.nm) + " nm");
    SlotTable(s.Wavelengths()).Print(json);
}

void RunWavelengthDefault(Session& s, bool json) {
    s.CheckInstance(zel_SetDefaultWavelength(s.Instance()) != 0, "cannot select the default wavelength");
    const std::uint16_t def = s.DefaultWavelength();
    Record().Add("wavelength_nm", "Wavelength", def, std::to_string(def) + " nm").Add("slot", "Slot", 0).Print(json);
}

}  // namespace

void AddWavelengthCommands(CLI::App& app, const GlobalOptions& g) {
    auto* wl = app.add_subcommand("wavelength", "Calibrated wavelengths (slot 0 serves the board's default)")
                   ->require_subcommand(1);

    RunWithSession(wl->add_subcommand("list", "List the used wavelength slots"), g, RunWavelengthList);

    auto options = std::make_shared<WavelengthOptions>();
    auto* set = wl->add_subcommand(
        "set",
        "Check that the unit is calibrated for a wavelength and show its slot (the library selects the "
        "slot per connection; calib, voa and power take --wavelength)");
    set->add_option("nm", options->nm, "Wavelength in nm")->required();
    RunWithSession(set, g, options, RunWavelengthSet);

    auto* add = wl->add_subcommand("add",
                                   "Add a wavelength to the first free slot (its calibration is written "
                                   "separately, e.g. with calib set --wavelength), on every unit --unit names");
    add->add_option("nm", options->nm, "Wavelength in nm")->required()->check(InRange(1, 65534, "nm"));
    RunWithSession(add, g, options, RunWavelengthAdd);

    RunWithSession(wl->add_subcommand("default", "Select the board's default wavelength (slot 0) and show it"), g,
                   RunWavelengthDefault);
}

}  // namespace zelctl
