// zelctl calib: single items, and backup / wipe / restore of a whole unit.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/wait_for.h"
#include "zelctl_harness.h"

namespace zelctltest {
namespace {

using nlohmann::json;

double Scaled(const zelsim::UnitModel& m, std::uint32_t a) { return zelsim::GetScaled(m.EepromImage(), a); }

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(ZelctlCalib, GetAndSetItemsPerWavelength) {
    Unit unit(Board(4, {1550}));
    zelsim::UnitModel& m = unit.model();
    // TAP factor of channel 2 (select 2) in slot 0 and VOA coefficients of channel 1 in slot 1.
    Result r = unit.Run({"calib", "set", "tap", "-c", "2", "0.03125"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Scaled(m, 0x2008 + 16), 0.03125);
    r = unit.Run({"calib", "set", "voa", "-c", "1", "--wavelength", "1550", "1e-12", "2e-8", "3e-4", "-0.5"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(EepromDouble(m, 0x2800 + 80 + 32), 1e-12);
    EXPECT_EQ(EepromDouble(m, 0x2800 + 80 + 32 + 24), -0.5);

    r = unit.Run({"--json", "calib", "get", "voa", "-c", "1", "--wavelength", "1550"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json()[0]["voa"], json({1e-12, 2e-8, 3e-4, -0.5}));
    r = unit.Run({"--json", "calib", "get", "tap"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.Json().size(), 4u);
    EXPECT_EQ(r.Json()[2]["tap"], 0.03125);

    // User calibration is per channel, whatever the wavelength.
    ASSERT_EQ(unit.Run({"calib", "set", "user_rx", "-c", "3", "2.5"}).code, 0);
    EXPECT_EQ(Scaled(m, 0x5100 + 24), 2.5);
    r = unit.Run({"--json", "calib", "get", "defined", "-c", "0"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.Json()[0]["defined"].size(), 30u);
    EXPECT_EQ(r.Json()[0]["defined"][0], m.Eeprom(0x2158) | m.Eeprom(0x2159) << 8);

    r = unit.Run({"calib", "set", "voa", "-c", "0", "1", "2"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zelctl: voa takes 4 value(s), got 2\n");
    // A value the scaled record cannot hold is refused by the library before anything is written.
    const std::vector<std::uint8_t> image = m.EepromImage();
    r = unit.Run({"calib", "set", "voa_loss", "-c", "1", "--", "-0.25"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err,
              "zelctl: cannot write the VOA insertion loss (dB) of channel 1: the record holds values from 0 up to "
              "9223372.036854, not -0.25\n");
    r = unit.Run({"calib", "set", "user_tx", "-c", "0", "1e7"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("not 10000000\n"), std::string::npos) << r.err;
    EXPECT_EQ(m.EepromImage(), image);
    r = unit.Run({"calib", "get", "tap", "--wavelength", "1625"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "zelctl: cannot select 1625 nm: the unit is not calibrated for it (calibrated: 850, 1550 nm)\n");
}

TEST(ZelctlCalib, ErasedRecordsShowAsErased) {
    Unit unit(Board(4));
    ASSERT_EQ(unit.Run({"wavelength", "add", "1490"}).code, 0);  // a new slot: every record erased
    ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "1", "--wavelength", "1490", "0.5"}).code, 0);
    for (const char* item : {"tap", "voa", "defined", "voa_loss", "switch_loss"}) {
        SCOPED_TRACE(item);
        Result r = unit.Run({"calib", "get", item, "--wavelength", "1490", "-c", "0"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find("      0  erased"), std::string::npos) << r.out;
        r = unit.Run({"--json", "calib", "get", item, "--wavelength", "1490"});
        ASSERT_EQ(r.code, 0) << r.err;
        ASSERT_EQ(r.Json().size(), 4u);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(r.Json()[c][item].is_null(), std::string(item) != "tap" || c != 1) << c;
        // The default slot holds calibration.
        r = unit.Run({"--json", "calib", "get", item, "-c", "0"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_FALSE(r.Json()[0][item].is_null());
    }
    EXPECT_EQ(unit.Run({"--json", "calib", "get", "tap", "-c", "1", "--wavelength", "1490"}).Json()[0]["tap"], 0.5);
}

// The records a backup of board type 0 (channel 0 = select 0) covers in `slots` slots, plus the
// wavelength words of the slots after slot 0, as [first address, end).
std::vector<std::pair<std::uint32_t, std::uint32_t>> CoveredRecords(unsigned slots) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    auto range = [&](std::uint32_t from, std::uint32_t n) { out.push_back({from, from + n}); };
    for (std::uint32_t w = 0; w < slots; ++w) {
        const std::uint32_t base = 0x2000 + 2048 * w;
        if (w > 0) range(base, 2);
        range(base + 8, 8);     // TAP factor
        range(base + 80, 32);   // VOA coefficients
        range(base + 344, 60);  // defined values
        range(base + 824, 8);   // VOA insertion loss
        range(base + 888, 8);   // switch insertion loss
    }
    range(0x5000, 8);
    range(0x5100, 8);
    return out;
}

void Wipe(zelsim::UnitModel& m, unsigned slots) {
    for (const auto& [from, to] : CoveredRecords(slots)) {
        for (std::uint32_t a = from; a < to; ++a) m.SetEeprom(a, 0xFF);  // erased, slots after 0 unused
    }
}

void ExpectImage(const zelsim::UnitModel& m, const std::vector<std::uint8_t>& want) {
    const std::vector<std::uint8_t> got = m.EepromImage();
    ASSERT_EQ(got.size(), want.size());
    for (std::uint32_t a = 0; a < got.size(); ++a) ASSERT_EQ(got[a], want[a]) << "EEPROM address " << a;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(ZelctlCalibBackup, WipeAndRestoreLeaveTheEepromAsBefore) {
    zelsim::UnitConfig cfg = Board(0, {1550});
    Unit unit(cfg);
    zelsim::UnitModel& m = unit.model();
    // Give the user calibration and slot 1 values of their own, so that nothing restores by luck.
    ASSERT_EQ(unit.Run({"calib", "set", "user_tx", "-c", "0", "1.25"}).code, 0);
    const std::vector<std::uint8_t> before = m.EepromImage();

    const std::string file = TempPath("cal.json");
    Result r = unit.Run({"calib", "backup", file});
    ASSERT_EQ(r.code, 0) << r.err;
    std::ifstream in(file);
    const json doc = json::parse(in);
    ASSERT_EQ(doc["wavelengths"].size(), 2u);
    EXPECT_EQ(doc["wavelengths"][1]["wavelength_nm"], 1550);
    EXPECT_EQ(doc["user"][0]["user_tx"], 1.25);
    EXPECT_EQ(doc["user"][0]["bytes"]["user_tx"], "0054ce0923010000");  // 1.25e12, least significant byte first
    EXPECT_EQ(doc["unit"]["board_type"], 0);

    Wipe(m, 2);
    ASSERT_NE(m.EepromImage(), before);

    // About 250 bytes at 10 ms each: progress lines on the piped stderr, each with the time left.
    r = unit.Run({"calib", "restore", file});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectImage(m, before);
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("restore: ", 0), 0u) << lines[i];
        EXPECT_NE(lines[i].find(" left"), std::string::npos) << lines[i];
    }
    EXPECT_NE(lines.back().find("took"), std::string::npos) << lines.back();
}

TEST(ZelctlCalibBackup, RoundTripsByteForByteWithErasedRecordsAndOldFormatFiles) {
    Unit unit(Board(4, {1550}));
    zelsim::UnitModel& m = unit.model();
    Result r;
    // 1.049 dB stored exactly (10^12 x 1.049 as a double is just below the integer, so a host that
    // encodes the value it read by truncation writes other bytes), and slot 2 added but never calibrated.
    for (int i = 0; i < 8; ++i)
        m.SetEeprom(0x2000 + 888 + 8 * 3 + i, static_cast<std::uint8_t>(1049000000000ull >> (8 * i)));
    r = unit.Run({"--json", "calib", "get", "switch_loss", "-c", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.Json()[0]["switch_loss"], 1.049);
    ASSERT_EQ(unit.Run({"wavelength", "add", "1490"}).code, 0);
    const std::vector<std::uint8_t> before = m.EepromImage();
    ASSERT_EQ(m.Eeprom(0x3008), 0xFF);

    const std::string file = TempPath("cal.json");
    r = unit.Run({"calib", "backup", file});
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(std::ifstream(file));
    EXPECT_EQ(doc["version"], 2);
    ASSERT_EQ(doc["wavelengths"].size(), 3u);
    const json& erased = doc["wavelengths"][2]["channels"][1];
    EXPECT_EQ(erased["tap"], nullptr);
    EXPECT_EQ(erased["bytes"]["tap"], "ffffffffffffffff");
    EXPECT_EQ(erased["bytes"]["defined"], std::string(120, 'f'));

    // Onto the unchanged unit: nothing written, nothing changed, nothing to report on stderr.
    r = unit.Run({"--json", "calib", "restore", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.Json()["bytes_written"], 0);
    ExpectImage(m, before);

    // Changed records, among them erased ones that now hold values, come back; the erased stay erased.
    ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "1", "--wavelength", "1490", "0.5"}).code, 0);
    ASSERT_EQ(unit.Run({"calib", "set", "switch_loss", "-c", "3", "2"}).code, 0);
    ASSERT_EQ(unit.Run({"calib", "set", "user_rx", "-c", "0", "3"}).code, 0);
    r = unit.Run({"--json", "calib", "restore", file});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_GT(r.Json()["bytes_written"], 0);
    EXPECT_LE(r.Json()["bytes_written"], 24);
    ExpectImage(m, before);

    // A file in the format without bytes: the values, and erased records as their decoded forms.
    json old = doc;
    old["version"] = 1;
    auto to_values = [](json& channel) {
        for (auto& [key, hex] : channel["bytes"].items()) {
            if (!channel[key].is_null()) continue;
            if (key == "voa") {
                channel[key] = json::array(
                    {"0xFFFFFFFFFFFFFFFF", "0xFFFFFFFFFFFFFFFF", "0xFFFFFFFFFFFFFFFF", "0xFFFFFFFFFFFFFFFF"});
            } else if (key == "defined") {
                channel[key] = std::vector<int>(30, 65535);
            } else {
                channel[key] = -9223372.036854775808;  // what an erased scaled record reads as
            }
        }
        channel.erase("bytes");
    };
    for (auto& slot : old["wavelengths"]) {
        for (auto& channel : slot["channels"]) to_values(channel);
    }
    for (auto& channel : old["user"]) to_values(channel);
    const std::string old_file = TempPath("old.json");
    WriteFile(old_file, old.dump(2));
    ASSERT_EQ(unit.Run({"calib", "set", "switch_loss", "-c", "3", "2"}).code, 0);
    ASSERT_EQ(unit.Run({"calib", "set", "voa", "-c", "2", "--wavelength", "1490", "1", "2", "3", "4"}).code, 0);
    r = unit.Run({"calib", "restore", old_file});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectImage(m, before);
}

// A backup says where and when it was made, as the sweep's outputs do; restores read backups with
// and without that context alike.
TEST(ZelctlCalibBackup, CarriesItsContextAndRestoresFilesWithoutIt) {
    Unit unit(Board(4, {1550}));
    const std::string file = TempPath("cal.json");
    ASSERT_EQ(unit.Run({"calib", "backup", file}).code, 0);
    json doc = json::parse(std::ifstream(file));
    const auto in_order = nlohmann::ordered_json::parse(std::ifstream(file));
    std::vector<std::string> keys;
    for (const auto& [key, value] : in_order["context"].items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"unit", "serial", "board_type", "time", "zelctl_version"}));
    EXPECT_EQ(doc["context"]["unit"], unit.ip());
    EXPECT_EQ(doc["context"]["serial"], doc["unit"]["serial"].dump());
    EXPECT_EQ(doc["context"]["serial"], unit.Run({"--json", "info"}).Json()["serial"].dump());
    EXPECT_EQ(doc["context"]["board_type"], "4");
    EXPECT_TRUE(
        std::regex_match(doc["context"]["time"].get<std::string>(), std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)")))
        << doc["context"];
    EXPECT_TRUE(std::regex_match(doc["context"]["zelctl_version"].get<std::string>(), std::regex(R"(\d+\.\d+\.\d+)")));

    // The same backup as an earlier zelctl wrote it, and one whose context names another unit: the
    // records alone decide.
    json old = doc;
    old.erase("context");
    json moved = doc;
    moved["context"] = {{"unit", "10.0.0.9"}, {"note", "copied from bay 3"}};
    for (const json& variant : {old, moved}) {
        const std::string variant_file = TempPath("variant.json");
        WriteFile(variant_file, variant.dump(2));
        ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "1", "--wavelength", "1550", "0.125"}).code, 0);
        const Result r = unit.Run({"--json", "calib", "restore", variant_file});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_GT(r.Json()["bytes_written"], 0);
        EXPECT_EQ(unit.Run({"--json", "calib", "get", "tap", "-c", "1", "--wavelength", "1550"}).Json()[0]["tap"],
                  doc["wavelengths"][1]["channels"][1]["tap"]);
    }
}

// A backup of fewer slots than the unit uses restores its own and names the others, which keep
// what they hold.
TEST(ZelctlCalibBackup, ABackupOfFewerSlotsNamesTheSlotsItLeftAlone) {
    Unit unit(Board(4, {1550, 1490, 1625, 1270, 1610}));
    const std::string file = TempPath("cal.json");
    ASSERT_EQ(unit.Run({"calib", "backup", file}).code, 0);
    const json full = json::parse(std::ifstream(file));
    ASSERT_EQ(full["wavelengths"].size(), 6u);
    const double tap = unit.Run({"--json", "calib", "get", "tap", "-c", "0"}).Json()[0]["tap"].get<double>();
    const struct {
        std::size_t slots;  // kept in the backup
        std::string text;   // as restore prints it
        std::vector<int> left;
    } cases[] = {
        {1,
         "slots 1..5 (1550, 1490, 1625, 1270, 1610 nm) were left as they are: the backup has no records for them",
         {1, 2, 3, 4, 5}},
        {3, "slots 3..5 (1625, 1270, 1610 nm) were left as they are: the backup has no records for them", {3, 4, 5}},
        {5, "slot 5 (1610 nm) was left as it is: the backup has no records for it", {5}},
        {6, "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.slots);
        json part = full;
        part["wavelengths"].erase(part["wavelengths"].begin() + static_cast<std::ptrdiff_t>(c.slots),
                                  part["wavelengths"].end());
        const std::string part_file = TempPath("part.json");
        WriteFile(part_file, part.dump(2));
        // A record of slot 0 to restore, and one of slot 5 that only the whole backup restores.
        ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "0", "0.25"}).code, 0);
        ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "0", "--wavelength", "1610", "0.75"}).code, 0);

        Result r = unit.Run({"calib", "restore", part_file});
        ASSERT_EQ(r.code, 0) << r.err;
        const std::size_t at = r.out.find("Other slots:");
        EXPECT_EQ(at == std::string::npos, c.text.empty()) << r.out;
        if (at != std::string::npos) {
            EXPECT_NE(r.out.find(c.text + "\n", at), std::string::npos) << r.out;
        }
        EXPECT_EQ(unit.Run({"--json", "calib", "get", "tap", "-c", "0"}).Json()[0]["tap"], tap);
        const json slot5 = unit.Run({"--json", "calib", "get", "tap", "-c", "0", "--wavelength", "1610"}).Json();
        EXPECT_EQ(slot5[0]["tap"] == 0.75, !c.left.empty()) << slot5;

        ASSERT_EQ(unit.Run({"calib", "set", "tap", "-c", "0", "0.25"}).code, 0);
        r = unit.Run({"--json", "calib", "restore", part_file});
        ASSERT_EQ(r.code, 0) << r.err;
        std::vector<int> left;
        for (const auto& w : r.Json().value("slots_left", json::array())) {
            left.push_back(w["slot"]);
            EXPECT_EQ(w["wavelength_nm"], full["wavelengths"][w["slot"].get<std::size_t>()]["wavelength_nm"]);
        }
        EXPECT_EQ(left, c.left);
    }
}

TEST(ZelctlCalibBackup, InterruptedRestoreKeepsWholeRecordsAndASecondRunCompletesIt) {
    if (!zeltest::host::CanInterrupt()) GTEST_SKIP() << "no console here to carry a Ctrl+Break to zelctl";
    Unit unit(Board(0, {1550}));
    zelsim::UnitModel& m = unit.model();
    const std::vector<std::uint8_t> before = m.EepromImage();
    const std::string file = TempPath("cal.json");
    ASSERT_EQ(unit.Run({"calib", "backup", file}).code, 0);
    Wipe(m, 2);
    const std::vector<std::uint8_t> wiped = m.EepromImage();

    // Ctrl-C once the first byte has changed on the unit.
    auto child = unit.Start({"calib", "restore", file});
    ASSERT_TRUE(zeltest::WaitFor([&] { return m.EepromImage() != wiped; }, std::chrono::seconds(10)));
    ASSERT_TRUE(child->Interrupt());
    Result r = child->Wait();
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.err.find("zelctl: interrupted: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run the restore again to complete it"), std::string::npos) << r.err;
    const std::vector<std::uint8_t> part = m.EepromImage();
    EXPECT_NE(part, wiped);
    EXPECT_NE(part, before) << "stopped before the end";
    for (const auto& range : CoveredRecords(2)) {
        const auto from = range.first, to = range.second;
        const auto at = [&](const std::vector<std::uint8_t>& image) {
            return std::vector<std::uint8_t>(image.begin() + from, image.begin() + to);
        };
        EXPECT_TRUE(at(part) == at(before) || at(part) == at(wiped)) << "record at " << from << " written in part";
    }

