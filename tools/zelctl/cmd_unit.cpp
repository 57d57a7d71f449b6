// info, temp, screen, reg, switch: the unit as a whole, its registers and its switches.
#include <CLI/CLI.hpp>
#include <optional>

#include "args.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

struct TempOptions {
    std::optional<int> select;  // default: the select of every channel
};

void RunTemp(Session& s, const TempOptions& o, bool json) {
    // Degrees Celsius first; the sensor's raw word (hundredths of a degree) beside it, named as such.
    Table table({{"select", "Select"}, {"temperature_c", "Temperature (degC)"}, {"raw_word", "Raw word"}});
    const int first = o.select.value_or(0);
    const int last = o.select.value_or(s.Channels() - 1);
    for (int sel = first; sel <= last; ++sel) {
        const double word = ReadTemperatureWord(s, sel);
        table.AddRow({{sel, std::to_string(sel)},
                      {word / 100.0, Fixed(word / 100.0, 2)},
                      {static_cast<int>(word), std::to_string(static_cast<int>(word))}});
    }
    table.Print(json);
}

void RunInfo(Session& s, bool json) { IdentityRecord(s).Print(json); }

struct ScreenOptions {
    unsigned control = 0;
};

void RunScreen(Session& s, const ScreenOptions& o, bool json) {
    s.CheckInstance(zel_ScreenControl(s.Instance(), 0, static_cast<std::uint8_t>(o.control)) != 0,
                    "cannot write the screen control byte");
    Record().Add("screen_control", "Screen control", o.control, Hex(o.control, 2)).Print(json);
}

// reg read and reg write.
struct RegOptions {
    std::optional<int> channel;  // default: 0
    std::optional<int> select;   // the bank itself instead of a channel's (exclusive with channel)
    std::uint16_t address = 0;
    std::uint16_t value = 0;  // write only
};

std::string RegisterText(std::uint16_t word) { return std::to_string(word) + " (" + Hex(word, 4) + ")"; }

// The register a reg command reaches: in a channel's bank (the channel refused when the board does
// not have it), or with --select in that bank itself.
struct RegisterTarget {
    const RegOptions& o;
    int index;  // the channel, or the select

    std::string Name() const {
        return "register " + std::to_string(o.address) + (o.select ? " of bank " : " of channel ") +
               std::to_string(index);
    }
    std::uint8_t Access(Session& s, bool write, std::uint16_t& word) const {
        const auto at = static_cast<std::uint16_t>(index);
        return o.select ? zel_AccessRegisterBank(s.Instance(), write ? 1 : 0, at, o.address, &word)
                        : zel_AccessBoardRegister(s.Instance(), write ? 1 : 0, at, o.address, &word);
    }
};

// The target, and the record naming the register.
RegisterTarget TargetOf(Session& s, const RegOptions& o, Record& r) {
    if (o.select) {
        r.Add("select", "Select", *o.select).Add("register", "Register", o.address);
        return {o, *o.select};
    }
    const int channel = o.channel.value_or(0);
    s.RequireChannel(channel);
    r.Add("channel", "Channel", channel).Add("register", "Register", o.address);
    return {o, channel};
}

void RunRegRead(Session& s, const RegOptions& o, bool json) {
    Record r;
    const RegisterTarget target = TargetOf(s, o, r);
    std::uint16_t word = 0;
    s.CheckInstance(target.Access(s, false, word) != 0, "cannot read " + target.Name());
    r.Add("value", "Value", word, RegisterText(word)).Print(json);
}

void RunRegWrite(Session& s, const RegOptions& o, bool json) {
    Record r;
    const RegisterTarget target = TargetOf(s, o, r);
    std::uint16_t word = o.value;
    s.CheckInstance(target.Access(s, true, word) != 0, "cannot write " + target.Name());
    // What the register holds now, as the unit answers: read-only and masked bits show here.
    std::uint16_t read_back = 0;
    s.CheckInstance(target.Access(s, false, read_back) != 0, "wrote " + target.Name() + " but cannot read it back");
    r.Add("written", "Written", o.value, RegisterText(o.value))
        .Add("read_back", "Read back", read_back, RegisterText(read_back))
        .Print(json);
}

// The board's switch make-up as the library knows it from the board type.
struct SwitchPorts {
    std::uint8_t two_by_two = 0, mems = 0, lbmm = 0;
};

struct SwitchKind {
    const char* name;
    const char* label;
    std::uint8_t (*set)(zel_instance*, std::uint16_t, std::uint16_t);
    std::uint8_t (*get)(zel_instance*, std::uint16_t, std::uint16_t*);
    bool per_channel;                  // a 2x2 switch on every channel; else one selector switch of the unit
    std::uint8_t SwitchPorts::*ports;  // this switch's positions among the board's switch ports
};

