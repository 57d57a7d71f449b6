// The picture of a VOA sweep, written as SVG text: no drawing library needed.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "sweep.h"

namespace zelctl {
namespace {

// Canvas and plot area in pixels.
constexpr double kWidth = 820, kHeight = 760;
constexpr double kLeft = 80, kRight = 740, kTop = 60, kBottom = 450;
constexpr double kErrorTop = 480, kErrorBottom = 600;  // the attenuation error's panel under the plot

const char* const kReadColour = "#1f5fbf";
const char* const kPowerColour = "#c0392b";
const char* const kErrorColour = "#27863a";

std::string Num(double v, int decimals = 2) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(v) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : v);
    return buf;
}

// A value axis: its ends widened to whole ticks of 1, 2 or 5 times a power of ten.
struct Axis {
    double low, high, step;
    int decimals;

    static Axis Around(double low, double high) {
        if (!(high > low)) {  // one value: a span of one unit around it
            low -= 0.5;
            high += 0.5;
        }
        const double rough = (high - low) / 6;
        const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
        double step = magnitude;
        for (double m : {1.0, 2.0, 5.0, 10.0}) {
            if (m * magnitude >= 0.95 * rough) {
                step = m * magnitude;
                break;
            }
        }
        // Values up to 2 % of a step beyond a tick (noise on a round figure) stay inside that tick.
        Axis a{std::floor(low / step + 0.02) * step, std::ceil(high / step - 0.02) * step, step, 0};
        a.decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
        return a;
    }
    std::vector<double> Ticks() const {
        std::vector<double> out;
        const int n = static_cast<int>(std::lround((high - low) / step));
        for (int i = 0; i <= n; ++i) out.push_back(low + i * step);
        return out;
    }
    // Position of v between the pixel ends `from` (at low) and `to` (at high).
    double Map(double v, double from, double to) const { return from + (v - low) / (high - low) * (to - from); }
};

double Dbm(double uw) { return 10.0 * std::log10(uw / 1000.0); }

std::string Text(double x, double y, const std::string& anchor, const std::string& text,
                 const std::string& extra = "") {
    return "<text x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"" + anchor + "\"" + extra + ">" + text +
           "</text>\n";
}

std::string Line(double x1, double y1, double x2, double y2, const std::string& style) {
    return "<line x1=\"" + Num(x1) + "\" y1=\"" + Num(y1) + "\" x2=\"" + Num(x2) + "\" y2=\"" + Num(y2) + "\" " +
           style + "/>\n";
}

}  // namespace

