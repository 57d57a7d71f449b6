// voa sweep: steps one channel's attenuation over a range, reads it back and reads the power behind it;
// prints a table (or JSON), and writes CSV and an SVG picture of the curve.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "args.h"
#include "fanout.h"
#include "sweep.h"
#include "terminal.h"
#include "unit_helpers.h"

namespace zelctl {
namespace {

constexpr double kMaxDb = 30.0;
constexpr std::size_t kMaxPoints = 3001;  // 0.01 dB steps over the whole range

// A file written whole or not at all: opened (so an unwritable path fails before the sweep), then
// filled, then moved into place. "-" is standard output.
class OutputFile {
public:
    explicit OutputFile(std::string path) : path_(std::move(path)), tmp_(path_ + ".tmp") {
        if (path_ == "-") return;
        errno = 0;
        out_.open(tmp_, std::ios::binary | std::ios::trunc);
        if (!out_) throw FileFailure("write", path_);
    }
    ~OutputFile() {
        if (!done_ && path_ != "-") {
            out_.close();
            std::remove(tmp_.c_str());
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    void Commit(const std::string& text) {
        if (path_ == "-") {
            done_ = true;
            PrintOut(text);
            return;
        }
        errno = 0;
        out_ << text;
        out_.close();
        if (!out_) throw FileFailure("write", path_);
        if (!MoveIntoPlace(tmp_, path_)) throw FileFailure("write", path_);
        done_ = true;
    }

private:
    std::string path_, tmp_;
    std::ofstream out_;
    bool done_ = false;
};

// The wait after a setting, cut short by Ctrl-C (whose cancel meets no call in flight here).
void Dwell(unsigned ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!Interrupted() && std::chrono::steady_clock::now() < end) {
        const auto left = end - std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(20)));
    }
}

struct VoaSweepOptions {
    std::optional<int> channel;
    double from = 0, to = kMaxDb, step = 1;
    unsigned dwell_ms = 0;
    std::optional<std::uint16_t> wavelength;
    std::string csv, plot;
};

void RunVoaSweep(Session& s, const VoaSweepOptions& o, bool json) {
    const std::vector<double> steps = SweepSteps(o.from, o.to, o.step);
    // With several units, each writes files of its own.
    const std::string csv_path = UnitNamedFile(o.csv), plot_path = UnitNamedFile(o.plot);
    std::optional<OutputFile> csv, svg;
    if (!csv_path.empty()) csv.emplace(csv_path);
    if (!plot_path.empty()) svg.emplace(plot_path);

    const int c = *o.channel;
    s.RequireChannel(c);
    if (o.wavelength) s.UseWavelength(*o.wavelength);
    SweepPlot plot{c, s.WavelengthInUse(), {}, {}, {}};
    // Read before the first step: the points of a sweep the unit stops answering in still name it.
    plot.context = OutputContext(s, plot.wavelength_nm);
    std::optional<Failure> failure;  // what stopped the sweep before its last step
    {
        Progress progress("sweep", steps.size(), json);
        for (double db : steps) {
            try {
                SetAttenuationDb(s, c, db);
                Dwell(o.dwell_ms);
                const double read = ReadAttenuationDb(s, c);
                plot.points.push_back({db, read, ReadPowerUw(s, c)});
            } catch (const Failure& e) {
                failure = e;
                plot.stopped = SweepPlot::Stop{db, e.what()};
                break;
            }
            progress.Advance();
        }
    }

    // What was measured is kept, whole or not.
    if (csv) csv->Commit(SweepCsv(plot));
    if (svg) svg->Commit(SweepSvg(plot));
    const auto stop = [&] {
        if (!failure) return;
        throw Failure(failure->code(), "voa sweep " + StoppedText(*plot.stopped) + " (" +
                                           std::to_string(plot.points.size()) + " of " + std::to_string(steps.size()) +
                                           " points measured, kept)");
    };
    if (csv_path == "-" || plot_path == "-") return stop();  // standard output holds the file

    Table table(
        {{"set_db", "Set (dB)"}, {"read_db", "Read (dB)"}, {"power_uw", "Power (uW)"}, {"power_dbm", "Power (dBm)"}});
    for (const auto& p : plot.points) {
        table.AddRow({{p.set_db, Fixed(p.set_db, 2)},
                      {p.read_db, Fixed(p.read_db, 2)},
                      {p.power_uw, Fixed(p.power_uw, 3)},
                      {PowerDbmJson(p.power_uw), PowerDbm(p.power_uw)}});
    }
    if (json) {
        Json out = Json::object();
        for (const auto& [key, value] : plot.context) out[key] = value;
        out["channel"] = c;
        out["wavelength_nm"] = plot.wavelength_nm;
        out["complete"] = !plot.stopped;
        if (plot.stopped) {
            out["stopped_at"] = plot.stopped->at_db;
            out["error"] = plot.stopped->reason;
        }
        out["points"] = table.ToJson();
        if (!csv_path.empty()) out["csv"] = csv_path;
        if (!plot_path.empty()) out["plot"] = plot_path;
        PrintJson(out);
        return stop();
    }
    PrintOut("Channel " + std::to_string(c) + " at " + std::to_string(plot.wavelength_nm) + " nm, " +
             std::to_string(plot.points.size()) + (plot.points.size() == 1 ? " point" : " points") +
             (plot.stopped ? " (incomplete, " + StoppedText(*plot.stopped) + ")\n" : "\n"));
    table.Print(false);
    if (!csv_path.empty()) PrintOut("CSV:  " + csv_path + "\n");
    if (!plot_path.empty()) PrintOut("Plot: " + plot_path + "\n");
    stop();
}

}  // namespace

