// The unit model answering frames directly, without sockets.
#include <gtest/gtest.h>

#include <random>

#include "support.h"

using namespace simtest;
using zelsim::UnitConfig;
using zelsim::UnitModel;

namespace {

UnitConfig Identity() {
    UnitConfig cfg;
    cfg.board_id = 0x4321;
    cfg.firmware_tenths = 123;
    cfg.serial = 0x0BCD'1234'5678'9ABCull;
    return cfg;
}

TEST(ModelRegisters, IdentityRegistersAndReplyLayout) {
    UnitModel unit(Identity());
    const Bytes r = Ask(unit, RegisterRead(0, 20));
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[0], 0xF0);
    EXPECT_EQ(Value(r), 0x4321);
    for (std::size_t i = 3; i < r.size(); ++i) ASSERT_EQ(r[i], 0) << "byte " << i;

    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 9))), 123);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 21))), 0x9ABC);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 22))), 0x5678);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 23))), 0x1234);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 24))), 0x0BCD);
    const std::uint16_t check = Value(Ask(unit, RegisterRead(0, 25)));
    EXPECT_EQ(check / 5, 0x0BCD);

    // Board serial words are writable, the identity words are not.
    EXPECT_EQ(Value(Ask(unit, RegisterWrite(0, 21, 0xFFFE))), 0xFFFE);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 21))), 0xFFFE);
    for (unsigned r9 : {9u, 20u, 23u, 24u, 25u}) {
        const std::uint16_t before = unit.Register(0, r9);
        EXPECT_EQ(Value(Ask(unit, RegisterWrite(0, r9, 0x5555))), before) << "register " << r9;
        EXPECT_EQ(unit.Register(0, r9), before);
    }
    // The same addresses on another select are ordinary storage.
    Ask(unit, RegisterWrite(3, 20, 0x7777));
    EXPECT_EQ(unit.Register(3, 20), 0x7777);
    EXPECT_EQ(unit.Register(0, 20), 0x4321);
}

TEST(ModelRegisters, ControlWordDecodingAndLeftoverBytes) {
    UnitModel unit;
    // Select 15, address 0x7FF: control word 0xFFFF for a write.
    Ask(unit, RegisterWrite(15, 0x7FF, 0xBEEF));
    EXPECT_EQ(unit.Register(15, 0x7FF), 0xBEEF);
    EXPECT_EQ(unit.Register(7, 0x7FF), 0);

    // A read frame carrying leftovers of an earlier write in bytes 6..127 stays a read.
    RawFrame f = RegisterRead(2, 100);
    for (std::size_t i = 6; i < f.size(); ++i) f[i] = static_cast<std::uint8_t>(0xA0 + i);
    unit.SetRegister(2, 100, 0x1111);
    EXPECT_EQ(Value(Ask(unit, f)), 0x1111);
    EXPECT_EQ(unit.Register(2, 100), 0x1111);
    // Bytes 1..3 and 8..127 are not part of the register form.
    RawFrame w = RegisterWrite(2, 100, 0x2222);
    w[1] = w[2] = w[3] = 0x77;
    for (std::size_t i = 8; i < w.size(); ++i) w[i] = 0xEE;
    EXPECT_EQ(Value(Ask(unit, w)), 0x2222);
    EXPECT_EQ(unit.Register(2, 100), 0x2222);
    EXPECT_EQ(unit.Register(2, 101), 0);
}

TEST(ModelRegisters, VoaScreenAndSwitchRegisters) {
    UnitModel unit;
    EXPECT_EQ(Value(Ask(unit, RegisterWrite(1, 37, 0x1234))), 0x0234);
    EXPECT_EQ(unit.Register(1, 37), 0x0234);
    EXPECT_EQ(Value(Ask(unit, RegisterWrite(1, 37, 0xFFFF))), 0x0FFF);

    EXPECT_EQ(Value(Ask(unit, RegisterWrite(0, 38, 0x01FF))), 0x00FF);
    EXPECT_EQ(unit.ScreenByte(), 0xFF);

    Ask(unit, RegisterWrite(5, 33, 1));
    EXPECT_EQ(Value(Ask(unit, RegisterRead(5, 33))), 1);
    EXPECT_EQ(unit.Register(4, 33), 0);
    Ask(unit, RegisterWrite(0, 34, 0x2345));
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 34))), 0x2345);  // beyond the ports, still kept
}

