// The calibration backup file without a unit: text to Calibration and back, files that carry values
// only, and the message a malformed file is refused with.
#include <gtest/gtest.h>

#include <functional>

#include "calib_file.h"

namespace zelctl::calib {
namespace {

using nlohmann::ordered_json;

// Eight bytes, least significant first.
Bytes Le64(std::uint64_t bits) {
    Bytes out(8);
    for (int i = 0; i < 8; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (8 * i));
    return out;
}

// Records of every kind a unit holds: plain values, erased ones, a raw NaN that is not erased,
// a scaled pattern with its top bit set, and a scaled value whose product with 10^12 rounds.
ChannelRecords Channel(bool per_slot, int seed) {
    ChannelRecords out;
    for (const auto* shape : ItemsOf(per_slot)) {
        std::vector<double> values(shape->count);
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = shape->WholeNumbers() ? 17.0 * seed + i : 0.25 * seed + 1.049;
        out.push_back(Encode(*shape, values));
    }
    if (per_slot && seed == 0) out[0] = Le64(1049000000000);  // tap 1.049, though 10^12 x 1.049 < 1049000000000
    if (per_slot && seed == 1) {
        out[1] = Le64(0x7FF8000000000001ull);  // voa: a NaN and three ones
        for (int i = 1; i < 4; ++i) out[1].insert(out[1].end(), {0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
        out[2] = Bytes(60, 0xFF);              // defined: erased
        out[4] = Le64(0x8000000000000005ull);  // switch_loss: reads as the scaled floor
    }
    return out;
}

Calibration Sample() {
    Calibration cal;
    cal.board_type = 4;
    cal.serial = 0x0007202400030001;
    cal.board_id = 0xA5A50004;
    for (int w = 0; w < 2; ++w) {
        SlotRecords slot{w, static_cast<std::uint16_t>(w == 0 ? 1310 : 1550), {}};
        for (int c = 0; c < 2; ++c) slot.channels.push_back(Channel(true, 2 * w + c));
        cal.slots.push_back(slot);
    }
    cal.user = {Channel(false, 3), {Bytes(8, 0xFF), Bytes(8, 0xFF)}};
    return cal;
}

void ExpectSame(const Calibration& got, const Calibration& want) {
    EXPECT_EQ(got.board_type, want.board_type);
    EXPECT_EQ(got.serial, want.serial);
    EXPECT_EQ(got.board_id, want.board_id);
    ASSERT_EQ(got.slots.size(), want.slots.size());
    for (std::size_t w = 0; w < want.slots.size(); ++w) {
        EXPECT_EQ(got.slots[w].slot, want.slots[w].slot);
        EXPECT_EQ(got.slots[w].nm, want.slots[w].nm);
        EXPECT_EQ(got.slots[w].channels, want.slots[w].channels) << "slot " << w;
    }
    EXPECT_EQ(got.user, want.user);
}

TEST(CalibFile, RoundTripsEveryRecordByteForByte) {
    const Calibration cal = Sample();
    const std::string text = BackupText(cal);
    ExpectSame(ParseBackup(text), cal);
    EXPECT_EQ(BackupText(ParseBackup(text)), text);

    // What a reader of the file sees: keys in a fixed order, values beside their bytes.
    const auto doc = ordered_json::parse(text);
    std::vector<std::string> keys;
    for (const auto& [key, value] : doc.items()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"format", "version", "unit", "channels", "wavelengths", "user"}));
    EXPECT_EQ(doc["version"], 2);
    const auto& odd = doc["wavelengths"][0]["channels"][1];
    EXPECT_EQ(odd["voa"][0], "0x7FF8000000000001");
    EXPECT_EQ(odd["voa"][1], 1.0);
    EXPECT_EQ(odd["defined"], nullptr);
    EXPECT_EQ(odd["switch_loss"], -9223372.036854775808);
    EXPECT_EQ(odd["bytes"]["switch_loss"], "0500000000000080");
    EXPECT_EQ(doc["wavelengths"][0]["channels"][0]["tap"], 1.049);
    EXPECT_EQ(doc["wavelengths"][1]["channels"][0]["defined"][29], 2 * 17 + 29);
    EXPECT_EQ(doc["user"][1]["user_rx"], nullptr);
}

TEST(CalibFile, ReadsValuesOnlyFilesAsTheLibraryWouldStoreThem) {
    Calibration cal = Sample();
    cal.slots[0].channels[1][4] = Bytes(8, 0xFF);  // an erased scaled record, not just any top-bit pattern
    auto doc = ordered_json::parse(BackupText(cal));
    doc["version"] = 1;
    auto to_values = [](ordered_json& channel) {
        for (const auto& [key, hex] : channel["bytes"].items()) {
            if (!channel[key].is_null()) continue;
            channel[key] =
                key == "defined" ? ordered_json(std::vector<int>(30, 65535)) : ordered_json(-9223372.036854775808);
        }
        channel.erase("bytes");
    };
    for (auto& slot : doc["wavelengths"]) {
        for (auto& channel : slot["channels"]) to_values(channel);
    }
    for (auto& channel : doc["user"]) to_values(channel);
    // The tap of 1.049 comes back as 1049000000000, not the integer below it.
    ExpectSame(ParseBackup(doc.dump()), cal);
}

TEST(CalibFile, RefusesMalformedFilesNamingThePlace) {
    const auto good = ordered_json::parse(BackupText(Sample()));
    auto refused = [&](const std::function<void(ordered_json&)>& edit) -> std::string {
        ordered_json doc = good;
        edit(doc);
        try {
            ParseBackup(doc.dump());
        } catch (const FileError& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(refused([](ordered_json& d) { d.erase("unit"); }), "top level: missing \"unit\"");
    EXPECT_EQ(refused([](ordered_json& d) { d["format"] = "something else"; }),
              "format: not a zelctl calibration backup");
    EXPECT_EQ(refused([](ordered_json& d) { d["version"] = 3; }), "version: this zelctl reads versions 1 and 2");
    EXPECT_EQ(refused([](ordered_json& d) { d["channels"] = 9; }), "channels: expected 1 to 8");
    EXPECT_EQ(refused([](ordered_json& d) { d["channels"] = 1; }),
              "wavelengths[0].channels: expected 1 channel entries");
    EXPECT_EQ(refused([](ordered_json& d) { d["unit"]["serial"] = "7"; }), "unit.serial: expected a whole number");
    EXPECT_EQ(refused([](ordered_json& d) { d["wavelengths"][1]["slot"] = 2; }), "wavelengths[1].slot: expected 1");
    EXPECT_EQ(refused([](ordered_json& d) { d["wavelengths"][1]["wavelength_nm"] = 65535; }),
              "wavelengths[1].wavelength_nm: expected 1..65534");
    EXPECT_EQ(refused([](ordered_json& d) { d["user"][1]["channel"] = 0; }), "user[1].channel: expected 1");
    EXPECT_EQ(refused([](ordered_json& d) { d["user"][0]["bytes"].erase("user_tx"); }),
              "user[0].bytes: missing \"user_tx\"");
    EXPECT_EQ(refused([](ordered_json& d) { d["user"][1]["bytes"]["user_tx"] = "ffffffffffffffzz"; }),
              "user[1].user_tx.bytes: expected 8 bytes in hex");
    // An erased record shows null beside its bytes; a value there is not what they hold.
    EXPECT_EQ(refused([](ordered_json& d) { d["user"][1]["user_tx"] = 0; }),
              "user[1].user_tx: the value 0 is not what its bytes hold (null)");
    EXPECT_EQ(refused([](ordered_json& d) {
                  d["version"] = 1;
                  d["wavelengths"][0]["channels"][1]["voa"][0] = "0x7FF8";
              }),
              "wavelengths[0].channels[1].voa[0]: expected a number");
    EXPECT_EQ(refused([](ordered_json& d) {
                  d["version"] = 1;
                  d["wavelengths"][0]["channels"][0]["defined"][2] = 1.5;
              }),
              "wavelengths[0].channels[0].defined[2]: expected a whole number");

    try {
        ParseBackup("[1, 2");
        ADD_FAILURE() << "accepted";
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("malformed JSON: parse error at line 1, column ", 0), 0u) << e.what();
    }
}

}  // namespace
}  // namespace zelctl::calib