std::string StoppedText(const SweepPlot::Stop& stop) {
    return "stopped at " + Number(stop.at_db) + " dB: " + stop.reason;
}

std::string SweepCsv(const SweepPlot& plot) {
    std::string out;
    for (const auto& [key, value] : plot.context) out += "# " + key + ": " + value + "\n";
    if (plot.stopped) out += "# incomplete: " + StoppedText(*plot.stopped) + "\n";
    out += "set_db,read_db,power_uw,power_dbm\n";
    char line[160];
    for (const auto& p : plot.points) {
        std::snprintf(line, sizeof line, "%.4f,%.4f,%.6f,", p.set_db, p.read_db, p.power_uw);
        out += line;
        if (p.power_uw > 0) out += Fixed(10.0 * std::log10(p.power_uw / 1000.0), 4);  // empty: no light
        out += "\n";
    }
    return out;
}

std::vector<double> SweepSteps(double from, double to, double step) {
    if (!(step > 0)) throw Failure(kExitUsage, "--step " + Number(step) + " dB: the step must be greater than 0 dB");
    for (double v : {from, to}) {
        if (!(v >= 0 && v <= kMaxDb)) throw Failure(kExitUsage, OutsideRange(v, 0, kMaxDb, "dB"));
    }
    if (from > to) throw Failure(kExitUsage, "--from " + Number(from) + " dB is above --to " + Number(to) + " dB");
    // Whole steps that fit, allowing for rounding in (to - from) / step.
    const double intervals = std::floor((to - from) / step + 1e-9);
    if (intervals + 1 > kMaxPoints) {
        throw Failure(kExitUsage, "a step of " + Number(step) + " dB from " + Number(from) + " to " + Number(to) +
                                      " dB gives " + Number(intervals + 1) + " points; a sweep takes at most " +
                                      std::to_string(kMaxPoints));
    }
    std::vector<double> out;
    for (std::size_t i = 0; i <= static_cast<std::size_t>(intervals); ++i) {
        // Each value from its index, not by adding steps up, and rounded to the calibration's 1e-9 dB.
        out.push_back(std::min(to, std::round((from + static_cast<double>(i) * step) * 1e9) / 1e9));
    }
    return out;
}

void AddVoaSweep(CLI::App& voa, const GlobalOptions& g) {
    auto o = std::make_shared<VoaSweepOptions>();
    auto* sweep = voa.add_subcommand(
        "sweep",
        "Step a channel's attenuation from --from to --to dB; at each step read the attenuation back and the power "
        "behind the tap. Prints a table; --csv and --plot write the curve. The attenuator is left at the last step.");
    AddChannelOption(sweep, o->channel, true);
    sweep->add_option("--from", o->from, "First attenuation in dB (0..30)")->capture_default_str();
    sweep->add_option("--to", o->to, "Last attenuation in dB (0..30)")->capture_default_str();
    sweep->add_option("--step", o->step, "Step in dB (greater than 0)")->capture_default_str();
    sweep->add_option("--dwell", o->dwell_ms, "Wait this many ms after each setting before reading")
        ->capture_default_str()
        ->check(InRange(0, 0xFFFFFFFFu, "ms"));
    sweep->add_option("--wavelength", o->wavelength,
                      "Use the calibration of this wavelength, in nm (default: the board's default)");
    sweep->add_option("--csv", o->csv,
                      "Write the points as CSV (- for standard output): '# key: value' lines naming the unit, then "
                      "set_db,read_db,power_uw,power_dbm");
    sweep->add_option("--plot", o->plot, "Draw the curve as an SVG picture into this file (- for standard output)");
    RunWithSession(sweep, g, o, RunVoaSweep);
}

}  // namespace zelctl