    r = unit.Run({"calib", "restore", file});
    ASSERT_EQ(r.code, 0) << r.err;
    ExpectImage(m, before);
}

TEST(ZelctlCalibBackup, RefusesFilesThatAreMalformedOrDoNotFit) {
    Unit source(Board(0, {1550}));
    const std::string file = TempPath("cal.json");
    ASSERT_EQ(source.Run({"calib", "backup", file}).code, 0);
    std::ifstream in(file);
    const json doc = json::parse(in);

    zelsim::UnitConfig other = Board(0, {1490});
    other.serial = 0x0007'2024'0003'0001ull;
    Unit target(other);
    const std::vector<std::uint8_t> image = target.model().EepromImage();
    auto refuses = [&](const std::string& path, const std::string& message, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"calib", "restore", path};
        args.insert(args.end(), extra.begin(), extra.end());
        const Result r = target.Run(args);
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_EQ(r.err, "zelctl: " + message + "\n");
        EXPECT_EQ(target.model().EepromImage(), image) << "nothing is written";
    };

    const std::string bad = TempPath("bad.json");
    WriteFile(bad, "{\"format\": \"zelctl calibration backup\", ");
    refuses(bad, bad +
                     ": malformed JSON: parse error at line 1, column 41: syntax error while parsing object key - "
                     "unexpected end of input; expected string literal");

    // The stored bytes are what a restore writes; a value edited beside them is refused.
    json broken = doc;
    broken["user"][0]["bytes"]["user_rx"] = "00112233";
    WriteFile(bad, broken.dump());
    refuses(bad, bad + ": user[0].user_rx.bytes: expected 8 bytes in hex");
    broken = doc;
    broken["user"][0]["user_rx"] = 2.5;
    WriteFile(bad, broken.dump());
    refuses(bad, bad + ": user[0].user_rx: the value 2.5 is not what its bytes hold (" +
                     doc["user"][0]["user_rx"].dump() + ")");

    // Files without bytes carry values only; they must fit their records.
    json old = doc;
    old["version"] = 1;
    old["wavelengths"][0]["channels"][0]["voa"] = {1, 2, 3};
    WriteFile(bad, old.dump());
    refuses(bad, bad + ": wavelengths[0].channels[0].voa: expected 4 values");
    old = doc;
    old["version"] = 1;
    old["wavelengths"][0]["channels"][0]["defined"][3] = 70000;
    WriteFile(bad, old.dump());
    refuses(bad, bad + ": wavelengths[0].channels[0].defined[3]: expected 0..65535");
    old = doc;
    old["version"] = 1;
    old["user"][0]["user_tx"] = -0.5;
    WriteFile(bad, old.dump());
    refuses(bad, bad + ": user[0].user_tx: the record cannot hold it: outside 0 .. 9223372.036854");

    // Another serial number; forced, slot 1 serves another wavelength on the target.
    refuses(file, file + " does not fit unit " + target.ip() + ": serial number " + doc["unit"]["serial"].dump() +
                      " in the file, " + std::to_string(other.serial) + " on the unit (--force restores anyway)");
    refuses(
        file,
        file + " does not fit unit " + target.ip() + ": slot 1 (1550 nm) in the file, 1490 nm in that slot on the unit",
        {"--force"});
}