const SwitchKind kSwitches[] = {
    {"2x2", "2x2 switch", zel_SwitchSelect_2x2, zel_ReadSwitchSelect_2x2, true, &SwitchPorts::two_by_two},
    {"mems", "MEMS switch", zel_SwitchSelect_MEMS_8x1, zel_ReadSwitchSelect_MEMS_8x1, false, &SwitchPorts::mems},
    {"lbmm", "LBMM switch", zel_SwitchSelect_LBMM_8x1, zel_ReadSwitchSelect_LBMM_8x1, false, &SwitchPorts::lbmm},
};

// A position the switch does not have is refused before anything is set: a 2x2 switch is bar (0) or
// cross (1); a selector has the ports of its board type, 0 up. A board type of unknown make-up (no
// ports known) is left to the unit.
void RequirePosition(Session& s, const SwitchKind& kind, unsigned position) {
    SwitchPorts board;
    s.CheckInstance(zel_GetSwitchPorts(s.Instance(), &board.two_by_two, &board.mems, &board.lbmm) != 0,
                    "cannot tell the board's switch ports");
    const unsigned ports = board.*kind.ports;
    if (ports == 0 || position < ports) return;
    const std::string outside =
        "position " + std::to_string(position) + " is outside 0.." + std::to_string(ports - 1) + ": ";
    if (kind.per_channel) throw Failure(kExitUsage, outside + "a 2x2 switch is bar (0) or cross (1)");
    throw Failure(kExitUsage, outside + "the " + kind.label + " of board type " + std::to_string(s.BoardType()) +
                                  " has " + std::to_string(ports) + (ports == 1 ? " port" : " ports"));
}

// switch <kind> get and switch <kind> set.
struct SwitchOptions {
    const SwitchKind* kind = nullptr;
    std::optional<int> channel;  // the 2x2 switch's; get: default every channel, set: required
    unsigned position = 0;       // set only
};

void RunSwitchGet(Session& s, const SwitchOptions& o, bool json) {
    const SwitchKind& kind = *o.kind;
    Table table({{"channel", "Channel"}, {"position", "Position"}});
    const std::vector<int> channels = kind.per_channel ? ChannelsToShow(s, o.channel) : std::vector<int>{0};
    for (int c : channels) {
        std::uint16_t position = 0;
        s.CheckInstance(kind.get(s.Instance(), static_cast<std::uint16_t>(c), &position) != 0,
                        std::string("cannot read the ") + kind.label);
        table.AddRow({{c, std::to_string(c)}, {position, std::to_string(position)}});
    }
    if (kind.per_channel) {
        table.Print(json);
    } else {
        Record().Add("position", std::string(kind.label) + " position", table.ToJson()[0]["position"]).Print(json);
    }
}

const SwitchKind& SwitchNamed(const std::string& name) {
    for (const auto& kind : kSwitches) {
        if (name == kind.name) return kind;
    }
    throw std::logic_error("no switch " + name);
}

void RunSwitchSet(Session& s, const SwitchOptions& o, bool json) {
    const SwitchKind& kind = *o.kind;
    const int channel = o.channel.value_or(0);
    SetSwitch(s, kind.name, channel, o.position);
    Record r;
    if (kind.per_channel) r.Add("channel", "Channel", channel);
    r.Add("position", std::string(kind.label) + " position", o.position).Print(json);
}

void AddSwitch(CLI::App& parent, const GlobalOptions& g, const SwitchKind& kind) {
    auto* sw = parent.add_subcommand(kind.name, std::string("The ") + kind.label)->require_subcommand(1);

    auto* get = sw->add_subcommand("get", std::string("Read the position of the ") + kind.label +
                                              (kind.per_channel ? " of a channel (default: every channel)" : ""));
    auto get_options = std::make_shared<SwitchOptions>();
    get_options->kind = &kind;
    if (kind.per_channel) AddChannelOption(get, get_options->channel, false);
    RunWithSession(get, g, get_options, RunSwitchGet);

    auto* set = sw->add_subcommand(
        "set", std::string("Set the position of the ") + kind.label + " (on every unit --unit names)");
    auto set_options = std::make_shared<SwitchOptions>();
    set_options->kind = &kind;
    set->add_option("position", set_options->position,
                    kind.per_channel ? "Position: 0 bar, 1 cross" : "Port, from 0 (1, 4 or 8 ports, by board type)")
        ->required();
    if (kind.per_channel) AddChannelOption(set, set_options->channel, true);
    RunWithSession(set, g, set_options, RunSwitchSet);
}

}  // namespace

void SetSwitch(Session& s, const std::string& name, int channel, unsigned position) {
    const SwitchKind& kind = SwitchNamed(name);
    if (kind.per_channel) s.RequireChannel(channel);
    RequirePosition(s, kind, position);
    s.CheckInstance(
        kind.set(s.Instance(), static_cast<std::uint16_t>(channel), static_cast<std::uint16_t>(position)) != 0,
        std::string("cannot set the ") + kind.label);
}

std::uint16_t ReadSwitch(Session& s, const std::string& name, int channel) {
    const SwitchKind& kind = SwitchNamed(name);
    std::uint16_t position = 0;
    s.CheckInstance(kind.get(s.Instance(), static_cast<std::uint16_t>(channel), &position) != 0,
                    std::string("cannot read the ") + kind.label);
    return position;
}

