// calib get|set|backup|restore: the calibration records of each wavelength slot and the user calibration.
// get and set go through the library's record functions, item by item; backup and restore are in calib_backup.cpp.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>

#include "calib_backup.h"
#include "calib_file.h"
#include "calib_store.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

using calib::Item;
using calib::ItemShape;
using calib::ShapeOf;

std::vector<double> ReadItem(Session& s, Item item, int channel) {
    zel_instance* e = s.Instance();
    const auto c = static_cast<std::uint16_t>(channel);
    std::vector<double> v(ShapeOf(item).count);
    std::uint8_t ok = 0;
    switch (item) {
        case Item::Tap:
            ok = zel_ReadTAPCalibration(e, c, v.data());
            break;
        case Item::Voa:
            ok = zel_ReadVOACalibration(e, c, v.data());
            break;
        case Item::Defined: {
            std::uint16_t words[30] = {};
            ok = zel_ReadVOADefinedValues(e, c, words);
            for (std::size_t j = 0; j < 30; ++j) v[j] = words[j];
            break;
        }
        case Item::VoaLoss:
            ok = zel_ReadVOAInsertionLoss(e, c, v.data());
            break;
        case Item::SwitchLoss:
            ok = zel_Read4x1SwitchInsertionLoss(e, c, v.data());
            break;
        case Item::UserTx:
            ok = zel_ReadUserTXCalibration(e, c, v.data());
            break;
        case Item::UserRx:
            ok = zel_ReadUserRXCalibration(e, c, v.data());
            break;
    }
    s.CheckInstance(ok != 0,
                    std::string("cannot read the ") + ShapeOf(item).label + " of channel " + std::to_string(channel));
    return v;
}

void WriteItem(Session& s, Item item, int channel, const std::vector<double>& v) {
    zel_instance* e = s.Instance();
    const auto c = static_cast<std::uint16_t>(channel);
    std::uint8_t ok = 0;
    switch (item) {
        case Item::Tap:
            ok = zel_WriteTAPCalibration(e, c, v[0]);
            break;
        case Item::Voa:
            ok = zel_WriteVOACalibration(e, c, v.data());
            break;
        case Item::Defined: {
            std::uint16_t words[30];
            for (std::size_t j = 0; j < 30; ++j) words[j] = static_cast<std::uint16_t>(v[j]);
            ok = zel_WriteVOADefinedValues(e, c, words);
            break;
        }
        case Item::VoaLoss:
            ok = zel_WriteVOAInsertionLoss(e, c, v[0]);
            break;
        case Item::SwitchLoss:
            ok = zel_Write4x1SwitchInsertionLoss(e, c, v[0]);
            break;
        case Item::UserTx:
            ok = zel_WriteUserTXCalibration(e, c, v[0]);
            break;
        case Item::UserRx:
            ok = zel_WriteUserRXCalibration(e, c, v[0]);
            break;
    }
    const std::string what =
        std::string("cannot write the ") + ShapeOf(item).label + " of channel " + std::to_string(channel);
    // Every single-value item is a scaled record: value x 10^12 as a 64-bit integer that must stay
    // below 2^63. Erased records (and negative values stored long ago) read back outside that range.
    if (ok == 0 && ShapeOf(item).count == 1 && zel_LastError(e) == ZEL_ERR_BAD_ARGUMENT) {
        char value[40];
        std::snprintf(value, sizeof value, "%.12g", v[0]);
        throw Failure(kExitUsage, what + ": the record holds values from 0 up to 9223372.036854, not " + value);
    }
    s.CheckInstance(ok != 0, what);
}

const ItemShape& ItemNamed(const std::string& name) {
    for (const auto& shape : calib::Items()) {
        if (name == shape.key) return shape;
    }
    throw Failure(kExitUsage, "unknown calibration item " + name);
}

std::string ItemNames() {
    std::string out;
    for (const auto& shape : calib::Items()) out += std::string(out.empty() ? "" : ", ") + shape.key;
    return out;
}

std::string ValuesText(const ItemShape& shape, const std::vector<double>& v) {
    std::string out;
    for (double x : v) {
        char buf[40];
        std::snprintf(buf, sizeof buf, shape.WholeNumbers() ? "%.0f" : "%.12g", x);
        out += (out.empty() ? "" : " ") + std::string(buf);
    }
    return out;
}

// calib get and calib set.
struct CalibItemOptions {
    std::string item;
    std::optional<int> channel;  // get: default every channel; set: required
    std::optional<std::uint16_t> wavelength;
    std::vector<double> values;  // set only
};