std::string SweepSvg(const SweepPlot& plot) {
    double set_lo = INFINITY, set_hi = -INFINITY, read_lo = INFINITY, read_hi = -INFINITY;
    double dbm_lo = INFINITY, dbm_hi = -INFINITY, err_lo = 0, err_hi = 0;
    for (const auto& p : plot.points) {
        err_lo = std::min(err_lo, p.read_db - p.set_db);
        err_hi = std::max(err_hi, p.read_db - p.set_db);
        set_lo = std::min(set_lo, p.set_db);
        set_hi = std::max(set_hi, p.set_db);
        read_lo = std::min({read_lo, p.read_db, p.set_db});
        read_hi = std::max({read_hi, p.read_db, p.set_db});
        if (p.power_uw > 0) {
            dbm_lo = std::min(dbm_lo, Dbm(p.power_uw));
            dbm_hi = std::max(dbm_hi, Dbm(p.power_uw));
        }
    }
    if (plot.points.empty()) set_lo = set_hi = read_lo = read_hi = 0;
    if (!(dbm_lo <= dbm_hi)) dbm_lo = dbm_hi = 0;
    const Axis x = Axis::Around(set_lo, set_hi);
    const Axis left = Axis::Around(read_lo, read_hi);
    const Axis right = Axis::Around(dbm_lo, dbm_hi);
    const Axis error = Axis::Around(err_lo, err_hi);
    std::string context;  // "unit 127.0.0.1, serial 42, ..."
    for (const auto& [key, value] : plot.context) context += (context.empty() ? "" : ", ") + key + " " + value;
    if (plot.stopped) context = "incomplete (" + StoppedText(*plot.stopped) + "); " + context;
    const std::string title =
        "VOA sweep, channel " + std::to_string(plot.channel) + " at " + std::to_string(plot.wavelength_nm) + " nm";

    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth, 0) + "\" height=\"" + Num(kHeight, 0) +
           "\" viewBox=\"0 0 " + Num(kWidth, 0) + " " + Num(kHeight, 0) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<title>" + title + "</title>\n<desc>" + context + "</desc>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += Text(kWidth / 2, 28, "middle", title, " font-size=\"16\"");

    // Grid and ticks: x below the plot, attenuation read on the left, power on the right.
    svg += "<g id=\"axes\" stroke=\"black\">\n";
    svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(kTop) + "\" width=\"" + Num(kRight - kLeft) + "\" height=\"" +
           Num(kBottom - kTop) + "\" fill=\"none\"/>\n";
    svg += "<rect x=\"" + Num(kLeft) + "\" y=\"" + Num(kErrorTop) + "\" width=\"" + Num(kRight - kLeft) +
           "\" height=\"" + Num(kErrorBottom - kErrorTop) + "\" fill=\"none\"/>\n";
    svg += "</g>\n<g id=\"x-ticks\">\n";
    for (double t : x.Ticks()) {
        const double px = x.Map(t, kLeft, kRight);
        svg += Line(px, kTop, px, kBottom, "stroke=\"#dddddd\"");
        svg += Line(px, kErrorTop, px, kErrorBottom, "stroke=\"#dddddd\"");
        svg += Line(px, kErrorBottom, px, kErrorBottom + 6, "stroke=\"black\"");
        svg += Text(px, kErrorBottom + 20, "middle", Num(t, x.decimals));
    }
    svg += "</g>\n<g id=\"error-ticks\">\n";
    for (double t : error.Ticks()) {
        const double py = error.Map(t, kErrorBottom, kErrorTop);
        svg += Line(kLeft, py, kRight, py, "stroke=\"#dddddd\"");
        svg += Line(kLeft - 6, py, kLeft, py, "stroke=\"black\"");
        svg += Text(kLeft - 9, py + 4, "end", Num(t, error.decimals), " fill=\"" + std::string(kErrorColour) + "\"");
    }
    svg += "</g>\n<g id=\"left-ticks\">\n";
    for (double t : left.Ticks()) {
        const double py = left.Map(t, kBottom, kTop);
        svg += Line(kLeft, py, kRight, py, "stroke=\"#dddddd\"");
        svg += Line(kLeft - 6, py, kLeft, py, "stroke=\"black\"");
        svg += Text(kLeft - 9, py + 4, "end", Num(t, left.decimals), " fill=\"" + std::string(kReadColour) + "\"");
    }
    svg += "</g>\n<g id=\"right-ticks\">\n";
    for (double t : right.Ticks()) {
        const double py = right.Map(t, kBottom, kTop);
        svg += Line(kRight, py, kRight + 6, py, "stroke=\"black\"");
        svg += Text(kRight + 9, py + 4, "start", Num(t, right.decimals), " fill=\"" + std::string(kPowerColour) + "\"");
    }
    svg += "</g>\n";
    svg += Text((kLeft + kRight) / 2, kErrorBottom + 45, "middle", "Attenuation set (dB)");
    svg += Text(22, (kErrorTop + kErrorBottom) / 2, "middle", "Read - set (dB)",
                " fill=\"" + std::string(kErrorColour) + "\" transform=\"rotate(-90 22 " +
                    Num((kErrorTop + kErrorBottom) / 2) + ")\"");
    svg += Text(
        22, (kTop + kBottom) / 2, "middle", "Attenuation read (dB)",
        " fill=\"" + std::string(kReadColour) + "\" transform=\"rotate(-90 22 " + Num((kTop + kBottom) / 2) + ")\"");
    svg += Text(kWidth - 14, (kTop + kBottom) / 2, "middle", "Power (dBm)",
                " fill=\"" + std::string(kPowerColour) + "\" transform=\"rotate(90 " + Num(kWidth - 14) + " " +
                    Num((kTop + kBottom) / 2) + ")\"");

    // The three curves, each with a marker at every point (a sweep of one point is its markers alone).
    std::string read_points, power_points, error_points, markers;
    auto marker = [&markers](double px, double py, const char* colour) {
        markers += "<circle cx=\"" + Num(px) + "\" cy=\"" + Num(py) + "\" r=\"3\" fill=\"" + colour + "\"/>\n";
    };
    for (const auto& p : plot.points) {
        const double px = x.Map(p.set_db, kLeft, kRight);
        const double read_y = left.Map(p.read_db, kBottom, kTop);
        const double error_y = error.Map(p.read_db - p.set_db, kErrorBottom, kErrorTop);
        read_points += (read_points.empty() ? "" : " ") + Num(px) + "," + Num(read_y);
        error_points += (error_points.empty() ? "" : " ") + Num(px) + "," + Num(error_y);
        marker(px, read_y, kReadColour);
        marker(px, error_y, kErrorColour);
        if (p.power_uw > 0) {
            const double power_y = right.Map(Dbm(p.power_uw), kBottom, kTop);
            power_points += (power_points.empty() ? "" : " ") + Num(px) + "," + Num(power_y);
            marker(px, power_y, kPowerColour);
        }
    }
    auto polyline = [](const char* id, const char* colour, const std::string& points) {
        return "<polyline id=\"" + std::string(id) + "\" fill=\"none\" stroke=\"" + colour +
               "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
    };
    svg += polyline("attenuation-read", kReadColour, read_points);
    svg += polyline("power", kPowerColour, power_points);
    svg += polyline("attenuation-error", kErrorColour, error_points);
    svg += "<g id=\"markers\">\n" + markers + "</g>\n";

    // Legend, one row under the plot, where no curve can run through it; the context as a caption.
    const double lx = (kLeft + kRight) / 2 - 270, ly = kErrorBottom + 62;
    svg += "<g id=\"legend\">\n";
    svg += "<rect x=\"" + Num(lx) + "\" y=\"" + Num(ly) +
           "\" width=\"540\" height=\"30\" fill=\"white\" stroke=\"#999999\"/>\n";
    const std::pair<const char*, const char*> entries[] = {
        {kReadColour, "Attenuation read (dB)"}, {kPowerColour, "Power (dBm)"}, {kErrorColour, "Read - set (dB)"}};
    double ex = lx + 12;
    for (const auto& [colour, label] : entries) {
        svg += Line(ex, ly + 15, ex + 30, ly + 15, "stroke=\"" + std::string(colour) + "\" stroke-width=\"2\"");
        svg += Text(ex + 38, ly + 19, "start", label);
        ex += 180;
    }
    svg += "</g>\n";
    svg += Text(kWidth / 2, kHeight - 16, "middle", context, " id=\"caption\" font-size=\"10\" fill=\"#555555\"");
    svg += "</svg>\n";
    return svg;
}

}  // namespace zelctl
