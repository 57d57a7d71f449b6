// zelctl against simulated units: demo, identity, optics, switches, registers, wavelengths, EEPROM,
// tracing and the errors a user meets.
#include <chrono>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "support/wait_for.h"
#include "zelctl_harness.h"

namespace zelctltest {
namespace {

using nlohmann::json;

std::size_t Lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(ZelctlDemo, PrintsTheChannelTableAndExitsZero) {
    const Result r = Zelctl({"demo"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Channel  Input (uW)  Set (dB)  Read (dB)  Power (uW)  Power (dBm)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("1310, 1550, 1490 nm"), std::string::npos);
    EXPECT_NE(r.out.find("Disconnected"), std::string::npos);

    const Result j = Zelctl({"--json", "demo"});
    ASSERT_EQ(j.code, 0) << j.err;
    const json doc = j.Json();
    ASSERT_EQ(doc["channels"].size(), 8u);
    for (const auto& ch : doc["channels"]) {
        // Set and read back through the calibration agree, and the power follows the attenuation.
        EXPECT_NEAR(ch["read_db"].get<double>(), ch["set_db"].get<double>(), 0.05);
        const double expected = ch["input_uw"].get<double>() * std::pow(10.0, -ch["set_db"].get<double>() / 10.0);
        EXPECT_NEAR(ch["power_uw"].get<double>(), expected, 0.02 * expected) << ch;
    }
    // One channel at 10 dB through each wavelength's calibration: each slot's curve needs a code of its own.
    const json& settings = doc["wavelength_settings"];
    ASSERT_EQ(settings["rows"].size(), 3u) << settings;
    std::set<int> codes;
    for (const auto& row : settings["rows"]) {
        EXPECT_NEAR(row["read_db"].get<double>(), 10.0, 0.05) << row;
        codes.insert(row["code"].get<int>());
    }
    EXPECT_EQ(codes.size(), 3u) << settings;
    EXPECT_EQ(settings["rows"][1]["wavelength_nm"], 1550);
    EXPECT_EQ(doc["switches"]["mems"], 3);
    EXPECT_EQ(doc["switches"]["2x2"][1]["position"], 1);
}

TEST(ZelctlInfo, ReportsTheIdentityOfAUnitProcess) {
    SimProcess sim({"--board-type", "4", "--board-id", "0x0ABC", "--firmware", "4.2", "--serial", "123456789",
                    "--wavelengths", "1550"});
    Result r = Zelctl({"--unit", sim.ip(), "--json", "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    json info = r.Json();
    EXPECT_EQ(info["board_id"], 0x0ABC);
    EXPECT_EQ(info["board_type"], 4);
    EXPECT_EQ(info["channels"], 4);
    EXPECT_EQ(info["serial"], 123456789);
    EXPECT_DOUBLE_EQ(info["firmware"].get<double>(), 4.2);
    EXPECT_DOUBLE_EQ(info["api_revision"].get<double>(), 6926.0);
    EXPECT_EQ(info["wavelengths_nm"], json({850, 1550}));
    EXPECT_GT(info["temperature_c"].get<double>(), 15.0);

    // The unit address comes from ZEL_UNIT when --unit is not given; text output is labelled.
    r = Zelctl({"info"}, {"ZEL_UNIT=" + sim.ip()});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("Board ID:           0x0ABC"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Wavelengths:        850, 1550 nm"), std::string::npos) << r.out;

    // The board type is the one the connect read in blocks: no EEPROM byte reads after it, through
    // the EEPROM address (10) and data (11) registers of select 0, 10 ms of settling each.
    r = Zelctl({"--unit", sim.ip(), "--trace", "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find(">> f1 "), std::string::npos) << r.err;  // the connect's block reads
    for (const char* eeprom_byte : {">> f0 00 00 00 0a ", ">> f0 00 00 00 0b "}) {
        EXPECT_EQ(r.err.find(eeprom_byte), std::string::npos) << r.err;
    }
    EXPECT_NE(r.out.find("Board type:         4\n"), std::string::npos) << r.out;
}

TEST(ZelctlOptics, SetsAndReadsAttenuationAndPower) {
    Unit unit(Board(6));
    Result r = unit.Run({"voa", "set", "12.5", "-c", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::uint16_t code = unit.model().Register(2, zelsim::reg::kVoaCode);
    EXPECT_NEAR(unit.model().TrueAttenuationDb(2, code), 12.5, 0.05);
    EXPECT_EQ(unit.model().Register(3, zelsim::reg::kVoaCode), 0);

    r = unit.Run({"--json", "voa", "get", "--code", "-c", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()[0]["code"], code);

    ASSERT_EQ(unit.Run({"voa", "set", "--code", "1234", "-c", "5"}).code, 0);
    EXPECT_EQ(unit.model().Register(5, zelsim::reg::kVoaCode), 1234);
    r = unit.Run({"--json", "voa", "get"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.Json().size(), 8u);
    EXPECT_NEAR(r.Json()[2]["db"].get<double>(), 12.5, 0.05);
    EXPECT_NEAR(r.Json()[5]["db"].get<double>(), unit.model().TrueAttenuationDb(5, 1234), 0.05);

    r = unit.Run({"--json", "power", "-c", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    const double expected_uw = unit.model().OutputPowerUw(2);
    EXPECT_NEAR(r.Json()[0]["power_uw"].get<double>(), expected_uw, 0.03 * expected_uw);
    r = unit.Run({"--json", "power", "--raw", "-c", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NEAR(r.Json()[0]["count"].get<double>(), expected_uw / unit.model().TapFactorUwPerCount(2),
                0.03 * expected_uw / unit.model().TapFactorUwPerCount(2));

    r = unit.Run({"voa", "set", "31", "-c", "0"});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << r.err;
}

TEST(ZelctlPower, ASaturatedDetectorFailsAndADarkOneReadsZero) {
    zelsim::UnitConfig cfg = Board(6);
    cfg.input_power_uw[1] = 5e6;  // beyond the detector's full scale
    Unit unit(cfg);
    const auto dark = [&] {
        unit.model().ScriptReads(2, zelsim::reg::kOpticalPower, std::vector<std::uint16_t>(10, 0));
    };
    ASSERT_EQ(unit.Run({"voa", "set", "0", "-c", "1"}).code, 0);
    Result r = unit.Run({"power", "-c", "1"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("channel 1: over range (at least "), std::string::npos) << r.err;
    dark();
    r = unit.Run({"--json", "power"});  // every channel is shown, then the command fails
    EXPECT_EQ(r.code, 1) << r.err;
    ASSERT_EQ(r.Json().size(), 8u) << r.out;
    EXPECT_TRUE(r.Json()[1]["power_uw"].is_null());
    EXPECT_EQ(r.Json()[2]["power_uw"], 0.0);
    EXPECT_TRUE(r.Json()[2]["power_dbm"].is_null());
    EXPECT_GT(r.Json()[0]["power_uw"].get<double>(), 0);
    r = unit.Run({"power", "--raw", "-c", "1"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("65535"), std::string::npos) << r.out;

    dark();
    r = unit.Run({"power", "-c", "2"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("      2        0.00  below range"), std::string::npos) << r.out;
}

// Attenuation (dB) of `code` on the cubic VOA curve of `select` in wavelength slot `slot`, from the
// coefficients in the unit's EEPROM.
double SlotCurveDb(const zelsim::UnitModel& m, unsigned slot, unsigned select, std::uint16_t code) {
    const std::uint32_t at = 0x2000 + 2048 * slot + 80 + 32 * select;
    double c[4];
    for (unsigned k = 0; k < 4; ++k) c[k] = EepromDouble(m, at + 8 * k);
    const double x = code;
    return c[0] * x * x * x + c[1] * x * x + c[2] * x + c[3];
}

TEST(ZelctlOptics, WavelengthSelectsTheSlotsCalibration) {
    Unit unit(Board(6, {1550}));
    zelsim::UnitModel& m = unit.model();
    auto code_of_3 = [&] { return m.Register(3, zelsim::reg::kVoaCode); };

    Result r = unit.Run({"voa", "set", "12", "-c", "3", "--wavelength", "1550"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::uint16_t at_1550 = code_of_3();
    EXPECT_NEAR(SlotCurveDb(m, 1, 3, at_1550), 12.0, 0.01);
    // Read back through each slot's curve.
    r = unit.Run({"--json", "voa", "get", "-c", "3", "--wavelength", "1550"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NEAR(r.Json()[0]["db"].get<double>(), 12.0, 0.01);
    r = unit.Run({"--json", "voa", "get", "-c", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NEAR(r.Json()[0]["db"].get<double>(), SlotCurveDb(m, 0, 3, at_1550), 1e-6);

    // Without --wavelength (or with the default one) slot 0's curve sets another code.
    ASSERT_EQ(unit.Run({"voa", "set", "12", "-c", "3"}).code, 0);
    const std::uint16_t at_default = code_of_3();
    EXPECT_NEAR(SlotCurveDb(m, 0, 3, at_default), 12.0, 0.01);
    EXPECT_NE(at_default, at_1550);
    ASSERT_EQ(unit.Run({"voa", "set", "12", "-c", "3", "--wavelength", "1550"}).code, 0);
    ASSERT_EQ(unit.Run({"voa", "set", "12", "-c", "3", "--wavelength", "1310"}).code, 0);
    EXPECT_EQ(code_of_3(), at_default);

    // Power goes through the slot's TAP factor: twice the factor in slot 1, twice the power.
    std::vector<std::uint8_t> image = m.EepromImage();
    zelsim::PutScaled(image, 0x2800 + 8 + 8 * 3, 2 * m.TapFactorUwPerCount(3));
    m.SetEepromImage(image);
    r = unit.Run({"--json", "power", "-c", "3", "--wavelength", "1550"});
    ASSERT_EQ(r.code, 0) << r.err;
    const double expected_uw = 2 * m.OutputPowerUw(3);
    EXPECT_NEAR(r.Json()[0]["power_uw"].get<double>(), expected_uw, 0.03 * expected_uw);

    // A wavelength the unit is not calibrated for: one line, exit 2, nothing set.
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"voa", "set", "5", "-c", "3", "--wavelength", "1625"},
                                               {"voa", "get", "--wavelength", "1625"},
                                               {"power", "--wavelength", "1625"}}) {
        r = unit.Run(args);
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_EQ(r.err,
                  "zelctl: cannot select 1625 nm: the unit is not calibrated for it (calibrated: 1310, 1550 nm)\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(code_of_3(), at_default);
    // Codes and raw counts bypass the calibration, so a wavelength makes no sense with them.
    r = unit.Run({"voa", "set", "100", "--code", "-c", "3", "--wavelength", "1550"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(code_of_3(), at_default);
}

TEST(ZelctlOptics, AnAddedWavelengthIsNotCalibrationUntilItIsWritten) {
    Unit unit(Board(6));
    zelsim::UnitModel& m = unit.model();
    ASSERT_EQ(unit.Run({"voa", "set", "--code", "123", "-c", "2"}).code, 0);
    ASSERT_EQ(unit.Run({"wavelength", "add", "1550"}).code, 0);  // its slot's calibration stays erased
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"voa", "set", "10", "-c", "2", "--wavelength", "1550"},
         "cannot set 10.00 dB on channel 2: channel 2 has no VOA calibration at 1550 nm"},
        {{"voa", "get", "-c", "2", "--wavelength", "1550"},
         "cannot read the attenuation of channel 2: channel 2 has no VOA calibration at 1550 nm"},
        {{"power", "-c", "2", "--wavelength", "1550"},
         "cannot read the optical power of channel 2: channel 2 has no TAP calibration at 1550 nm"},
    };
    for (const auto& c : cases) {
        const Result r = unit.Run(c.args);
        EXPECT_EQ(r.code, 1) << c.args[0];
        EXPECT_EQ(r.err.rfind("zelctl: " + c.message + " (", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("calib set --wavelength 1550"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(m.Register(2, zelsim::reg::kVoaCode), 123);  // nothing was sent to the attenuator

    // Once the slot's calibration of the channel is written, it is used.
    ASSERT_EQ(unit.Run({"calib", "set", "voa", "-c", "2", "--wavelength", "1550", "0", "0", "0.01", "0"}).code, 0);
    ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "2", "--wavelength", "1550", "0.002"}).code, 0);
    Result r = unit.Run({"voa", "set", "10", "-c", "2", "--wavelength", "1550"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(m.Register(2, zelsim::reg::kVoaCode), 1000);
    r = unit.Run({"power", "-c", "2", "--wavelength", "1550"});
    EXPECT_EQ(r.code, 0) << r.err;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<double> SplitNumbers(const std::string& line, char separator) {
    std::vector<double> out;
    std::istringstream in(line);
    for (std::string cell; std::getline(in, cell, separator);) out.push_back(cell.empty() ? NAN : std::stod(cell));
    return out;
}

// The SVG parsed by Debian's Python as XML (it refuses anything that is not well-formed); what the
// picture holds, as JSON: each polyline's points, and every text with its position.
json ParseSvg(const std::string& path) {
    static const char* const kScript = R"(
import json, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
ns = '{http://www.w3.org/2000/svg}'
lines = {p.get('id'): [[float(v) for v in xy.split(',')] for xy in p.get('points').split()]
         for p in root.iter(ns + 'polyline')}
texts = [{'text': t.text, 'x': float(t.get('x')), 'y': float(t.get('y'))} for t in root.iter(ns + 'text')]
markers = [[float(c.get('cx')), float(c.get('cy'))] for c in root.iter(ns + 'circle')]
print(json.dumps({'root': root.tag, 'polylines': lines, 'texts': texts, 'markers': markers,
                  'title': root.findtext(ns + 'title'), 'desc': root.findtext(ns + 'desc')}))
)";
    const Result r = RunProgram({"/usr/bin/python3", "-c", kScript, path});
    EXPECT_EQ(r.code, 0) << r.err;
    return r.code == 0 ? r.Json() : json();
}

// Checks the context lines of a kept output ("# key: value") against the unit; returns them as the SVG's
// description and caption give them ("unit 127.1.2.3, serial 42, ...").
std::string ExpectContext(const std::vector<std::string>& lines, const Unit& unit, int wavelength_nm) {
    const std::regex shape(R"(# (\w+): (\S+))");
    const std::vector<std::string> keys{"unit", "serial", "board_type", "wavelength_nm", "time", "zelctl_version"};
    std::map<std::string, std::string> got;
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines[i], m, shape)) << lines[i];
        EXPECT_EQ(m[1], keys.at(i));
        got[m[1]] = m[2];
        joined += (i == 0 ? "" : ", ") + m[1].str() + " " + m[2].str();
    }
    EXPECT_EQ(got["unit"], unit.ip());
    EXPECT_EQ(got["serial"], unit.Run({"--json", "info"}).Json()["serial"].dump());
    EXPECT_EQ(got["board_type"], "6");
    EXPECT_EQ(got["wavelength_nm"], std::to_string(wavelength_nm));
    EXPECT_TRUE(std::regex_match(got["time"], std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << got["time"];
    EXPECT_TRUE(std::regex_match(got["zelctl_version"], std::regex(R"(\d+\.\d+\.\d+)"))) << got["zelctl_version"];
    return joined;
}

TEST(ZelctlSweep, TheCsvFollowsTheUnitsCurveAndThePlotDrawsIt) {
    Unit unit(Board(6));
    zelsim::UnitModel& m = unit.model();
    const std::string csv = TempPath("sweep.csv"), svg = TempPath("sweep.svg");
    Result r = unit.Run(
        {"voa", "sweep", "-c", "3", "--from", "0", "--to", "30", "--step", "2.5", "--csv", csv, "--plot", svg});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(SplitLines(r.out).size(), 2u + 13 + 2) << r.out;  // heading, column headers, points, file names

    std::ifstream in(csv);
    std::vector<std::string> lines = SplitLines(std::string(std::istreambuf_iterator<char>(in), {}));
    // The context first, as "# key: value" lines: a CSV kept on its own still names its unit and time.
    ASSERT_EQ(lines.size(), 6u + 14u);
    const std::string context = ExpectContext(std::vector<std::string>(lines.begin(), lines.begin() + 6), unit, 1310);
    lines.erase(lines.begin(), lines.begin() + 6);
    EXPECT_EQ(lines[0], "set_db,read_db,power_uw,power_dbm");
    const double input_uw = m.InputPower(3);
    double previous_uw = INFINITY;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<double> row = SplitNumbers(lines[i], ',');
        ASSERT_EQ(row.size(), 4u) << lines[i];
        const double set = 2.5 * static_cast<double>(i - 1);
        EXPECT_DOUBLE_EQ(row[0], set);
        EXPECT_NEAR(row[1], set, 0.011) << lines[i];  // the calibration finds a code within 0.01 dB
        // The power behind the VOA: the input less the attenuation, within the monitor's noise.
        EXPECT_NEAR(row[2], input_uw * std::pow(10.0, -row[1] / 10.0), 0.03 * row[2] + 0.01) << lines[i];
        EXPECT_LT(row[2], previous_uw) << lines[i];
        EXPECT_NEAR(row[3], 10.0 * std::log10(row[2] / 1000.0), 1e-3) << lines[i];
        previous_uw = row[2];
    }
    // The attenuator is left at the last point.
    EXPECT_NEAR(m.TrueAttenuationDb(3, m.Register(3, zelsim::reg::kVoaCode)), 30.0, 0.011);

    if (!zeltest::host::RunsDebianPrograms()) GTEST_SKIP() << "no Debian Python here to parse the SVG with";
    const json picture = ParseSvg(svg);
    ASSERT_FALSE(picture.is_null());
    EXPECT_EQ(picture["root"], "{http://www.w3.org/2000/svg}svg");
    const json& read = picture["polylines"]["attenuation-read"];
    const json& power = picture["polylines"]["power"];
    const json& error = picture["polylines"]["attenuation-error"];
    ASSERT_EQ(read.size(), 13u);
    ASSERT_EQ(power.size(), 13u);
    ASSERT_EQ(error.size(), 13u);
    EXPECT_EQ(picture["markers"].size(), 3u * 13);  // one on each curve at every point
    EXPECT_EQ(picture["title"], "VOA sweep, channel 3 at 1310 nm");
    EXPECT_EQ(picture["desc"], context);
    for (std::size_t i = 1; i < read.size(); ++i) {
        EXPECT_GT(read[i][0].get<double>(), read[i - 1][0].get<double>());  // x: attenuation set rises
        EXPECT_EQ(power[i][0], read[i][0]);
        EXPECT_EQ(error[i][0], read[i][0]);
        // Errors within 0.01 dB, on an axis of their own: they stay inside the lower panel.
        EXPECT_GT(error[i][1].get<double>(), 480.0);
        EXPECT_LT(error[i][1].get<double>(), 600.0);
        EXPECT_LT(read[i][1].get<double>(), read[i - 1][1].get<double>());    // read back rises: up the page
        EXPECT_GT(power[i][1].get<double>(), power[i - 1][1].get<double>());  // power falls: down the page
    }
    // Axis titles and the legend, and the x ticks at the curve's ends: 0 dB under its first point, 30 dB under its
    // last.
    std::multiset<std::string> texts;
    std::map<std::string, double> tick_x;
    for (const auto& t : picture["texts"]) {
        texts.insert(t["text"].get<std::string>());
        if (!tick_x.count(t["text"])) tick_x[t["text"]] = t["x"].get<double>();
    }
    EXPECT_EQ(texts.count("Attenuation set (dB)"), 1u);
    EXPECT_EQ(texts.count("Attenuation read (dB)"), 2u);  // left axis and legend
    EXPECT_EQ(texts.count("Power (dBm)"), 2u);            // right axis and legend
    EXPECT_EQ(texts.count("VOA sweep, channel 3 at 1310 nm"), 1u);
    EXPECT_EQ(texts.count("Read - set (dB)"), 2u);  // its axis and the legend
    EXPECT_EQ(texts.count(context), 1u);            // the caption
    ASSERT_TRUE(tick_x.count("0") && tick_x.count("30"));
    EXPECT_NEAR(tick_x["0"], read[0][0].get<double>(), 0.01);
    EXPECT_NEAR(tick_x["30"], read[12][0].get<double>(), 0.01);
}

TEST(ZelctlSweep, OnePointToStandardOutput) {
    Unit unit(Board(6));
    // "-" writes the file to stdout, and nothing else goes there.
    Result r = unit.Run({"voa", "sweep", "-c", "1", "--from", "5", "--to", "5", "--csv", "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = SplitLines(r.out);
    ASSERT_EQ(lines.size(), 6u + 2) << r.out;
    ExpectContext(std::vector<std::string>(lines.begin(), lines.begin() + 6), unit, 1310);
    EXPECT_EQ(lines[6], "set_db,read_db,power_uw,power_dbm");
    EXPECT_EQ(SplitNumbers(lines[7], ',').size(), 4u) << lines[7];

    const std::string svg = TempPath("one.svg");
    if (!zeltest::host::RunsDebianPrograms()) GTEST_SKIP() << "no Debian Python here to parse the SVG with";
    r = unit.Run({"voa", "sweep", "-c", "1", "--from", "5", "--to", "5", "--plot", "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::ofstream(svg) << r.out;
    const json picture = ParseSvg(svg);
    EXPECT_EQ(picture["markers"].size(), 3u);  // a single point still shows on each curve

    r = unit.Run({"voa", "sweep", "-c", "1", "--from", "5", "--to", "5"});
    EXPECT_EQ(SplitLines(r.out).at(0), "Channel 1 at 1310 nm, 1 point");
}

TEST(ZelctlSweep, JsonAndAnotherWavelengthsCalibration) {
    Unit unit(Board(6, {1550}));
    zelsim::UnitModel& m = unit.model();
    const Result r = unit.Run({"--json", "voa", "sweep", "-c", "2", "--from", "10", "--to", "11", "--step", "0.3",
                               "--wavelength", "1550", "--dwell", "5"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json doc = r.Json();
    EXPECT_EQ(doc["channel"], 2);
    EXPECT_EQ(doc["wavelength_nm"], 1550);
    EXPECT_EQ(doc["unit"], unit.ip());
    EXPECT_EQ(doc["board_type"], "6");
    EXPECT_TRUE(doc.contains("serial") && doc.contains("time") && doc.contains("zelctl_version")) << doc;
    EXPECT_EQ(doc["complete"], true);
    EXPECT_FALSE(doc.contains("stopped_at") || doc.contains("error")) << doc;
    ASSERT_EQ(doc["points"].size(), 4u);  // 10, 10.3, 10.6, 10.9: the step does not reach 11
    EXPECT_DOUBLE_EQ(doc["points"][3]["set_db"].get<double>(), 10.9);
    for (const auto& p : doc["points"]) EXPECT_NEAR(p["read_db"].get<double>(), p["set_db"].get<double>(), 0.011) << p;
    // The code of the last point sits on slot 1's curve, not on the default's.
    const std::uint16_t code = m.Register(2, zelsim::reg::kVoaCode);
    EXPECT_NEAR(SlotCurveDb(m, 1, 2, code), 10.9, 0.011);
    EXPECT_GT(std::fabs(SlotCurveDb(m, 0, 2, code) - 10.9), 0.02);  // the default slot would be within 0.01
}

// A sweep that stops before its last step keeps what it measured: the CSV, the SVG and the JSON
// hold the points so far, marked incomplete with the setting it stopped at and why, and the exit
// code says why (1: the unit stopped answering; 130: Ctrl-C, which ends the wait at once instead
// of after the 8 s time-out).
TEST(ZelctlSweep, AnInterruptedSweepKeepsItsPointsMarkedIncomplete) {
    const struct {
        const char* name;
        std::string timeout_ms;
        bool ctrl_c;
        int code;
        const char* reason;
    } cases[] = {
        {"unit stops answering", "300", false, 1, "the unit did not answer in time"},
        {"Ctrl-C while the unit is silent", "8000", true, 130, "interrupted (Ctrl-C)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.ctrl_c && !zeltest::host::CanInterrupt()) GTEST_SKIP() << "no console here to carry a Ctrl+Break";
        Unit unit(Board(6));
        const std::string csv = TempPath("partial.csv"), svg = TempPath("partial.svg");
        unit.server().SetFaults({.kind = zelsim::Fault::Delay, .delay_ms = 2});  // a slow unit
        auto child = unit.Start({"--timeout", c.timeout_ms, "--json", "voa", "sweep", "-c", "2", "--from", "0", "--to",
                                 "30", "--csv", csv, "--plot", svg});
        // Some points in, the unit falls silent.
        const std::size_t start = unit.server().FramesReceived();
        ASSERT_TRUE(
            zeltest::WaitFor([&] { return unit.server().FramesReceived() >= start + 120; }, std::chrono::seconds(20)));
        unit.server().SetFaults({.kind = zelsim::Fault::Stall});
        const auto silent = std::chrono::steady_clock::now();
        if (c.ctrl_c) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sweep waits for a reply
            ASSERT_TRUE(child->Interrupt());
        }
        const Result r = child->Wait();
        const auto took = std::chrono::steady_clock::now() - silent;
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_LT(took, std::chrono::seconds(3));  // well within the 8 s time-out: a bound, not a speed target

        const json doc = r.Json();
        EXPECT_EQ(doc["complete"], false);
        const std::size_t measured = doc["points"].size();
        EXPECT_GT(measured, 0u);
        EXPECT_LT(measured, 31u);
        // 1 dB steps: the setting it stopped at is the first one without its point.
        const double stopped_at = static_cast<double>(measured);
        EXPECT_DOUBLE_EQ(doc["stopped_at"].get<double>(), stopped_at);
        const std::string error = doc["error"].get<std::string>();
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        const std::string at = "stopped at " + std::to_string(measured) + " dB: ";
        EXPECT_NE(r.err.find("voa sweep " + at), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::to_string(measured) + " of 31 points measured"), std::string::npos) << r.err;

        std::ifstream in(csv);
        const std::vector<std::string> lines = SplitLines(std::string(std::istreambuf_iterator<char>(in), {}));
        ASSERT_EQ(lines.size(), 7u + 1 + measured);  // context, the mark, the header, the points
        EXPECT_EQ(lines[6], "# incomplete: " + at + error);
        EXPECT_EQ(lines[7], "set_db,read_db,power_uw,power_dbm");
        for (std::size_t i = 0; i < measured; ++i) {
            EXPECT_DOUBLE_EQ(SplitNumbers(lines[8 + i], ',').at(0), doc["points"][i]["set_db"].get<double>());
        }
        std::ifstream picture_file(svg);
        const std::string picture((std::istreambuf_iterator<char>(picture_file)), {});
        EXPECT_NE(picture.find("incomplete (" + at), std::string::npos);
        if (zeltest::host::RunsDebianPrograms()) {
            const json picture_doc = ParseSvg(svg);
            EXPECT_EQ(picture_doc["polylines"]["attenuation-read"].size(), measured);
            EXPECT_EQ(picture_doc["desc"].get<std::string>().rfind("incomplete (" + at, 0), 0u);
        }
    }
}

// Ctrl-C ends a command waiting on silent units at once, with 130: the call in flight on every
// unit is cancelled, on one unit and on several driven at once.
TEST(ZelctlInterrupt, CtrlCEndsTheCallsInFlightOnEveryUnit) {
    if (!zeltest::host::CanInterrupt()) GTEST_SKIP() << "no console here to carry a Ctrl+Break to zelctl";
    Unit first(Board(6)), second(Board(6));
    first.server().SetFaults({.kind = zelsim::Fault::Stall});
    second.server().SetFaults({.kind = zelsim::Fault::Stall});
    const struct {
        const char* name;
        std::string units;
        std::size_t waiting;  // frames the silent units take before they wait
    } cases[] = {
        {"one unit", first.ip(), 1},
        {"two units at once", first.ip() + "," + second.ip(), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = first.server().FramesReceived() + second.server().FramesReceived();
        ZelctlChild child({"--unit", c.units, "--timeout", "8000", "info"});
        ASSERT_TRUE(zeltest::WaitFor(
            [&] { return first.server().FramesReceived() + second.server().FramesReceived() >= before + c.waiting; },
            std::chrono::seconds(10)));
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(child.Interrupt());
        const Result r = child.Wait();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // a bound, not a target
        EXPECT_EQ(r.code, 130) << r.err;
        EXPECT_NE(r.err.find("interrupted (Ctrl-C)"), std::string::npos) << r.err;
    }
}

TEST(ZelctlSweep, RefusesARangeItCannotSweepBeforeTouchingTheUnit) {
    Unit unit(Board(6));
    zelsim::UnitModel& m = unit.model();
    m.SetRegister(1, zelsim::reg::kVoaCode, 777);
    const std::string csv = TempPath("refused.csv");
    const struct {
        std::vector<std::string> range;
        std::string message;
    } cases[] = {
        {{"--step", "0"}, "--step 0 dB: the step must be greater than 0 dB"},
        {{"--step", "-0.5"}, "--step -0.5 dB: the step must be greater than 0 dB"},
        {{"--from", "20", "--to", "10"}, "--from 20 dB is above --to 10 dB"},
        {{"--to", "31"}, "31 dB is outside 0..30 dB"},
        {{"--from", "-1"}, "-1 dB is outside 0..30 dB"},
        {{"--step", "0.001"}, "a step of 0.001 dB from 0 to 30 dB gives 30001 points; a sweep takes at most 3001"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"voa", "sweep", "-c", "1", "--csv", csv};
        args.insert(args.end(), c.range.begin(), c.range.end());
        const Result r = unit.Run(args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_EQ(r.err, "zelctl: " + c.message + "\n");
    }
    // A file that cannot be written fails before the first step.
    const Result r = unit.Run({"voa", "sweep", "-c", "1", "--plot", "/nonexistent/dir/sweep.svg"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "zelctl: cannot write /nonexistent/dir/sweep.svg: No such file or directory\n");
    EXPECT_EQ(m.Register(1, zelsim::reg::kVoaCode), 777);
    EXPECT_FALSE(std::ifstream(csv).good());
}

TEST(ZelctlUnit, SwitchesScreenRegistersAndTemperature) {
    Unit unit(Board(6));
    zelsim::UnitModel& m = unit.model();
    ASSERT_EQ(unit.Run({"switch", "2x2", "set", "1", "-c", "3"}).code, 0);
    EXPECT_EQ(m.Register(3, zelsim::reg::kSwitch2x2), 1);
    EXPECT_EQ(m.Register(2, zelsim::reg::kSwitch2x2), 0);
    ASSERT_EQ(unit.Run({"switch", "mems", "set", "5"}).code, 0);
    ASSERT_EQ(unit.Run({"switch", "lbmm", "set", "6"}).code, 0);
    EXPECT_EQ(m.Register(0, zelsim::reg::kSwitchMems), 5);
    EXPECT_EQ(m.Register(0, zelsim::reg::kSwitchLbmm), 6);
    Result r = unit.Run({"--json", "switch", "2x2", "get"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.Json().size(), 8u);
    EXPECT_EQ(r.Json()[3]["position"], 1);
    r = unit.Run({"--json", "switch", "lbmm", "get"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["position"], 6);

    // Positions the switches do not have are refused, and the switches keep theirs.
    ASSERT_EQ(unit.Run({"switch", "mems", "set", "7"}).code, 0);  // the last of 8 ports
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refused[] = {
        {{"switch", "2x2", "set", "2", "-c", "3"}, "position 2 is outside 0..1: a 2x2 switch is bar (0) or cross (1)"},
        {{"switch", "mems", "set", "8"}, "position 8 is outside 0..7: the MEMS switch of board type 6 has 8 ports"},
        {{"switch", "lbmm", "set", "65542"},
         "position 65542 is outside 0..7: the LBMM switch of board type 6 has 8 ports"},
    };
    for (const auto& c : refused) {
        r = unit.Run(c.args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_EQ(r.err, "zelctl: " + c.message + "\n");
    }
    EXPECT_EQ(m.Register(3, zelsim::reg::kSwitch2x2), 1);
    EXPECT_EQ(m.Register(0, zelsim::reg::kSwitchMems), 7);
    EXPECT_EQ(m.Register(0, zelsim::reg::kSwitchLbmm), 6);  // 65542 would have reached it as 6
    {
        Unit four_ports(Board(4));
        EXPECT_EQ(four_ports.Run({"switch", "lbmm", "set", "3"}).code, 0);
        r = four_ports.Run({"switch", "lbmm", "set", "4"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "zelctl: position 4 is outside 0..3: the LBMM switch of board type 4 has 4 ports\n");
        EXPECT_EQ(four_ports.model().Register(0, zelsim::reg::kSwitchLbmm), 3);
        Unit one_port(Board(1));
        r = one_port.Run({"switch", "mems", "set", "1"});
        EXPECT_EQ(r.err, "zelctl: position 1 is outside 0..0: the MEMS switch of board type 1 has 1 port\n");
        // One channel on bank 3 with eight-port selectors; its 2x2 switch is still bar or cross.
        Unit one_channel(Board(7));
        EXPECT_EQ(one_channel.Run({"switch", "mems", "set", "7"}).code, 0);
        r = one_channel.Run({"switch", "2x2", "set", "2", "-c", "0"});
        EXPECT_EQ(r.err, "zelctl: position 2 is outside 0..1: a 2x2 switch is bar (0) or cross (1)\n");
        r = one_channel.Run({"switch", "lbmm", "set", "8"});
        EXPECT_EQ(r.err, "zelctl: position 8 is outside 0..7: the LBMM switch of board type 7 has 8 ports\n");
        EXPECT_EQ(one_channel.model().Register(3, zelsim::reg::kSwitch2x2), 0);
        EXPECT_EQ(one_channel.model().Register(0, zelsim::reg::kSwitchLbmm), 0);
        EXPECT_EQ(one_channel.model().Register(0, zelsim::reg::kSwitchMems), 7);
    }

    ASSERT_EQ(unit.Run({"screen", "0x41"}).code, 0);
    EXPECT_EQ(m.ScreenByte(), 0x41);

    // A write shows what the unit answers when the register is read back: all of a plain register,
    // and the firmware revision (123, tenths) where register 9 keeps it.
    r = unit.Run({"reg", "write", "100", "0xBEEF", "-c", "2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(m.Register(2, 100), 0xBEEF);
    EXPECT_EQ(m.Register(0, 100), 0);
    EXPECT_NE(r.out.find("Read back:  48879 (0xBEEF)\n"), std::string::npos) << r.out;
    r = unit.Run({"--json", "reg", "write", "9", "5"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["written"], 5);
    EXPECT_EQ(r.Json()["read_back"], m.Register(0, 9));
    EXPECT_NE(m.Register(0, 9), 5);
    r = unit.Run({"reg", "write", "9", "5"});
    EXPECT_NE(r.out.find("Written:    5 (0x0005)\nRead back:  " + std::to_string(m.Register(0, 9))), std::string::npos)
        << r.out;
    m.SetRegister(4, 200, 4321);
    r = unit.Run({"--json", "reg", "read", "200", "--channel", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["value"], 4321);

    // --select reaches a bank itself, also one no channel of the board uses; past 15, or beside
    // --channel, it is refused before anything is sent.
    r = unit.Run({"reg", "write", "100", "0x1234", "--select", "12"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(m.Register(12, 100), 0x1234);
    EXPECT_EQ(m.Register(4, 100), 0);  // the select's low bits, as a cut-off select would reach
    EXPECT_NE(r.out.find("Select:     12\n"), std::string::npos) << r.out;
    m.SetRegister(15, 2047, 0x0F0F);
    r = unit.Run({"--json", "reg", "read", "2047", "-s", "15"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["select"], 15);
    EXPECT_EQ(r.Json()["value"], 0x0F0F);
    const int before = unit.server().ConnectionsAccepted();
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"reg", "write", "100", "1", "--select", "16"}, "--select: 16 is outside 0..15"},
             {{"reg", "read", "100", "--select", "-1"}, "--select: -1 is outside 0..15"},
             {{"reg", "read", "100", "--select", "12", "-c", "1"}, "--channel excludes --select"},
         }) {
        r = unit.Run(args);
        EXPECT_EQ(r.code, 2) << message;
        EXPECT_EQ(r.err.rfind("zelctl: " + message + "\n", 0), 0u) << r.err;
    }
    EXPECT_EQ(unit.server().ConnectionsAccepted(), before);
    EXPECT_EQ(m.Register(12, 100), 0x1234);

    r = unit.Run({"--json", "temp", "--select", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NEAR(r.Json()[0]["temperature_c"].get<double>(), m.TemperatureC(1), 0.1);
    EXPECT_NEAR(r.Json()[0]["raw_word"].get<double>(), 100 * r.Json()[0]["temperature_c"].get<double>(), 1e-6);
    r = unit.Run({"temp", "--select", "1"});
    EXPECT_EQ(r.out.rfind("Select  Temperature (degC)  Raw word\n", 0), 0u) << r.out;
    r = unit.Run({"--json", "temp"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json().size(), 8u);
}

TEST(ZelctlWavelength, ListsSelectsAndAddsSlots) {
    Unit unit(Board(0, {1550, 1490}));
    Result r = unit.Run({"--json", "wavelength", "list"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json(), json::parse(R"([{"slot":0,"wavelength_nm":1310},{"slot":1,"wavelength_nm":1550},
                                      {"slot":2,"wavelength_nm":1490}])"));
    r = unit.Run({"--json", "wavelength", "set", "1490"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["slot"], 2);
    r = unit.Run({"wavelength", "set", "999"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("cannot select 999 nm"), std::string::npos) << r.err;

    r = unit.Run({"--json", "wavelength", "add", "1625"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json().size(), 4u);
    EXPECT_EQ(unit.model().Eeprom(0x3800), 0x06);  // 1625 = 0x0659, high byte first
    EXPECT_EQ(unit.model().Eeprom(0x3801), 0x59);
    r = unit.Run({"wavelength", "add", "1490"});  // calibrated already: its slot is selected, no new one
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(SplitLines(r.out).at(0), "1490 nm is already calibrated: selected its slot 2");
    EXPECT_EQ(SplitLines(r.out).size(), 1u + 1 + 4) << r.out;  // the note, the table's header, four slots
    r = unit.Run({"wavelength", "add", "1310"});               // the default of board type 0 is refused
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(r.err, "zelctl: cannot add 1310 nm: slot 0 serves it, the default of board type 0\n");
    EXPECT_EQ(unit.model().Eeprom(0x4000), 0xFF);

    r = unit.Run({"--json", "wavelength", "default"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["wavelength_nm"], 1310);
}

TEST(ZelctlEeprom, ReadWriteDumpIntoASimulatorAndLoad) {
    Unit unit(Board(4));
    Result r = unit.Run({"eeprom", "write", "0x6000", "1", "0x22", "255"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(unit.model().Eeprom(0x6000), 1);
    EXPECT_EQ(unit.model().Eeprom(0x6001), 0x22);
    EXPECT_EQ(unit.model().Eeprom(0x6002), 255);
    r = unit.Run({"eeprom", "read", "0x5FFF", "-n", "4"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "0x5FFF: FF 01 22 FF\n");
    {
        // Reads run on across the end of the select-0 bank, up to the last byte of the EEPROM and no further.
        std::vector<std::uint8_t> image = unit.model().EepromImage();
        ASSERT_EQ(image.size(), 0x20000u);
        image[0xFFFF] = 0xA1;
        image[0x10000] = 0xB2;
        image[0x10001] = 0xC3;
        image[0x1FFFF] = 0xD4;
        unit.model().SetEepromImage(image);
        r = unit.Run({"eeprom", "read", "0xFFFF", "-n", "3"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "0x0FFFF: A1 B2 C3\n");  // five digits where the range reaches the select-1 bank
        r = unit.Run({"eeprom", "read", "0x1FFFF"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out, "0x1FFFF: D4\n");
        const int connections = unit.server().ConnectionsAccepted();
        r = unit.Run({"eeprom", "read", "0x1FFFE", "-n", "4"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(
            r.err,
            "zelctl: 4 bytes from 0x1FFFE run past the end of the EEPROM (0x1FFFF, 128 KiB): at most 2 from there\n");
        EXPECT_EQ(r.out, "");
        r = unit.Run({"eeprom", "read", "0x20000"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err.rfind("zelctl: address: 0x20000 is outside 0x0..0x1FFFF\n", 0), 0u) << r.err;
        EXPECT_EQ(unit.server().ConnectionsAccepted(), connections);  // refused before the unit is reached
    }

    // A dump of the board-type record and slot 0's first TAP factors, served by zel-unit-sim.
    const std::string image = TempPath("unit.eeprom");
    r = unit.Run({"eeprom", "dump", image, "--start", "0x2000", "--length", "24"});
    ASSERT_EQ(r.code, 0) << r.err;
    // Read and closed: Windows replaces no file that is still open.
    const std::vector<std::uint8_t> bytes = [&] {
        std::ifstream in(image, std::ios::binary);
        return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    ASSERT_EQ(bytes.size(), zelsim::kEepromSize);
    const std::vector<std::uint8_t> original = unit.model().EepromImage();
    for (std::uint32_t a = 0; a < bytes.size(); ++a) {
        ASSERT_EQ(bytes[a], a >= 0x2000 && a < 0x2018 ? original[a] : 0xFF) << "address " << a;
    }
    {
        SimProcess sim({"--eeprom", image});
        r = Zelctl({"--unit", sim.ip(), "--json", "info"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.Json()["board_type"], 4);  // from the image, not the simulator's default of 6
    }

    // The whole EEPROM, both banks, byte for byte.
    unit.model().SetEeprom(0x1FFFF, 0x5A);
    unit.model().SetEeprom(0x10000, 0xA5);
    r = unit.Run({"eeprom", "dump", image});
    ASSERT_EQ(r.code, 0) << r.err;
    std::ifstream whole(image, std::ios::binary);
    EXPECT_TRUE(std::vector<std::uint8_t>((std::istreambuf_iterator<char>(whole)), std::istreambuf_iterator<char>()) ==
                unit.model().EepromImage());

    // Load a range of the image into another unit: only the bytes that differ are written.
    Unit other(Board(6));
    std::size_t differing = 0;
    for (std::uint32_t a = 0x2000; a < 0x2010; ++a) differing += other.model().Eeprom(a) != original[a];
    ASSERT_GT(differing, 0u);
    ASSERT_LT(differing, 16u);
    r = other.Run({"--json", "eeprom", "load", image, "--start", "0x2000", "--length", "16"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["written"], differing);
    for (std::uint32_t a = 0x2000; a < 0x2010; ++a) EXPECT_EQ(other.model().Eeprom(a), original[a]) << a;
    EXPECT_NE(other.model().Eeprom(0x2010), original[0x2010]);
    r = other.Run({"--json", "eeprom", "load", image, "--start", "0x2000", "--length", "16"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()["written"], 0);

    const std::string short_image = TempPath("short.eeprom");
    std::ofstream(short_image) << "too short";
    r = other.Run({"eeprom", "load", short_image});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "zelctl: " + short_image + " is not an EEPROM image: 9 bytes, expected 131072\n");
    // Files that cannot be opened or written: the path as given, and why; never the temporary file. (In a
    // folder that does not exist, and not "/...", which a Windows program's options take for a switch.)
    const std::string missing = TempPath("nonexistent");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"eeprom", "load", missing + "/unit.eeprom"},
         "cannot open " + missing + "/unit.eeprom: No such file or directory"},
        {{"eeprom", "dump", missing + "/dir/x.img"},
         "cannot write " + missing + "/dir/x.img: No such file or directory"},
        {{"calib", "restore", missing + "/cal.json"},
         "cannot open " + missing + "/cal.json: No such file or directory"},
    };
    for (const auto& c : cases) {
        r = other.Run(c.args);
        EXPECT_EQ(r.code, 3);
        // The last line: a dump that takes over a second shows its progress first.
        const std::string last = "zelctl: " + c.message + "\n";
        ASSERT_GE(r.err.size(), last.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last);
    }
    // "-": the image on standard output, byte for byte. (The captured output of a Windows program is read
    // back here as text, which ends at the first 0x1A byte: only where Debian's programs run.)
    r = other.Run({"eeprom", "dump", "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    if (zeltest::host::RunsDebianPrograms()) {
        ASSERT_EQ(r.out.size(), 131072u);
        EXPECT_EQ(static_cast<std::uint8_t>(r.out[0x2000]), other.model().Eeprom(0x2000));
    }
}

TEST(ZelctlEeprom, InterruptedLoadStopsAtAByteAndASecondRunCompletesIt) {
    if (!zeltest::host::CanInterrupt()) GTEST_SKIP() << "no console here to carry a Ctrl+Break to zelctl";
    Unit source(Board(0)), target(Board(0));
    for (std::uint32_t a = 0x7000; a < 0x7000 + 200; ++a) source.model().SetEeprom(a, static_cast<std::uint8_t>(a * 7));
    const std::string image = TempPath("unit.eeprom");
    ASSERT_EQ(source.Run({"eeprom", "dump", image}).code, 0);
    const std::vector<std::uint8_t> want = source.model().EepromImage(), blank = target.model().EepromImage();

    auto child = target.Start({"eeprom", "load", image, "--start", "0x7000", "--length", "200"});
    ASSERT_TRUE(zeltest::WaitFor([&] { return target.model().EepromImage() != blank; }, std::chrono::seconds(10)));
    ASSERT_TRUE(child->Interrupt());
    Result r = child->Wait();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("run the load again to complete it"), std::string::npos) << r.err;
    std::size_t loaded = 0;
    for (std::uint32_t a = 0x7000; a < 0x7000 + 200; ++a) loaded += target.model().Eeprom(a) == want[a];
    EXPECT_GT(loaded, 0u);
    EXPECT_LT(loaded, 200u);

    r = target.Run({"eeprom", "load", image, "--start", "0x7000", "--length", "200"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (std::uint32_t a = 0; a < want.size(); ++a) {
        ASSERT_EQ(target.model().Eeprom(a), a >= 0x7000 && a < 0x7000 + 200 ? want[a] : blank[a]) << "address " << a;
    }
}

TEST(ZelctlTrace, PrintsFramesAsHex) {
    Unit unit(Board(6));
    const Result r = unit.Run({"--trace", "switch", "mems", "set", "7"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The MEMS write: register frame, control word 0x8022 (write, select 0, register 34), value 7.
    EXPECT_NE(r.err.find(">> f0 00 00 00 22 80 07 00"), std::string::npos) << r.err.substr(0, 2000);
    EXPECT_NE(r.err.find("<< "), std::string::npos);
    EXPECT_EQ(unit.Run({"switch", "mems", "set", "7"}).err, "");
}

TEST(ZelctlSession, OneConnectionPerUnitAndItsFramesBare) {
    Unit unit(Board(6, {1550}));
    // Commands that once needed a second link (raw VOA code, registers, calibration records of
    // another slot, EEPROM writes, a restore) each open exactly one connection, and --trace shows
    // every frame of it unlabelled.
    const std::string file = TempPath("cal.json");
    ASSERT_EQ(unit.Run({"calib", "backup", file}).code, 0);
    const std::vector<std::vector<std::string>> commands{
        {"--trace", "voa", "get", "--code", "-c", "0"},
        {"--trace", "calib", "get", "tap", "-c", "0", "--wavelength", "1550"},
        {"reg", "read", "37", "-c", "1"},
        {"voa", "set", "--code", "100", "-c", "2"},
        {"power", "--raw", "-c", "1"},
        {"eeprom", "write", "0x6000", "1"},
        {"wavelength", "add", "1625"},
        {"calib", "restore", file},
        {"eeprom", "dump", file + ".eeprom"},
        {"eeprom", "load", file + ".eeprom", "--start", "0x6000", "--length", "256"},
    };
    for (const auto& args : commands) {
        const int before = unit.server().ConnectionsAccepted();
        const Result r = unit.Run(args);
        ASSERT_EQ(r.code, 0) << args[1] << ": " << r.err.substr(0, 500);
        EXPECT_EQ(unit.server().ConnectionsAccepted() - before, 1) << args[1] << " " << args[2];
        if (args[0] != "--trace") continue;
        EXPECT_EQ(r.err.rfind(">> f0 00 00 00 14 00", 0), 0u) << "board ID read first: " << r.err.substr(0, 200);
        for (const auto& line : SplitLines(r.err)) {
            ASSERT_TRUE(line.rfind(">> ", 0) == 0 || line.rfind("<< ", 0) == 0) << line;
        }
    }
    // The last request of the VOA code read: register 37 (VOA code) of select 0.
    const std::vector<std::string> lines = SplitLines(unit.Run({"--trace", "voa", "get", "--code", "-c", "0"}).err);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].rfind(">> f0 00 00 00 25 00 ", 0), 0u) << lines[lines.size() - 2];
}

TEST(ZelctlErrors, OneLineOnStderrAndAnExitCode) {
    // Nothing listens at the address: the unit does not answer.
    const std::string nobody = RandomLoopback();
    Result r = Zelctl({"--unit", nobody, "info"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zelctl: cannot connect to unit " + nobody + ": the unit refused the connection\n");
    EXPECT_EQ(r.out, "");

    // A unit that takes requests and never answers: the default of 5 s, --timeout or
    // $ZEL_TIMEOUT_MS bound the wait.
    {
        Unit silent;
        silent.server().SetFaults({.kind = zelsim::Fault::Stall});
        for (const auto& [args, env] : std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
                 {{"--unit", silent.ip(), "--timeout", "300", "info"}, {}},
                 {{"--unit", silent.ip(), "info"}, {"ZEL_TIMEOUT_MS=300"}}}) {
            const auto start = std::chrono::steady_clock::now();
            r = Zelctl(args, env);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err, "zelctl: cannot connect to unit " + silent.ip() + ": the unit did not answer in time\n");
        }
        r = Zelctl({"--unit", silent.ip(), "info"}, {"ZEL_TIMEOUT_MS=soon"});
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("ZEL_TIMEOUT_MS"), std::string::npos) << r.err;
    }

    r = Zelctl({"--unit", "127.0.0.300", "info"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zelctl: cannot connect to unit 127.0.0.300: the IP address is not an IPv4 dotted quad\n");

    Unit unit(Board(4));
    r = unit.Run({"voa", "set", "3", "-c", "5"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zelctl: channel 5: the board (type 4) has channels 0..3\n");
    EXPECT_EQ(unit.model().Register(1, zelsim::reg::kVoaCode), 0);  // channel 5 would alias select 1
    r = unit.Run({"power", "-c", "9"});
    EXPECT_EQ(r.code, 2);
    // Every subcommand that takes a channel refuses one the board does not have, before touching it.
    for (const auto& args : std::vector<std::vector<std::string>>{{"voa", "get"},
                                                                  {"voa", "sweep"},
                                                                  {"power", "--raw"},
                                                                  {"calib", "get", "tap"},
                                                                  {"calib", "set", "tap", "0.5"},
                                                                  {"switch", "2x2", "get"},
                                                                  {"switch", "2x2", "set", "1"},
                                                                  {"reg", "read", "0"},
                                                                  {"reg", "write", "300", "1"}}) {
        std::vector<std::string> with_channel = args;
        with_channel.insert(with_channel.end(), {"-c", "5"});
        r = unit.Run(with_channel);
        EXPECT_EQ(r.code, 2) << args[0] << " " << args[1];
        EXPECT_EQ(r.err, "zelctl: channel 5: the board (type 4) has channels 0..3\n") << args[0] << " " << args[1];
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(unit.model().Register(1, 300), 0);  // the register channel 5 would alias

    r = unit.Run({"voa", "frobnicate"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zelctl: unknown subcommand 'voa frobnicate' (voa subcommands: get, set, sweep)\n");
}

TEST(ZelctlErrors, ArgumentErrorsNameWhatIsAcceptedAndSendNothing) {
    Unit unit(Board(6));
    zelsim::UnitModel& m = unit.model();
    m.SetRegister(1, zelsim::reg::kVoaCode, 321);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"voa", "set", "35", "-c", "1"}, "35 dB is outside 0..30 dB"},
        {{"voa", "set", "-c", "1", "--", "-0.5"}, "-0.5 dB is outside 0..30 dB"},
        {{"voa", "set", "--code", "5000", "-c", "1"}, "VOA code 5000 is outside 0..4095"},
        {{"voa", "set", "--code", "12.5", "-c", "1"}, "VOA code 12.5 is not a whole number"},
        {{"temp", "--select", "16"}, "--select: 16 is outside 0..15"},
        {{"reg", "read", "0x800"}, "address: 2048 is outside 0..2047"},
        {{"reg", "write", "9", "70000"}, "value: 70000 is outside 0..65535"},
        {{"screen", "256"}, "control: 256 is outside 0..255"},
        {{"wavelength", "add", "0"}, "nm: 0 nm is outside 1..65534 nm"},
        {{"eeprom", "write", "0xFFFF", "1", "2"}, "the bytes run past the end of the EEPROM (0xFFFF)"},
        {{"calib", "set", "voa", "-c", "1", "0.5", "2"}, "voa takes 4 value(s), got 2"},
        // A mistyped subcommand is named, with the nearest one when it is a slip of one or two letters.
        {{"inof"},
         "unknown subcommand 'inof'; did you mean 'info'? (commands: clock-plan, station, capture, info, temp, screen, "
         "reg, switch, voa, power, wavelength, eeprom, calib, demo, serve)"},
        {{"voa", "st", "-c", "1"},
         "unknown subcommand 'voa st'; did you mean 'voa set'? (voa subcommands: get, set, sweep)"},
        {{"--timeout", "300", "switch", "2x2", "gte"},
         "unknown subcommand 'switch 2x2 gte'; did you mean 'switch 2x2 get'? (switch 2x2 subcommands: get, set)"},
        {{"switch", "--timeout", "300"}, "switch needs a subcommand (switch subcommands: 2x2, mems, lbmm)"},
        {{"mems", "set", "3"}, "unknown subcommand 'mems'; did you mean 'switch mems'?"},
        // The parser's own checks say it as zelctl's do.
        {{"eeprom", "write", "0x10000", "1"}, "address: 65536 is outside 0..65535"},
        {{"eeprom", "write", "0", "256"}, "bytes: 256 is outside 0..255"},
        {{"eeprom", "dump", "x.img", "--start", "0x20000"}, "--start: 131072 is outside 0..131071"},
        {{"voa", "sweep", "-c", "1", "--dwell", "-5"}, "--dwell: -5 ms is outside 0..4294967295 ms"},
    };
    for (const auto& c : cases) {
        Result r = unit.Run(c.args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "zelctl: " + c.message + "\n");
        EXPECT_EQ(r.out, "");
        // Under --json the same error is one JSON object on stderr.
        std::vector<std::string> args{"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = unit.Run(args);
        EXPECT_EQ(r.code, 2) << c.message;
        EXPECT_EQ(Lines(r.err), 1u) << r.err;
        const json error = json::parse(r.err, nullptr, false);
        ASSERT_TRUE(error.is_object()) << r.err;
        EXPECT_EQ(error, json({{"error", c.message}, {"exit_code", 2}}));
    }
    EXPECT_EQ(m.Register(1, zelsim::reg::kVoaCode), 321);
    EXPECT_EQ(unit.server().ConnectionsAccepted(), 0);

    // A unit that fails is a JSON error too, with its own exit code.
    const std::string nobody = RandomLoopback();
    const Result r = Zelctl({"--json", "--unit", nobody, "info"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(
        json::parse(r.err),
        json({{"error", "cannot connect to unit " + nobody + ": the unit refused the connection"}, {"exit_code", 1}}));
}

TEST(ZelctlHelp, TheExitCodesAreListedOnceOnTheTopLevelHelp) {
    Result r = Zelctl({"--help"});
    ASSERT_EQ(r.code, 0);
    const std::size_t at = r.out.find("Exit codes: 0 success; 1 ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Exit codes", at + 1), std::string::npos);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"voa", "--help"}, {"voa", "set", "--help"}, {"switch", "2x2", "set", "--help"}}) {
        r = Zelctl(args);
        EXPECT_EQ(r.code, 0) << args.back();
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Exit codes"), std::string::npos) << r.out;
    }
}

// Many units from one command: units of one simulator have serials of their own; a table with the
// unit first, or a JSON array in the order given; a unit with nothing behind it fails alone within
// its time-out, with and without --jobs 1; names come from a station file.
TEST(ZelctlStation, OneCommandOnManyUnitsInParallel) {
    SimProcess sim({"--board-type", "4"}, 8);
    std::string list;
    for (const auto& ip : sim.ips()) list += (list.empty() ? "" : ",") + ip;
    Result r = Zelctl({"--json", "--unit", list, "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    const json all = r.Json();
    ASSERT_EQ(all.size(), 8u);
    std::set<std::uint64_t> serials;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i]["unit"], sim.ips()[i]);
        EXPECT_EQ(all[i]["address"], sim.ips()[i]);
        EXPECT_EQ(all[i]["board_type"], 4);
        serials.insert(all[i]["serial"].get<std::uint64_t>());
    }
    EXPECT_EQ(serials.size(), 8u);

    // Text: one table, a row per unit in the order given.
    r = Zelctl({"--unit", sim.ips()[2], "--unit", sim.ips()[0] + "," + sim.ips()[1], "info"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(Lines(r.out), 4u) << r.out;
    EXPECT_EQ(r.out.rfind("Unit ", 0), 0u) << r.out;
    EXPECT_LT(r.out.find("\n" + sim.ips()[2] + " "), r.out.find("\n" + sim.ips()[0] + " ")) << r.out;

    const std::string station = TempPath("bench.toml");
    const std::string dead = sim.ips()[0].substr(0, sim.ips()[0].rfind('.')) + ".255";  // nothing listens
    std::ofstream(station) << "timeout_ms = 1500\n[units.bay1]\naddress = \"" << sim.ips()[0]
                           << "\"\n[units.gone]\naddress = \"" << dead << "\"\n[units.bay2]\naddress = \""
                           << sim.ips()[1] << "\"\n";
    for (const char* jobs : {"0", "1"}) {
        std::vector<std::string> args{"--station", station, "--unit", "all", "--json", "voa", "set", "-c", "1", "5"};
        if (std::string(jobs) == "1") args.insert(args.begin(), {"--jobs", "1"});
        const auto start = std::chrono::steady_clock::now();
        r = Zelctl(args);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(r.code, 1) << r.err;
        const json runs = r.Json();
        ASSERT_EQ(runs.size(), 3u) << r.out;
        EXPECT_EQ(runs[0]["unit"], "bay1");
        EXPECT_NEAR(runs[0]["read_db"].get<double>(), 5.0, 0.05);
        EXPECT_EQ(runs[1]["unit"], "gone");
        EXPECT_EQ(runs[1]["address"], dead);
        EXPECT_EQ(runs[1]["exit_code"], 1);
        EXPECT_NE(runs[1]["error"].get<std::string>().find("refused"), std::string::npos) << runs[1];
        EXPECT_EQ(runs[2]["unit"], "bay2");
        EXPECT_TRUE(runs[2].contains("read_db"));
    }

    // The station's own check: every unit with its serial and board type, and who did not answer.
    r = Zelctl({"station", "check", station});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("bay1  " + sim.ips()[0]), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no: cannot connect to unit " + dead), std::string::npos) << r.out;

    // A malformed station file: the file, the line and what is wrong, exit 3, before any unit is touched.
    std::ofstream(station) << "[units.bay1]\naddress = \"" << sim.ips()[0] << "\"\nport = 6653\n";
    r = Zelctl({"--station", station, "--unit", "bay1", "info"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err, "zelctl: " + station +
                         ":3: unknown key 'port' in unit bay1 (a unit has address, label and timeout_ms)\n");
}

// --log FILE: a line per command and unit (time, unit, arguments, result, exit code, tab-separated),
// appended whole even when several units and processes write at once; a log that cannot be written
// stops the command before the unit is reached.
std::vector<std::vector<std::string>> LogLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> out;
    for (const auto& line : SplitLines(std::string(std::istreambuf_iterator<char>(in), {}))) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string f; std::getline(cells, f, '\t');) fields.push_back(f);
        EXPECT_EQ(fields.size(), 5u) << line;
        if (fields.size() == 5u) {
            EXPECT_TRUE(std::regex_match(fields[0], std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << line;
            out.push_back(fields);
        }
    }
    return out;
}

// A temporary path as a shell word: as it is, or single-quoted where it holds more than letters,
// digits and _./:- (a Windows path's backslashes).
std::string ShellWord(const std::string& path) {
    const bool plain = std::all_of(path.begin(), path.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string("_./:-").find(c) != std::string::npos;
    });
    return plain ? path : "'" + path + "'";
}

// Backslashes escaped, as inside $'...'.
std::string DollarQuoted(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

TEST(ZelctlLog, AppendsALinePerCommandAndUnit) {
    Unit unit(Board(6));
    const std::string log = TempPath("audit.log"), log_word = ShellWord(log);
    std::ofstream(log) << "2026-01-01T00:00:00Z\t-\tkept\tok\t0\n";
    const std::string odd = TempPath("no") + "/dir/it's\ta \"name\"";
    const std::string plan = TempPath("plan.csv");
    const struct {
        std::vector<std::string> args;  // on the unit unless it starts with clock-plan
        std::string logged_args, result, code;
    } commands[] = {
        {{"--log", log, "voa", "set", "7.5", "-c", "2"}, "--log " + log_word + " voa set 7.5 -c 2", "ok", "0"},
        {{"voa", "set", "7.5", "-c", "9", "--log", log},
         "voa set 7.5 -c 9 --log " + log_word,
         "channel 9: the board (type 6) has channels 0..7",
         "2"},
        // A quote, a tab and double quotes come back as a shell would take them; the result is the
        // error's first line.
        {{"--log", log, "calib", "backup", odd},
         "--log " + log_word + " calib backup $'" + DollarQuoted(odd.substr(0, odd.find("it's"))) +
             R"(it\'s\ta "name"')",
         "cannot write " + odd.substr(0, odd.find('\t')) + " a \"name\": ",
         "3"},
        {{"clock-plan", "--mode", "1", "--input", "24", "--out-a", "100", "--out-b", "100", "--output", plan, "--log",
          log},
         "clock-plan --mode 1 --input 24 --out-a 100 --out-b 100 --output " + ShellWord(plan) + " --log " + log_word,
         "ok",
         "0"},
    };
    for (const auto& c : commands) {
        const bool unitless = c.args[0] == "clock-plan";
        EXPECT_EQ((unitless ? Zelctl(c.args) : unit.Run(c.args)).code, std::stoi(c.code)) << c.logged_args;
    }
    const auto lines = LogLines(log);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0][2], "kept");  // appended, not replaced
    for (std::size_t i = 0; i < 4; ++i) {
        const auto& c = commands[i];
        const bool unitless = c.args[0] == "clock-plan";
        EXPECT_EQ(lines[i + 1][1], unitless ? "-" : unit.ip());
        EXPECT_EQ(lines[i + 1][2], (unitless ? "" : "--unit " + unit.ip() + " ") + c.logged_args);
        // A file error ends with the system's reason, which names the same fault in its own words on each system
        // (a tab in a file name: "No such file or directory" here, "Invalid argument" on Windows).
        if (c.code == "3") {
            EXPECT_EQ(lines[i + 1][3].rfind(c.result, 0), 0u) << lines[i + 1][3];
            EXPECT_GT(lines[i + 1][3].size(), c.result.size() + 5) << lines[i + 1][3];
        } else {
            EXPECT_EQ(lines[i + 1][3], c.result);
        }
        EXPECT_EQ(lines[i + 1][4], c.code);
    }

    // Several units at once, and several zelctl processes on one log: every line whole, one per unit
    // and command, the unit without a simulator behind it with its error.
    SimProcess sim({"--board-type", "4"}, 3);
    const std::string dead = sim.ips()[0].substr(0, sim.ips()[0].rfind('.')) + ".255";
    const std::string units = sim.ips()[0] + "," + sim.ips()[1] + "," + sim.ips()[2] + "," + dead;
    const std::string shared = TempPath("shared.log");
    std::vector<std::unique_ptr<ZelctlChild>> children;
    for (int i = 0; i < 6; ++i) {
        children.push_back(std::make_unique<ZelctlChild>(
            std::vector<std::string>{"--log", shared, "--timeout", "1000", "--unit", units, "info"}));
    }
    for (auto& child : children) EXPECT_EQ(child->Wait().code, 1);
    const auto all = LogLines(shared);
    ASSERT_EQ(all.size(), 24u);
    std::map<std::string, int> per_unit;
    for (const auto& line : all) {
        ++per_unit[line[1]];
        EXPECT_EQ(line[2], "--log " + ShellWord(shared) + " --timeout 1000 --unit " + units + " info");
        if (line[1] == dead) {
            EXPECT_EQ(line[3], "cannot connect to unit " + dead + ": the unit refused the connection");
            EXPECT_EQ(line[4], "1");
        } else {
            EXPECT_EQ(line[3], "ok");
            EXPECT_EQ(line[4], "0");
        }
    }
    EXPECT_EQ(per_unit,
              (std::map<std::string, int>{{sim.ips()[0], 6}, {sim.ips()[1], 6}, {sim.ips()[2], 6}, {dead, 6}}));

    // A log that cannot be written: the path and the system's reason, exit 3, and the unit untouched.
    const std::string directory = TempPath("logs");
    std::filesystem::create_directories(directory);
    const struct {
        std::string path, reason, windows_reason;  // in the words of each system
    } unwritable[] = {
        {TempPath("none") + "/missing/audit.log", "No such file or directory", "Path not found"},
        {directory, "Is a directory", "Access denied"},
    };
    for (const auto& c : unwritable) {
        const int before = unit.server().ConnectionsAccepted();
        const Result r = unit.Run({"--log", c.path, "voa", "set", "3", "-c", "1"});
        EXPECT_EQ(r.code, 3);
        const std::string head = "zelctl: --log: cannot write " + c.path + ": ";
        EXPECT_TRUE(r.err == head + c.reason + "\n" || r.err == head + c.windows_reason + "\n") << r.err;
        EXPECT_EQ(unit.server().ConnectionsAccepted(), before);
    }
    EXPECT_EQ(unit.model().Register(1, zelsim::reg::kVoaCode), 0);
}

}  // namespace
}  // namespace zelctltest
