// zelctl calib: single items, and backup / wipe / restore of a whole unit.
#include <gtest/gtest.h>

#include <fstream>

#include "zelctl_harness.h"

namespace zelctltest {
namespace {

using nlohmann::json;

double Scaled(const zelsim::UnitModel& m, uint32_t a) { return zelsim::GetScaled(m.EepromImage(), a); }

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
  const std::vector<uint8_t> image = m.EepromImage();
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

// Every byte a backup of board type 0 (channel 0 = select 0) covers in `slots` slots, plus the
// wavelength words of the slots after slot 0.
std::vector<uint32_t> CoveredBytes(unsigned slots) {
  std::vector<uint32_t> out;
  auto range = [&](uint32_t from, uint32_t n) {
    for (uint32_t a = from; a < from + n; ++a) out.push_back(a);
  };
  for (uint32_t w = 0; w < slots; ++w) {
    const uint32_t base = 0x2000 + 2048 * w;
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

TEST(ZelctlCalibBackup, WipeAndRestoreLeaveTheEepromAsBefore) {
  zelsim::UnitConfig cfg = Board(0, {1550});
  Unit unit(cfg);
  zelsim::UnitModel& m = unit.model();
  // Give the user calibration and slot 1 values of their own, so that nothing restores by luck.
  ASSERT_EQ(unit.Run({"calib", "set", "user_tx", "-c", "0", "1.25"}).code, 0);
  const std::vector<uint8_t> before = m.EepromImage();

  const std::string file = TempPath("cal.json");
  Result r = unit.Run({"calib", "backup", file});
  ASSERT_EQ(r.code, 0) << r.err;
  std::ifstream in(file);
  const json doc = json::parse(in);
  ASSERT_EQ(doc["wavelengths"].size(), 2u);
  EXPECT_EQ(doc["wavelengths"][1]["wavelength_nm"], 1550);
  EXPECT_EQ(doc["user"][0]["user_tx"], 1.25);
  EXPECT_EQ(doc["unit"]["board_type"], 0);

  for (uint32_t a : CoveredBytes(2)) m.SetEeprom(a, 0xFF);  // erased, slot 1 unused
  ASSERT_NE(m.EepromImage(), before);

  r = unit.Run({"calib", "restore", file});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<uint8_t> after = m.EepromImage();
  for (uint32_t a = 0; a < after.size(); ++a) ASSERT_EQ(after[a], before[a]) << "EEPROM address " << a;
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
  const std::vector<uint8_t> image = target.model().EepromImage();
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
  refuses(bad, bad + ": malformed JSON: parse error at line 1, column 41: syntax error while parsing object key - unexpected end of input; expected string literal");

  json broken = doc;
  broken["wavelengths"][0]["channels"][0]["voa"] = {1, 2, 3};
  WriteFile(bad, broken.dump());
  refuses(bad, bad + ": wavelengths[0].channels[0].voa: expected 4 values");

  broken = doc;
  broken["wavelengths"][0]["channels"][0]["defined"][3] = 70000;
  WriteFile(bad, broken.dump());
  refuses(bad, bad + ": wavelengths[0].channels[0].defined[3]: expected 0..65535");

  // Another serial number; forced, slot 1 serves another wavelength on the target.
  refuses(file, file + " does not fit unit " + target.ip() + ": serial number " + doc["unit"]["serial"].dump() +
                    " in the file, " + std::to_string(other.serial) + " on the unit (--force restores anyway)");
  refuses(file, file + " does not fit unit " + target.ip() + ": slot 1 (1550 nm) in the file, 1490 nm in that slot on the unit",
          {"--force"});
}

}  // namespace
}  // namespace zelctltest