TEST(ModelRegisters, OutOfRangeSwitchPositionsAndScreenAreLogged) {
    UnitConfig cfg;
    cfg.board_type = 2;  // 4-port switches
    UnitModel unit(cfg);
    std::vector<std::string> lines;
    unit.SetLogSink([&](std::string_view l) { lines.emplace_back(l); });
    auto mentions = [&](const std::string& a, const std::string& b) {
        for (const auto& l : lines) {
            if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
        }
        return false;
    };
    Ask(unit, RegisterWrite(0, 35, 3));
    EXPECT_FALSE(mentions("LBMM", "beyond"));
    Ask(unit, RegisterWrite(0, 35, 4));
    Ask(unit, RegisterWrite(0, 38, 0x42));
    EXPECT_TRUE(mentions("LBMM switch position 4", "beyond"));
    EXPECT_TRUE(mentions("screen", "0x42"));
    EXPECT_EQ(unit.Register(0, 35), 4);
}

TEST(ModelEeprom, AddressAndDataRegistersPerBank) {
    UnitModel unit;
    unit.SetEeprom(0x2008, 0xAB);
    unit.SetEeprom(0x12008, 0xCD);
    Ask(unit, RegisterWrite(0, 10, 0x2008));
    Ask(unit, RegisterWrite(1, 10, 0x2008));
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 11))), 0xAB);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(1, 11))), 0xCD);

    // The data register is 8 bits: the high byte of a written word is dropped.
    EXPECT_EQ(Value(Ask(unit, RegisterWrite(0, 11, 0x1234))), 0x34);
    EXPECT_EQ(unit.Eeprom(0x2008), 0x34);
    EXPECT_EQ(unit.Eeprom(0x12008), 0xCD);
    Ask(unit, RegisterWrite(1, 10, 0xFFFF));
    Ask(unit, RegisterWrite(1, 11, 0x5A));
    EXPECT_EQ(unit.Eeprom(0x1FFFF), 0x5A);
    // The unit does not advance the address by itself.
    EXPECT_EQ(Value(Ask(unit, RegisterRead(1, 11))), 0x5A);
    // Register 11 on other selects is plain storage.
    Ask(unit, RegisterWrite(2, 11, 0x1234));
    EXPECT_EQ(unit.Register(2, 11), 0x1234);
}

TEST(ModelEeprom, BlockReadWriteAndPages) {
    UnitModel unit;
    for (std::uint32_t i = 0; i < 200; ++i) unit.SetEeprom(0x12008 + i, static_cast<std::uint8_t>(i * 7 + 1));
    RawFrame f = BlockRead(0x12008);
    for (std::size_t i = 9; i < f.size(); ++i) f[i] = 0x99;  // leftovers
    Bytes r = Ask(unit, f);
    ASSERT_EQ(r.size(), 128u);
    for (std::uint32_t i = 0; i < 128; ++i) ASSERT_EQ(r[i], static_cast<std::uint8_t>(i * 7 + 1)) << i;

    // The address wraps at 128 KiB.
    unit.SetEeprom(0x1FFFF, 0x11);
    unit.SetEeprom(0x0, 0x22);
    r = Ask(unit, BlockRead(0x1FFFF));
    EXPECT_EQ(r[0], 0x11);
    EXPECT_EQ(r[1], 0x22);

    Bytes payload(119);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(200 - i);
    RawFrame w = BlockWrite(0x5000, payload);
    const std::uint8_t after = unit.Eeprom(0x5000 + 119);
    r = Ask(unit, w);
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r[0], 0xF1);
    EXPECT_EQ(r[2], 0x00);
    for (std::uint32_t i = 0; i < 119; ++i) ASSERT_EQ(unit.Eeprom(0x5000 + i), payload[i]);
    EXPECT_EQ(unit.Eeprom(0x5000 + 119), after);

    RawFrame page{};
    page[0] = 0xF1;
    page[1] = 0x02;
    page[2] = 1;  // bank 1
    page[3] = 3;  // page 3
    unit.SetEeprom(0x10000 + 3 * 1024, 0x77);
    unit.SetEeprom(0x10000 + 4 * 1024 - 1, 0x88);
    r = Ask(unit, page);
    ASSERT_EQ(r.size(), 1024u);
    EXPECT_EQ(r[0], 0x77);
    EXPECT_EQ(r[1023], 0x88);
}

