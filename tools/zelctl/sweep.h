// voa sweep: the attenuation of one channel stepped over a range, read back, with the power behind it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace zelctl {

struct GlobalOptions;

struct SweepPoint {
    double set_db;    // attenuation asked for
    double read_db;   // attenuation the unit's VOA code gives through the calibration
    double power_uw;  // calibrated power behind the tap
};

struct SweepPlot {
    int channel;
    unsigned wavelength_nm;
    std::vector<SweepPoint> points;
    std::vector<std::pair<std::string, std::string>> context;  // OutputContext: unit, serial, time ...
    // A sweep that stopped before its last step (Ctrl-C, a unit that stopped answering): the points
    // are those measured before the setting it stopped at, and why.
    struct Stop {
        double at_db;
        std::string reason;
    };
    std::optional<Stop> stopped;
};

// "stopped at 16 dB: <reason>" of an incomplete sweep.
std::string StoppedText(const SweepPlot::Stop& stop);

// The points as CSV: the context as leading "# key: value" lines (an incomplete sweep adds
// "# incomplete: stopped at X dB: <reason>"), then set_db,read_db,power_uw,power_dbm.
std::string SweepCsv(const SweepPlot& plot);

// The attenuations a sweep visits: from, from + step, ... up to `to` (included when a step lands on it
// within rounding). Throws Failure(kExitUsage) for step <= 0, from > to, a range outside 0..30 dB or more
// points than a sweep takes.
std::vector<double> SweepSteps(double from, double to, double step);

// The sweep as an SVG picture: attenuation set on x; attenuation read (left axis, dB) and power (right
// axis, dBm) as two polylines with a marker at each point, and below them the attenuation error (read
// minus set, dB) on an axis of its own; ticks, labels, a legend, and the context as <title>, <desc> and a
// caption (saying "incomplete" and where it stopped for an incomplete sweep). Points without power (0 uW
// or less) are left out of the power line.
std::string SweepSvg(const SweepPlot& plot);

// `voa sweep` under the voa command.
void AddVoaSweep(CLI::App& voa, const GlobalOptions& options);

}  // namespace zelctl