void SelectSlot(Session& s, const CalibItemOptions& o) {
    if (o.wavelength) s.SelectWavelength(*o.wavelength);
}

void RunCalibGet(Session& s, const CalibItemOptions& o, bool json) {
    const ItemShape& shape = ItemNamed(o.item);
    SelectSlot(s, o);
    // The slot the records are read from: an erased record decodes to numbers that are no
    // calibration, so its bytes tell whether it holds one.
    int slot = 0;
    if (o.wavelength) {
        for (const WavelengthSlot& w : s.Wavelengths()) {
            if (w.nm == *o.wavelength) slot = w.slot;
        }
    }
    Table table({{"channel", "Channel"}, {shape.key, shape.label, false}});
    for (int c : ChannelsToShow(s, o.channel)) {
        const std::vector<double> v = ReadItem(s, shape.item, c);
        if (calib::IsErased(store::ReadRecord(s.Instance(), slot, c, shape))) {
            table.AddRow({{c, std::to_string(c)}, {nullptr, "erased"}});
        } else {
            table.AddRow({{c, std::to_string(c)}, {calib::ValuesJson(shape, v), ValuesText(shape, v)}});
        }
    }
    table.Print(json);
}

// The values of a write, checked against the item before the unit is reached.
void RequireValues(const ItemShape& shape, const std::vector<double>& values) {
    if (values.size() != shape.count) {
        throw Failure(kExitUsage, std::string(shape.key) + " takes " + std::to_string(shape.count) + " value(s), got " +
                                      std::to_string(values.size()));
    }
    for (double x : values) {
        if (shape.WholeNumbers() && (x < 0 || x > 0xFFFF || x != std::floor(x))) {
            throw Failure(kExitUsage, std::string(shape.key) + " values are whole numbers in 0..65535");
        }
    }
}

void RunCalibSet(Session& s, const CalibItemOptions& o, bool json) {
    const ItemShape& shape = ItemNamed(o.item);
    RequireValues(shape, o.values);
    s.RequireChannel(*o.channel);
    SelectSlot(s, o);
    WriteItem(s, shape.item, *o.channel, o.values);
    Record()
        .Add("channel", "Channel", *o.channel)
        .Add(shape.key, shape.label, calib::ValuesJson(shape, o.values), ValuesText(shape, o.values))
        .Print(json);
}

}  // namespace

void AddCalibCommands(CLI::App& app, const GlobalOptions& g) {
    auto* calib = app.add_subcommand("calib", "Calibration records: " + ItemNames())->require_subcommand(1);

    auto item_options = std::make_shared<CalibItemOptions>();
    std::vector<std::string> names;
    for (const auto& shape : calib::Items()) names.push_back(shape.key);
    auto add_item = [&](CLI::App* sub, bool set) {
        sub->add_option("item", item_options->item, "Calibration item")->required()->check(CLI::IsMember(names));
        sub->add_option("--wavelength", item_options->wavelength,
                        "Wavelength slot to use, in nm (default: the board's default)");
        AddChannelOption(sub, item_options->channel, set);
        RunWithSession(sub, g, item_options, set ? RunCalibSet : RunCalibGet);
    };
    add_item(calib->add_subcommand("get", "Read a calibration item (default: every channel)"), false);
    auto* set = calib->add_subcommand("set", "Write a calibration item of a channel (on every unit --unit names)");
    add_item(set, true);
    set->add_option("values", item_options->values, "The value (4 coefficients for voa, 30 values for defined)")
        ->required();

    auto file_options = std::make_shared<CalibFileOptions>();
    auto* backup = calib->add_subcommand(
        "backup",
        "Save every calibration record of every used wavelength slot and the user calibration as JSON: each "
        "record's stored bytes (hex) beside the value they hold");
    backup->add_option("file", file_options->file, "JSON file to write")->required();
    RunWithSession(backup, g, file_options, RunCalibBackup);

    auto* restore = calib->add_subcommand(
        "restore",
        "Write the stored bytes of a calibration backup that differ from the unit's (about 10 ms per byte), "
        "then read every record back and compare its bytes. Nothing is written when the file is malformed "
        "or does not fit the unit; Ctrl-C stops after the record in flight and running the restore again "
        "completes it");
    restore->add_option("file", file_options->file, "JSON file made by calib backup")->required();
    restore->add_flag("--force", file_options->force, "Restore onto a unit with another serial number");
    RunWithSession(restore, g, file_options, RunCalibRestore);
}

}  // namespace zelctl
