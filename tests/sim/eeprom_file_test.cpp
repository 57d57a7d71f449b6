// EEPROM image files: restart survival, atomic replacement, debounced saving.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support.h"
#include "support/wait_for.h"

using namespace simtest;
using zelsim::UnitConfig;
using zelsim::UnitModel;
using Clock = std::chrono::steady_clock;

namespace {

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) out.push_back(entry.path().filename().string());
    return out;
}

// Writes one byte through the unit's EEPROM registers, as a host does.
void HostWrite(UnitModel& unit, std::uint16_t address, std::uint8_t value) {
    Ask(unit, RegisterWrite(0, 10, address));
    Ask(unit, RegisterWrite(0, 11, value));
}

TEST(EepromFile, MissingFileStartsFactoryAndChangesSurviveRestart) {
    const std::string dir = TempDir();
    UnitConfig cfg;
    cfg.eeprom_file = dir + "/unit.img";
    {
        UnitModel unit(cfg);
        EXPECT_EQ(unit.EepromImage(), zelsim::FactoryImage(cfg));
        HostWrite(unit, 0x5018, 0x42);
        unit.SetEeprom(0x1FFFF, 0x17);
    }  // destruction saves
    const Bytes saved = ReadFile(cfg.eeprom_file);
    ASSERT_EQ(saved.size(), 0x20000u);
    EXPECT_EQ(saved[0x5018], 0x42);
    EXPECT_EQ(saved[0x1FFFF], 0x17);

    UnitConfig other = cfg;
    other.board_type = 0;  // the file wins over the factory settings
    {
        UnitModel again(other);
        EXPECT_EQ(again.Eeprom(0x5018), 0x42);
        EXPECT_EQ(again.Eeprom(0x1FFFF), 0x17);
        EXPECT_EQ(again.BoardType(), cfg.board_type);
    }
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"unit.img"});  // no temporary file or journal left behind
}