// A station: three units' backups into one directory, each file named by its unit's serial number;
// a restore from that directory puts each unit's own calibration back, byte for byte, and a unit
// whose file is missing fails alone with that reason.
TEST(ZelctlStation, BacksUpIntoADirectoryAndRestoresEachUnitByItsSerial) {
    std::vector<std::unique_ptr<Unit>> units;
    std::string list;
    for (std::uint64_t i = 0; i < 3; ++i) {
        zelsim::UnitConfig cfg = Board(4, {1550});
        cfg.serial = 0x0007'2024'0000'0100ull + i;  // factory calibration follows the serial
        units.push_back(std::make_unique<Unit>(cfg));
        list += (i == 0 ? "" : ",") + units.back()->ip();
    }
    std::vector<std::vector<std::uint8_t>> before;
    for (auto& u : units) before.push_back(u->model().EepromImage());
    ASSERT_NE(before[0], before[1]);

    const std::string dir = TempPath("station");
    Result r = Zelctl({"--unit", list, "calib", "backup", dir});
    ASSERT_EQ(r.code, 0) << r.err;
    for (auto& u : units) {
        const std::string file = dir + "/" + std::to_string(u->model().Config().serial) + ".json";
        std::ifstream in(file);
        ASSERT_TRUE(in) << file;
        EXPECT_EQ(json::parse(in)["unit"]["serial"], u->model().Config().serial);
    }

    for (auto& u : units) Wipe(u->model(), 2);
    r = Zelctl({"--json", "--jobs", "2", "--unit", list, "calib", "restore", dir});
    ASSERT_EQ(r.code, 0) << r.err;
    const json runs = r.Json();
    ASSERT_EQ(runs.size(), 3u);
    for (std::size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(runs[i]["unit"], units[i]->ip());
        EXPECT_EQ(runs[i]["verified"], true);
        EXPECT_GT(runs[i]["bytes_written"].get<int>(), 0);
        ExpectImage(units[i]->model(), before[i]);
    }

    std::remove((dir + "/" + std::to_string(units[1]->model().Config().serial) + ".json").c_str());
    Wipe(units[1]->model(), 2);
    const std::vector<std::uint8_t> wiped = units[1]->model().EepromImage();
    r = Zelctl({"--unit", list, "calib", "restore", dir});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("zelctl: " + units[1]->ip() + ": no file of unit " + units[1]->ip() + " (serial number " +
                         std::to_string(units[1]->model().Config().serial) + ") in " + dir),
              std::string::npos)
        << r.err;
    EXPECT_EQ(units[1]->model().EepromImage(), wiped) << "nothing guessed";
    ExpectImage(units[0]->model(), before[0]);
}

}  // namespace
}  // namespace zelctltest