double ReadTemperatureWord(Session& s, int select) {
    const double word = zel_TempRead(s.Instance(), select);
    s.CheckInstance(word >= 0.0, "cannot read the temperature of select " + std::to_string(select));
    return word;
}

Record IdentityRecord(Session& s) {
    zel_instance* unit = s.Instance();
    const std::uint32_t board_id = zel_ReadBoardID(unit);
    s.CheckInstance(board_id != 0 || zel_LastError(unit) == ZEL_OK, "cannot read the board ID");
    std::int64_t serial = 0;
    std::int32_t confirmed = 0;
    zel_ReadSerialNumber(unit, &serial, &confirmed);
    s.CheckInstance(zel_LastError(unit) == ZEL_OK, "cannot read the serial number");
    const double firmware = zel_ReadFirmwareRevision(unit);
    s.CheckInstance(zel_LastError(unit) == ZEL_OK, "cannot read the firmware revision");
    const double temperature = ReadTemperatureWord(s, 0) / 100.0;
    const std::vector<WavelengthSlot> slots = s.Wavelengths();
    Json wavelengths = Json::array();
    for (const auto& w : slots) wavelengths.push_back(w.nm);

    Record r;
    r.Add("unit", "Unit", s.address())
        .Add("board_id", "Board ID", board_id, Hex(board_id, 4))
        .Add("board_type", "Board type", s.BoardType(), std::to_string(s.BoardType()))
        .Add("channels", "Channels", s.Channels())
        .Add("serial", "Serial number", serial,
             std::to_string(serial) + " (" + Hex(static_cast<unsigned>(static_cast<std::uint64_t>(serial) >> 32), 8) +
                 Hex(static_cast<unsigned>(serial & 0xFFFFFFFF), 8).substr(2) + ")" +
                 (confirmed != 0 ? "" : ", board serial: the extended serial is not confirmed"))
        .Add("firmware", "Firmware revision", firmware, Fixed(firmware, 1))
        .Add("api_revision", "API revision", APIGetAPIRev(unit), Fixed(APIGetAPIRev(unit), 0))
        .Add("temperature_c", "Temperature", temperature, Fixed(temperature, 2) + " degC")
        .Add("wavelengths_nm", "Wavelengths", wavelengths, JoinWavelengths(slots));
    return r;
}

void AddChannelOption(CLI::App* sub, std::optional<int>& channel, bool required) {
    auto* opt = sub->add_option("-c,--channel", channel, "Channel index (0..channels-1 of the board)");
    if (required) opt->required();
}

std::vector<int> ChannelsToShow(Session& s, const std::optional<int>& channel) {
    if (channel) {
        s.RequireChannel(*channel);
        return {*channel};
    }
    std::vector<int> all;
    for (int c = 0; c < s.Channels(); ++c) all.push_back(c);
    return all;
}

void AddUnitCommands(CLI::App& app, const GlobalOptions& g) {
    RunWithSession(app.add_subcommand("info",
                                      "Identity of the unit: board ID and type, serial number, firmware, "
                                      "API revision, temperature, wavelengths"),
                   g, RunInfo);

    auto* temp = app.add_subcommand("temp", "Temperature sensors (default: the select of every channel)");
    auto temp_options = std::make_shared<TempOptions>();
    temp->add_option("-s,--select", temp_options->select, "Register bank of the sensor")->check(InRange(0, 15));
    RunWithSession(temp, g, temp_options, RunTemp);

    auto* screen = app.add_subcommand("screen", "Write the front-panel screen control byte");
    auto screen_options = std::make_shared<ScreenOptions>();
    screen->add_option("control", screen_options->control, "Control byte")->required()->check(InRange(0, 255));
    RunWithSession(screen, g, screen_options, RunScreen);

    auto* reg = app.add_subcommand("reg",
                                   "Raw register access in a channel's register bank, or in any of the 16 "
                                   "banks by its select")
                    ->require_subcommand(1);
    auto reg_options = std::make_shared<RegOptions>();
    for (bool write : {false, true}) {
        auto* sub = reg->add_subcommand(write ? "write" : "read", write ? "Write a register" : "Read a register");
        sub->add_option("address", reg_options->address, "Register address (0..2047)")
            ->required()
            ->check(InRange(0, 2047));
        if (write)
            sub->add_option("value", reg_options->value, "16-bit value (0..65535, 0x... for hex)")
                ->required()
                ->check(InRange(0, 65535));
        AddChannelOption(sub, reg_options->channel, false);
        sub->add_option("-s,--select", reg_options->select,
                        "Register bank by its select (0..15), also a bank no channel uses; instead of --channel")
            ->check(InRange(0, 15))
            ->excludes("--channel");
        RunWithSession(sub, g, reg_options, write ? RunRegWrite : RunRegRead);
    }

    auto* sw = app.add_subcommand("switch", "Optical switches: 2x2 per channel, MEMS and LBMM selectors")
                   ->require_subcommand(1);
    for (const auto& kind : kSwitches) AddSwitch(*sw, g, kind);
}

}  // namespace zelctl
