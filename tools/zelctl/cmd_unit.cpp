// info, temp, screen, reg, switch: the unit as a whole, its registers and its switches.
#include <CLI/CLI.hpp>
#include <optional>

#include "args.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

void Temperatures(Session& s, const GlobalOptions& g, std::optional<int> select) {
    // Degrees Celsius first; the sensor's raw word (hundredths of a degree) beside it, named as such.
    Table table({{"select", "Select"}, {"temperature_c", "Temperature (degC)"}, {"raw_word", "Raw word"}});
    const int first = select.value_or(0);
    const int last = select.value_or(s.Channels() - 1);
    for (int sel = first; sel <= last; ++sel) {
        const double word = ReadTemperatureWord(s, sel);
        table.AddRow({{sel, std::to_string(sel)},
                      {word / 100.0, Fixed(word / 100.0, 2)},
                      {static_cast<int>(word), std::to_string(static_cast<int>(word))}});
    }
    table.Print(g.json);
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

void AddSwitch(CLI::App& parent, const GlobalOptions& g, const SwitchKind& kind) {
    auto* sw = parent.add_subcommand(kind.name, std::string("The ") + kind.label)->require_subcommand(1);

    auto* get = sw->add_subcommand("get", std::string("Read the position of the ") + kind.label +
                                              (kind.per_channel ? " of a channel (default: every channel)" : ""));
    auto get_channel = std::make_shared<std::optional<int>>();
    if (kind.per_channel) AddChannelOption(get, *get_channel, false);
    get->callback([&g, &kind, get_channel] {
        Session s(g);
        Table table({{"channel", "Channel"}, {"position", "Position"}});
        std::vector<int> channels;
        if (!kind.per_channel) {
            channels = {0};
        } else if (*get_channel) {
            s.RequireChannel(**get_channel);
            channels = {**get_channel};
        } else {
            for (int c = 0; c < s.Channels(); ++c) channels.push_back(c);
        }
        for (int c : channels) {
            std::uint16_t position = 0;
            s.CheckInstance(kind.get(s.Instance(), static_cast<std::uint16_t>(c), &position) != 0,
                            std::string("cannot read the ") + kind.label);
            table.AddRow({{c, std::to_string(c)}, {position, std::to_string(position)}});
        }
        if (kind.per_channel) {
            table.Print(g.json);
        } else {
            Record()
                .Add("position", std::string(kind.label) + " position", table.ToJson()[0]["position"])
                .Print(g.json);
        }
    });

    auto* set = sw->add_subcommand("set", std::string("Set the position of the ") + kind.label);
    auto set_channel = std::make_shared<std::optional<int>>();
    auto position = std::make_shared<unsigned>(0);
    set->add_option("position", *position,
                    kind.per_channel ? "Position: 0 bar, 1 cross" : "Port, from 0 (1, 4 or 8 ports, by board type)")
        ->required();
    if (kind.per_channel) AddChannelOption(set, *set_channel, true);
    set->callback([&g, &kind, set_channel, position] {
        Session s(g);
        const int channel = set_channel->value_or(0);
        if (kind.per_channel) s.RequireChannel(channel);
        RequirePosition(s, kind, *position);
        s.CheckInstance(
            kind.set(s.Instance(), static_cast<std::uint16_t>(channel), static_cast<std::uint16_t>(*position)) != 0,
            std::string("cannot set the ") + kind.label);
        Record r;
        if (kind.per_channel) r.Add("channel", "Channel", channel);
        r.Add("position", std::string(kind.label) + " position", *position).Print(g.json);
    });
}

}  // namespace

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

void AddUnitCommands(CLI::App& app, const GlobalOptions& g) {
    app.add_subcommand("info",
                       "Identity of the unit: board ID and type, serial number, firmware, "
                       "API revision, temperature, wavelengths")
        ->callback([&g] {
            Session s(g);
            IdentityRecord(s).Print(g.json);
        });

    auto* temp = app.add_subcommand("temp", "Temperature sensors (default: the select of every channel)");
    auto select = std::make_shared<std::optional<int>>();
    temp->add_option("-s,--select", *select, "Register bank of the sensor")->check(InRange(0, 15));
    temp->callback([&g, select] {
        Session s(g);
        Temperatures(s, g, *select);
    });

    auto* screen = app.add_subcommand("screen", "Write the front-panel screen control byte");
    auto control = std::make_shared<unsigned>(0);
    screen->add_option("control", *control, "Control byte")->required()->check(InRange(0, 255));
    screen->callback([&g, control] {
        Session s(g);
        s.CheckInstance(zel_ScreenControl(s.Instance(), 0, static_cast<std::uint8_t>(*control)) != 0,
                        "cannot write the screen control byte");
        Record().Add("screen_control", "Screen control", *control, Hex(*control, 2)).Print(g.json);
    });

    auto* reg = app.add_subcommand("reg", "Raw register access in a channel's register bank")->require_subcommand(1);
    auto reg_channel = std::make_shared<std::optional<int>>();
    auto address = std::make_shared<std::uint16_t>(0);
    auto value = std::make_shared<std::uint16_t>(0);
    auto run = [&g, reg_channel, address, value](bool write) {
        Session s(g);
        const int channel = reg_channel->value_or(0);
        s.RequireChannel(channel);
        std::uint16_t word = *value;
        const std::string what = std::string(write ? "cannot write" : "cannot read") + " register " +
                                 std::to_string(*address) + " of channel " + std::to_string(channel);
        s.CheckInstance(zel_AccessBoardRegister(s.Instance(), write ? 1 : 0, static_cast<std::uint16_t>(channel),
                                                *address, &word) != 0,
                        what);
        auto text = [](std::uint16_t w) { return std::to_string(w) + " (" + Hex(w, 4) + ")"; };
        Record r;
        r.Add("channel", "Channel", channel).Add("register", "Register", *address);
        if (!write) {
            r.Add("value", "Value", word, text(word)).Print(g.json);
            return;
        }
        // What the register holds now, as the unit answers: read-only and masked bits show here.
        std::uint16_t read_back = 0;
        s.CheckInstance(
            zel_AccessBoardRegister(s.Instance(), 0, static_cast<std::uint16_t>(channel), *address, &read_back) != 0,
            "wrote register " + std::to_string(*address) + " of channel " + std::to_string(channel) +
                " but cannot read it back");
        r.Add("written", "Written", *value, text(*value))
            .Add("read_back", "Read back", read_back, text(read_back))
            .Print(g.json);
    };
    for (bool write : {false, true}) {
        auto* sub = reg->add_subcommand(write ? "write" : "read", write ? "Write a register" : "Read a register");
        sub->add_option("address", *address, "Register address (0..2047)")->required()->check(InRange(0, 2047));
        if (write)
            sub->add_option("value", *value, "16-bit value (0..65535, 0x... for hex)")
                ->required()
                ->check(InRange(0, 65535));
        AddChannelOption(sub, *reg_channel, false);
        sub->callback([run, write] { run(write); });
    }

    auto* sw = app.add_subcommand("switch", "Optical switches: 2x2 per channel, MEMS and LBMM selectors")
                   ->require_subcommand(1);
    for (const auto& kind : kSwitches) AddSwitch(*sw, g, kind);
}

}  // namespace zelctl
