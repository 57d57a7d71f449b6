// Shared layer of zelctl: exit codes, failures, output (text and --json), the session with a unit.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "failure.h"
#include "zel_api.h"

namespace CLI {
class App;
}

namespace zelctl {

using Json = nlohmann::ordered_json;
class WatchedInstance;

// Options every subcommand shares.
struct GlobalOptions {
    std::string unit;                 // IPv4 address of the unit the command runs on
    std::vector<std::string> units;   // --unit values: comma lists of addresses and station names
    std::string station;              // --station FILE, else $ZEL_STATION
    std::string log;                  // --log FILE: the audit trail's file
    unsigned jobs = 0;                // --jobs: units driven at once (0: all)
    bool json = false;                // machine-readable output on stdout
    bool trace = false;               // every frame as hex on stderr
    std::string capture;              // the pcapng file the sessions capture to, once it is open (else empty)
    std::string capture_option;       // --capture FILE as parsed
    std::uint32_t timeout_ms = 5000;  // the links' time-out (connect, each send, each reply wait); 0 = library default
};

// ---- output ------------------------------------------------------------------------------------

// Labelled values: "Label:  text" lines in text mode, one JSON object with --json.
class Record {
public:
    struct Field {
        std::string key, label, text;
        Json value;
    };
    Record& Add(std::string key, std::string label, Json value, std::string text);
    Record& Add(std::string key, std::string label, Json value);  // text = value as printed by JSON
    void Print(bool json) const;
    Json ToJson() const;
    void PrintText() const;
    const std::vector<Field>& Fields() const { return fields_; }

private:
    std::vector<Field> fields_;
};

// Columns with their units in the headers; numbers right-aligned. --json gives an array of objects.
class Table {
public:
    struct Column {
        std::string key;
        std::string header;
        bool numeric = true;
    };
    explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
    // One cell per column: the JSON value and its text.
    void AddRow(std::vector<std::pair<Json, std::string>> cells);
    void PrintText(const std::string& indent = "") const;
    Json ToJson() const;
    void Print(bool json) const;
    const std::vector<Column>& Columns() const { return columns_; }
    const std::vector<std::vector<std::pair<Json, std::string>>>& Rows() const { return rows_; }

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::pair<Json, std::string>>> rows_;
};

std::string Fixed(double value, int decimals);
std::string Hex(unsigned value, int digits);
// What a command prints on stdout goes through these (and Record::Print, Table::Print), so that a
// command run on several units at once collects each unit's output instead (fanout.h).
void PrintJson(const Json& value);
void PrintOut(const std::string& text);
// Writes `data` to a temporary file beside `path`, then puts it in place: afterwards the file at
// `path` is the old one or the whole new one. Failure(kExitFile) when it cannot.
void WriteFileWhole(const std::string& path, const void* data, std::size_t size);

// Progress of a transfer on stderr, once it has run for a second: a bar with the time left on a
// terminal; otherwise a line every few seconds, unless `quiet` (--json) asks for silence.
class Progress {
public:
    Progress(std::string label, std::size_t total, bool quiet = false);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void Advance(std::size_t steps = 1);
    // `done` of `total` steps (the total may change as the transfer learns it).
    void Update(std::size_t done, std::size_t total);

private:
    void Draw(bool last);
    std::string label_;
    std::size_t total_, done_ = 0;
    bool terminal_, quiet_;
    bool shown_ = false;
    int last_permille_ = -1;
    std::chrono::steady_clock::time_point start_, last_draw_;
};

// ---- session -----------------------------------------------------------------------------------

struct WavelengthSlot {
    int slot;
    std::uint16_t nm;
};
// "1310, 1550 nm"
std::string JoinWavelengths(const std::vector<WavelengthSlot>& slots);

// One unit, reached through one library instance and its one link, connected the first time a
// command needs it. Channel count, wavelength table and record layout come from the library.
class Session {
public:
    explicit Session(const GlobalOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The connected instance; Failure(kExitInterrupted) once Ctrl-C has stopped the command.
    zel_instance* Instance();

    // After a failed call: throws Failure(kExitUnit, "<what>: <reason>").
    void CheckInstance(bool ok, const std::string& what);
    // CheckInstance for the dB and power functions: a channel whose `item` calibration ("VOA",
    // "TAP") is missing at the wavelength in use is named together with that wavelength.
    void CheckCalibrated(bool ok, int channel, const char* item, const std::string& what);

    int BoardType();
    int Channels();
    // Throws Failure(kExitUsage) for a channel the board does not have.
    void RequireChannel(int channel);

    // Used wavelength slots (slot 0 = the board default).
    std::vector<WavelengthSlot> Wavelengths();
    // The wavelength slot 0 serves.
    std::uint16_t DefaultWavelength();
    // Selects the slot of `nm` for calibration record reads and writes.
    void SelectWavelength(std::uint16_t nm);
    // Selects the slot of `nm` and makes its TAP factors and VOA coefficients the ones the dB and
    // power functions use. After connecting, the board's default wavelength is in use.
    void UseWavelength(std::uint16_t nm);
    // The wavelength whose calibration the dB and power functions use.
    std::uint16_t WavelengthInUse();

    const std::string& address() const { return options_.unit; }
    // Connects afresh at the next call (the calibration read again, the board's default wavelength in use):
    // after a restore, whose records the library read at the connect.
    void Reconnect() {
        connected_ = false;
        wavelength_in_use_.reset();
    }
    // The reason of the last failed call (ZEL_ERR_NOT_CONNECTED before an instance exists).
    zel_error LastError() const { return instance_ != nullptr ? zel_LastError(instance_) : ZEL_ERR_NOT_CONNECTED; }
    // Every frame of the link, from the connect on, also goes to `trace` (instead of --trace's stderr).
    void SetFrameTrace(zel_frame_trace_fn trace, void* user) {
        frame_trace_ = trace;
        frame_trace_user_ = user;
    }

private:
    [[noreturn]] void Fail(zel_error code, const std::string& what);
    // A wavelength the unit has no slot for is a usage error naming the wavelengths it has.
    [[noreturn]] void FailSelecting(zel_error code, std::uint16_t nm);
    GlobalOptions options_;
    zel_instance* instance_ = nullptr;
    std::unique_ptr<WatchedInstance> watch_;  // Ctrl-C cancels the instance's call in flight
    zel_frame_trace_fn frame_trace_ = nullptr;
    void* frame_trace_user_ = nullptr;
    bool connected_ = false;
    std::optional<int> board_type_;
    std::optional<std::uint16_t> wavelength_in_use_;  // unset: the board's default
};

// EEPROM bytes from `address` on, in block reads.
std::vector<std::uint8_t> ReadEeprom(Session& session, std::uint32_t address, std::size_t length);
// Writes one byte; the library waits for the EEPROM to settle.
void WriteEepromByte(Session& session, std::uint32_t address, std::uint8_t value);

// The time now, ISO 8601 in UTC: "2026-12-09T21:40:00Z", or with `milliseconds` "2026-12-09T21:40:00.123Z".
std::string UtcNow(bool milliseconds);

// A frame's bytes as lower-case hex pairs with a space between: "f0 14 00 ...".
std::string FrameHex(const std::uint8_t* bytes, std::size_t length);

// What a kept output (CSV, JSON, SVG) says about where and when it was made: unit address, serial number,
// board type, wavelength, the time (ISO 8601, UTC) and the zelctl version, as key/value pairs in that order.
// Without a wavelength (an output of every slot, which names each slot's) the pair is left out.
std::vector<std::pair<std::string, std::string>> OutputContext(Session& session,
                                                               std::optional<std::uint16_t> wavelength_nm);

// ---- subcommands -------------------------------------------------------------------------------

void AddUnitCommands(CLI::App& app, const GlobalOptions& options);        // info, temp, screen, reg, switch
void AddOpticsCommands(CLI::App& app, const GlobalOptions& options);      // voa, power
void AddWavelengthCommands(CLI::App& app, const GlobalOptions& options);  // wavelength
void AddEepromCommands(CLI::App& app, const GlobalOptions& options);      // eeprom
void AddCalibCommands(CLI::App& app, const GlobalOptions& options);       // calib
void AddDemoCommand(CLI::App& app, const GlobalOptions& options);         // demo

}  // namespace zelctl