TEST(ModelEeprom, WholeImageReplacement) {
    UnitModel unit;
    Bytes img(0x20000);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i * 31 + (i >> 8));
    unit.SetEepromImage(img);
    EXPECT_EQ(unit.EepromImage(), img);
    Ask(unit, RegisterWrite(1, 10, 0x1234));
    EXPECT_EQ(Value(Ask(unit, RegisterRead(1, 11))), img[0x11234]);
    EXPECT_THROW(unit.SetEepromImage(Bytes(0x10000)), std::invalid_argument);
    EXPECT_EQ(unit.EepromImage(), img);
}

TEST(ModelEeprom, ByteCommands) {
    UnitModel unit;
    RawFrame f{};
    f[0] = 0xF1;
    f[1] = 0x06;
    f[2] = 0x00;  // write
    f[3] = 5;
    f[4] = 0x10;
    f[5] = 0x50;  // address 0x5010
    const std::uint8_t data[5] = {1, 2, 3, 4, 5};
    std::copy(std::begin(data), std::end(data), f.begin() + 9);
    f[14] = 0xEE;  // beyond n: not stored
    Bytes r = Ask(unit, f);
    EXPECT_EQ(r.size(), 128u);
    for (std::uint32_t i = 0; i < 5; ++i) EXPECT_EQ(unit.Eeprom(0x5010 + i), data[i]);
    EXPECT_NE(unit.Eeprom(0x5015), 0xEE);

    f[2] = 0x01;  // read
    r = Ask(unit, f);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r, Bytes(std::begin(data), std::end(data)));
    f[3] = 0;  // an empty read still gets a reply
    EXPECT_EQ(Ask(unit, f).size(), 1u);
}

TEST(ModelFrames, EveryFrameGetsOneReplyAndNothingThrows) {
    UnitModel unit;
    RawFrame unknown{};
    unknown[0] = 0x42;
    EXPECT_EQ(Ask(unit, unknown), Bytes(128, 0));
    for (std::uint8_t sub : {0x03, 0x04, 0x07, 0x55}) {
        RawFrame f{};
        f[0] = 0xF1;
        f[1] = sub;
        const Bytes r = Ask(unit, f);
        ASSERT_EQ(r.size(), 128u);
        EXPECT_EQ(r[1], sub);
        EXPECT_EQ(r[2], sub == 0x55 ? 1 : 0);
    }

    std::mt19937 rng(7);
    for (int i = 0; i < 8000; ++i) {
        RawFrame f;
        for (auto& b : f) b = static_cast<std::uint8_t>(rng());
        if (i % 3 == 0) f[0] = 0xF1;
        if (i % 3 == 1) f[0] = 0xF0;
        const Bytes r = Ask(unit, f);
        ASSERT_GE(r.size(), 1u);
        ASSERT_LE(r.size(), 1024u);
    }
}

TEST(ModelScripts, ScriptedReadsComeFirstThenNormalAnswers) {
    UnitModel unit;
    unit.ScriptReads(2, 36, {100, 65535, 0});
    unit.ScriptReads(0, 20, {7});
    const std::uint16_t ideal = unit.Register(2, 36);  // peeking does not pop
    EXPECT_GT(ideal, 1000);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(2, 36))), 100);
    EXPECT_GT(Value(Ask(unit, RegisterRead(3, 36))), 1000);  // other selects unaffected
    EXPECT_EQ(Value(Ask(unit, RegisterRead(2, 36))), 65535);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(2, 36))), 0);
    EXPECT_NEAR(Value(Ask(unit, RegisterRead(2, 36))), ideal, ideal * 0.02);  // back to the optics
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 20))), 7);
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 20))), unit.Config().board_id);

    unit.ScriptReads(0, 9, {1, 2});
    unit.ClearScripts();
    EXPECT_EQ(Value(Ask(unit, RegisterRead(0, 9))), unit.Config().firmware_tenths);
}

}  // namespace