// What a process that dies leaves: the image of its last save and the journal of the writes it
// answered since. The next start applies every complete record in order and drops a torn tail.
TEST(EepromFile, StartRecoversTheJournalOfAnAnsweredWrite) {
    const std::string dir = TempDir();
    UnitConfig cfg;
    cfg.eeprom_file = dir + "/unit.img";
    {
        UnitModel unit(cfg);
        ASSERT_TRUE(unit.Flush());
    }
    const Bytes factory = ReadFile(cfg.eeprom_file);
    // Journal records as the store writes them: address, length, bytes, FNV-1a check word.
    auto record = [](std::uint32_t address, const Bytes& data) {
        Bytes r;
        for (std::uint32_t v : {address, static_cast<std::uint32_t>(data.size())})
            for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        r.insert(r.end(), data.begin(), data.end());
        std::uint32_t h = 2166136261u;
        for (std::uint8_t b : r) h = (h ^ b) * 16777619u;
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(h >> (8 * i)));
        return r;
    };
    struct Case {
        const char* name;
        std::vector<Bytes> records;
        std::size_t cut;  // bytes cut off the end: a record torn by the process dying
        std::vector<std::pair<std::uint32_t, std::uint8_t>> expect;
    };
    const std::vector<Case> cases = {
        {"later record wins",
         {record(0x5018, {1, 2, 3}), record(0x5019, {9})},
         0,
         {{0x5018, 1}, {0x5019, 9}, {0x501A, 3}}},
        {"wraps at the end", {record(0x1FFFF, {7, 8})}, 0, {{0x1FFFF, 7}, {0, 8}}},
        {"torn tail dropped", {record(0x100, {5}), record(0x101, {6, 6})}, 1, {{0x100, 5}, {0x101, factory[0x101]}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        ASSERT_TRUE(zelsim::SaveImageFile(cfg.eeprom_file, factory, &err)) << err;
        Bytes log;
        for (const auto& r : c.records) log.insert(log.end(), r.begin(), r.end());
        log.resize(log.size() - c.cut);
        std::ofstream(cfg.eeprom_file + ".journal", std::ios::binary)
            .write(reinterpret_cast<const char*>(log.data()), static_cast<std::streamsize>(log.size()));
        {
            UnitModel unit(cfg);
            for (const auto& [address, value] : c.expect) EXPECT_EQ(unit.Eeprom(address), value) << address;
            // Folded into the image at once: a second death before any save loses nothing.
            const Bytes image = ReadFile(cfg.eeprom_file);
            for (const auto& [address, value] : c.expect) EXPECT_EQ(image[address], value) << address;
            EXPECT_TRUE(ReadFile(cfg.eeprom_file + ".journal").empty());
        }
    }
}

TEST(EepromFile, WrongSizeIsAClearError) {
    const std::string dir = TempDir();
    UnitConfig cfg;
    cfg.eeprom_file = dir + "/short.img";
    std::ofstream(cfg.eeprom_file, std::ios::binary) << "not an image";
    try {
        UnitModel unit(cfg);
        FAIL() << "a 12-byte image was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("12 bytes"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFile(cfg.eeprom_file).size(), 12u);  // left as it was
}

TEST(EepromFile, HostTransfersAreFastAndSavedInTheBackground) {
    const std::string dir = TempDir();
    UnitConfig cfg;
    cfg.eeprom_file = dir + "/unit.img";
    UnitModel unit(cfg);
    ASSERT_TRUE(unit.Flush());
    const std::uint64_t base = unit.SavesDone();
    const auto t0 = Clock::now();
    for (std::uint16_t i = 0; i < 60; ++i)
        HostWrite(unit, static_cast<std::uint16_t>(0x2158 + i), static_cast<std::uint8_t>(i));
    // No transfer waits for a save: the saver writes the image at most once per 200 ms however busy
    // the machine is, so the transfers made at most the saves their own duration allows (not one per
    // byte).
    const std::uint64_t allowed = 1 + static_cast<std::uint64_t>((Clock::now() - t0) / std::chrono::milliseconds(200));
    EXPECT_LE(unit.SavesDone() - base, std::min<std::uint64_t>(allowed, 59));
    // Without any Flush, the debounced save lands shortly after.
    Bytes file;
    zeltest::WaitFor(
        [&] {
            file = ReadFile(cfg.eeprom_file);
            return file.size() == 0x20000 && file[0x2158 + 59] == 59;
        },
        std::chrono::seconds(2), std::chrono::milliseconds(20));
    ASSERT_EQ(file.size(), 0x20000u);
    for (std::uint16_t i = 0; i < 60; ++i) EXPECT_EQ(file[0x2158 + i], i);
    EXPECT_LE(unit.SavesDone() - base, allowed + 2);
}

TEST(EepromFile, ReadersNeverSeeATornImage) {
    const std::string dir = TempDir();
    const std::string path = dir + "/unit.img";
    const Bytes a(0x20000, 0xAA), b(0x20000, 0x55);
    std::string err;
    ASSERT_TRUE(zelsim::SaveImageFile(path, a, &err)) << err;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            // Windows refuses an open while the file is being replaced: no image read, none torn.
            std::ifstream in(path, std::ios::binary);
            if (!in.is_open()) continue;
            const Bytes got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++reads;
            if (got != a && got != b) ++torn;
        }
    });
    bool saved = true;  // the reader stops before any check can end the test
    for (int i = 0; i < 40 && saved; ++i) saved = zelsim::SaveImageFile(path, i % 2 ? a : b, &err);
    saved = saved && zelsim::SaveImageFile(path, b, &err);
    done = true;
    reader.join();
    ASSERT_TRUE(saved) << err;
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(Entries(dir).size(), 1u);

    // A save that cannot complete leaves the previous image in place.
    ASSERT_TRUE(std::filesystem::create_directory(dir + "/blocked.img"));
    EXPECT_FALSE(zelsim::SaveImageFile(dir + "/blocked.img", a, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(ReadFile(path), b);
    EXPECT_EQ(Entries(dir).size(), 2u);  // the image and the directory, no temporary file
}

TEST(EepromFile, ServerStopSavesTheImage) {
    const std::string dir = TempDir();
    UnitConfig cfg;
    cfg.eeprom_file = dir + "/unit.img";
    UnitModel unit(cfg);
    auto server = StartOnLoopback(unit);
    ASSERT_NE(server, nullptr);
    Client c(server->Address());
    ASSERT_EQ(c.Exchange(RegisterWrite(1, 10, 0x0007)).size(), 128u);
    ASSERT_EQ(c.Exchange(RegisterWrite(1, 11, 0x99)).size(), 128u);
    server->Stop();
    EXPECT_EQ(ReadFile(cfg.eeprom_file).at(0x10007), 0x99);
}

}  // namespace
