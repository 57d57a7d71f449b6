// Command line of zel-unit-sim, and the program itself end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <random>
#include <thread>

#include "cli.h"
#include "support.h"

using namespace simtest;

namespace {

int Parse(std::vector<std::string> args, zelsim::SimOptions& out) {
    args.insert(args.begin(), "zel-unit-sim");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return zelsim::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out);
}

TEST(CommandLine, DefaultsAndEveryOption) {
    zelsim::SimOptions d;
    ASSERT_EQ(Parse({}, d), -1);
    EXPECT_EQ(d.listen, std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(d.port, 6653);
    EXPECT_EQ(d.unit.board_type, zelsim::UnitConfig{}.board_type);
    EXPECT_EQ(d.limits.max_connections, zelsim::ServerLimits{}.max_connections);
    EXPECT_EQ(d.limits.idle_timeout_ms, zelsim::ServerLimits{}.idle_timeout_ms);
    EXPECT_EQ(d.limits.send_timeout_ms, zelsim::ServerLimits{}.send_timeout_ms);
    EXPECT_FALSE(d.board_type_given);  // an image's own board type wins unless the option is given

    zelsim::SimOptions o;
    ASSERT_EQ(Parse({"--listen",
                     "127.0.0.2",
                     "--listen",
                     "127.0.0.3",
                     "--board-type",
                     "4",
                     "--board-id",
                     "4242",
                     "--firmware",
                     "12.3",
                     "--wavelengths",
                     "1550,1490,1625",
                     "--power",
                     "2=500",
                     "--power",
                     "7=12.5",
                     "--eeprom",
                     "/tmp/u.img",
                     "--seed",
                     "99",
                     "--verbose",
                     "--max-connections",
                     "300",
                     "--idle-timeout-ms",
                     "0",
                     "--send-timeout-ms",
                     "2500"},
                    o),
              -1);
    EXPECT_EQ(o.listen, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
    EXPECT_EQ(o.unit.board_type, 4);
    EXPECT_TRUE(o.board_type_given);
    EXPECT_EQ(o.unit.board_id, 4242);
    EXPECT_EQ(o.unit.firmware_tenths, 123);
    EXPECT_FALSE(o.serial_given);  // each of several units has a serial from its address
    EXPECT_EQ(o.unit.extra_wavelengths, (std::vector<std::uint16_t>{1550, 1490, 1625}));
    EXPECT_EQ(o.unit.input_power_uw[2], 500.0);
    EXPECT_EQ(o.unit.input_power_uw[7], 12.5);
    EXPECT_EQ(o.unit.input_power_uw[0], zelsim::UnitConfig{}.input_power_uw[0]);
    EXPECT_EQ(o.unit.eeprom_file, "/tmp/u.img");
    EXPECT_EQ(o.unit.seed, 99u);
    EXPECT_TRUE(o.unit.verbose);
    EXPECT_EQ(o.limits.max_connections, 300u);
    EXPECT_EQ(o.limits.idle_timeout_ms, 0);
    EXPECT_EQ(o.limits.send_timeout_ms, 2500);

    zelsim::SimOptions one;
    ASSERT_EQ(Parse({"--listen", "127.0.0.2", "--serial", "0x0001000200030004"}, one), -1);
    EXPECT_TRUE(one.serial_given);
    EXPECT_EQ(one.unit.serial, 0x0001000200030004ull);

    zelsim::SimOptions replay;
    ASSERT_EQ(
        Parse({"--replay", "s.pcap", "--replay-unit", "127.9.9.9", "--replay-timing", "--replay-fallback"}, replay),
        -1);
    EXPECT_EQ(replay.replay, "s.pcap");
    EXPECT_EQ(replay.replay_unit, "127.9.9.9");
    EXPECT_TRUE(replay.replay_timing);
    EXPECT_TRUE(replay.replay_fallback);
    EXPECT_FALSE(d.replay_timing || d.replay_fallback || !d.replay.empty());
}

TEST(CommandLine, EachAddressHasASerialOfItsOwn) {
    EXPECT_EQ(zelsim::SerialForAddress("127.0.0.5"), 0x0007'2024'7F00'0005ull);
    EXPECT_EQ(zelsim::SerialForAddress("127.1.2.3"), 0x0007'2024'7F01'0203ull);
    EXPECT_NE(zelsim::SerialForAddress("127.0.0.5"), zelsim::SerialForAddress("127.0.0.6"));
    // One serial for several units would make them indistinguishable.
    zelsim::SimOptions o;
    EXPECT_EQ(Parse({"--listen", "127.0.0.2", "--listen", "127.0.0.3", "--serial", "7"}, o), 2);
}

TEST(CommandLine, RefusesRemoteAndMalformedValues) {
    const std::vector<std::vector<std::string>> bad = {
        {"--listen", "10.1.2.3"},
        {"--listen", "0.0.0.0"},
        {"--listen", "localhost"},
        {"--listen", "127.0.0.2", "--listen", "127.0.0.2"},
        {"--board-type", "9"},
        {"--power", "8=100"},
        {"--power", "1:100"},
        {"--power", "1=-3"},
        {"--power", "1=abc"},
        {"--wavelengths", "1,2,3,4,5,6"},
        {"--wavelengths", "65535"},
        {"--no-such-option"},
        {"--max-connections", "0"},
        {"--idle-timeout-ms", "-1"},
        {"--send-timeout-ms", "x"},
        {"--wavelengths", "0"},
        {"--wavelengths", "1550,1490,1550"},
        {"--replay-unit", "127.0.0.9"},  // the replay options need --replay
        {"--replay-timing"},
        {"--replay-fallback"},
        {"--replay", "s.pcap", "--listen", "127.0.0.2", "--listen", "127.0.0.3"},  // a replay plays one unit
    };
    for (const auto& args : bad) {
        zelsim::SimOptions o;
        // The documented code of bad arguments, not one of CLI11's own (100 and up).
        EXPECT_EQ(Parse(args, o), 2) << args[0] << " " << args[1 % args.size()];
    }
    for (const char* done : {"--help", "--version"}) {
        zelsim::SimOptions o;
        EXPECT_EQ(Parse({done}, o), 0) << done;
    }
    zelsim::SimOptions o;
    EXPECT_EQ(Parse({"--listen", "10.1.2.3", "--allow-remote"}, o), -1);
    EXPECT_TRUE(zelsim::IsLoopbackAddress("127.255.0.9"));
    EXPECT_FALSE(zelsim::IsLoopbackAddress("128.0.0.1"));
}

TEST(CommandLine, PerUnitImageFiles) {
    EXPECT_EQ(zelsim::EepromFileFor("/tmp/u.img", "127.0.0.2", 1), "/tmp/u.img");
    EXPECT_EQ(zelsim::EepromFileFor("/tmp/u.img", "127.0.0.2", 2), "/tmp/u-127.0.0.2.img");
    EXPECT_EQ(zelsim::EepromFileFor("/tmp/dir.d/u", "127.0.0.3", 2), "/tmp/dir.d/u-127.0.0.3");
    EXPECT_EQ(zelsim::EepromFileFor("", "127.0.0.3", 2), "");
}

std::string RandomLoopback(std::mt19937& rng) {
    return "127." + std::to_string(rng() % 254 + 1) + "." + std::to_string(rng() % 254 + 1) + "." +
           std::to_string(rng() % 254 + 1);
}

std::mt19937 SeededRng() {
    return std::mt19937(std::random_device{}() * 7919u +
                        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

using zeltest::host::Child;

// Starts the program with `args`; its standard error goes to `stderr_file` when one is named.
std::unique_ptr<Child> Spawn(std::vector<std::string> args, const std::string& stderr_file) {
    args.insert(args.begin(), ZEL_UNIT_SIM_EXE);
    auto child = std::make_unique<Child>(args, std::vector<std::string>{}, "", stderr_file);
    return child->started() ? std::move(child) : nullptr;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts the program on a random loopback address; nothing when it does not serve.
std::unique_ptr<Child> Launch(const std::vector<std::string>& extra, std::string& address,
                              const std::string& stderr_file = "") {
    std::mt19937 rng = SeededRng();
    for (int attempt = 0; attempt < 10; ++attempt) {
        address = RandomLoopback(rng);
        std::vector<std::string> args = {"--listen", address};
        args.insert(args.end(), extra.begin(), extra.end());
        auto child = Spawn(args, stderr_file);
        if (!child) return nullptr;
        for (int i = 0; i < 200; ++i) {
            Client probe(address);
            if (probe.connected()) return child;
            if (child->Wait(10)) break;  // could not bind: try another address
        }
    }
    return nullptr;
}

// Exit status of a stop request to a launched program, -1 when it did not exit in time.
int Stop(Child& program) {
    program.RequestStop();
    return program.Wait(10000).value_or(-1);
}

// Runs the program to its end: the exit status and its standard error. A program still
// running after `limit_ms` is killed and reported as -1 (a start-up failure exits at once).
int RunToExit(const std::vector<std::string>& args, std::string& err, int limit_ms = 3000) {
    const std::string file = TempDir() + "/stderr.txt";
    int result = -1;
    {
        const auto child = Spawn(args, file);
        if (!child) return -1;
        result = child->Wait(limit_ms).value_or(-1);
    }  // killed when still running
    err = ReadText(file);
    return result;
}

TEST(Program, ServesUntilSignalledThenSavesAndExitsCleanly) {
    const std::string dir = TempDir();
    const std::string image = dir + "/unit.img";
    std::string address;
    const auto program = Launch({"--board-id", "4242", "--eeprom", image, "--wavelengths", "1550", "--max-connections",
                                 "1", "--idle-timeout-ms", "500"},
                                address);
    ASSERT_TRUE(program);
    {
        // The launch probe's connection may hold the only slot for a moment.
        std::unique_ptr<Client> first;
        for (int i = 0; i < 100 && !first; ++i) {
            first = std::make_unique<Client>(address);
            if (Value(first->Exchange(RegisterRead(0, 20))) != 4242) {
                first.reset();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        ASSERT_TRUE(first);
        Client& c = *first;
        Client over_the_cap(address);
        EXPECT_TRUE(over_the_cap.PeerClosed(500));
        EXPECT_EQ(c.Exchange(RegisterWrite(0, 10, 0x5100)).size(), 128u);
        EXPECT_EQ(c.Exchange(RegisterWrite(0, 11, 0x3C)).size(), 128u);
        const Bytes block = c.Exchange(BlockRead(0x2800));
        ASSERT_EQ(block.size(), 128u);
        EXPECT_EQ(block[0] << 8 | block[1], 1550);
        EXPECT_TRUE(c.PeerClosed(3000));  // idle past its time-out
    }
    EXPECT_EQ(Stop(*program), 0);
    std::ifstream in(image, std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(saved.size(), 0x20000u);
    EXPECT_EQ(saved[0x5100], 0x3C);
}

// Start-up failures end the program before it serves, with the documented code and the
// system's reason: 1 an address it cannot serve, 2 bad arguments, 3 an image file it cannot use.
TEST(Program, StartupFailuresExitWithTheirCodeAndReason) {
    const std::string dir = TempDir();
    std::mt19937 rng = SeededRng();
    std::string err;

    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--board-type", "9"}, err), 2) << err;

    const std::string missing_dir = dir + "/no-such-dir/unit.img";
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--eeprom", missing_dir}, err), 3) << err;
    EXPECT_NE(err.find(missing_dir), std::string::npos) << err;
    EXPECT_NE(err.find(zeltest::host::ErrorText(zeltest::host::Error::kNoSuchFile)), std::string::npos) << err;

    const std::string not_a_dir = dir + "/plain-file";
    std::ofstream(not_a_dir) << "x";
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--eeprom", not_a_dir + "/unit.img"}, err), 3) << err;
    EXPECT_NE(err.find(not_a_dir + "/unit.img"), std::string::npos) << err;
    EXPECT_NE(err.find(zeltest::host::ErrorText(zeltest::host::Error::kNotADirectory)), std::string::npos) << err;

    const std::string short_image = dir + "/short.img";
    std::ofstream(short_image, std::ios::binary) << std::string(100, '\0');
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--eeprom", short_image}, err), 3) << err;
    EXPECT_NE(err.find(short_image), std::string::npos) << err;

    // A --replay capture that cannot be read, or holds no unit.
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--replay", dir + "/none.pcap"}, err), 3) << err;
    EXPECT_NE(err.find(dir + "/none.pcap"), std::string::npos) << err;
    const std::string text = dir + "/text.pcap";
    std::ofstream(text) << "no capture here, just text\n";
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--replay", text}, err), 3) << err;
    EXPECT_NE(err.find("neither a pcap nor a pcapng file"), std::string::npos) << err;
    const std::string empty = dir + "/empty.pcap";
    {
        std::ofstream out(empty, std::ios::binary);  // a pcap header, no packet
        const unsigned char header[24] = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 1};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
    }
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--replay", empty}, err), 2) << err;
    EXPECT_NE(err.find("no conversation with a unit"), std::string::npos) << err;

    // Two units with the same address and port: the second cannot listen, and says why.
    std::string address;
    const auto first = Launch({}, address);
    ASSERT_TRUE(first);
    EXPECT_EQ(RunToExit({"--listen", address}, err), 1) << err;
    EXPECT_NE(err.find(address + ":6653"), std::string::npos) << err;
    EXPECT_NE(err.find(zeltest::host::ErrorText(zeltest::host::Error::kAddressInUse)), std::string::npos) << err;
    EXPECT_EQ(Stop(*first), 0);

    // Port 0: the banner names the port the system chose, and a host reaches the unit there.
    const std::string any_port = RandomLoopback(rng);
    EXPECT_EQ(RunToExit({"--listen", any_port, "--port", "0"}, err, 300), -1) << err;  // serving until killed
    const std::size_t at = err.find("unit at " + any_port + ":");
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_GT(std::stoul(err.substr(at + 9 + any_port.size())), 0u) << err;

    // A directory that takes new files passes the start-up check without leaving anything behind.
    const std::string image = dir + "/fresh/unit.img";
    ASSERT_TRUE(std::filesystem::create_directory(dir + "/fresh"));
    const auto fresh = Launch({"--eeprom", image}, address);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(Stop(*fresh), 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/fresh")) {
        EXPECT_EQ(entry.path().filename(), "unit.img");  // no scratch file of the check left over
    }
    EXPECT_EQ(std::ifstream(image, std::ios::binary).seekg(0, std::ios::end).tellg(), 0x20000);
}

// An existing image keeps the board type in its record 0: the banner and the unit agree on it,
// and a --board-type that says otherwise is refused instead of being half applied.
TEST(Program, ImageBoardTypeWinsAndAConflictingOptionIsRefused) {
    const std::string dir = TempDir();
    const std::string image = dir + "/unit.img";
    zelsim::UnitConfig four;
    four.board_type = 4;
    std::string error;
    ASSERT_TRUE(zelsim::SaveImageFile(image, zelsim::FactoryImage(four), &error)) << error;

    std::mt19937 rng = SeededRng();
    std::string err;
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--eeprom", image, "--board-type", "6"}, err), 2) << err;
    EXPECT_NE(err.find("--board-type 6"), std::string::npos) << err;
    EXPECT_NE(err.find("board type 4"), std::string::npos) << err;
    // The image's slots hold its own wavelengths: --wavelengths is refused as a conflicting --board-type is.
    EXPECT_EQ(RunToExit({"--listen", RandomLoopback(rng), "--eeprom", image, "--wavelengths", "1550"}, err), 2) << err;
    EXPECT_NE(err.find("--wavelengths"), std::string::npos) << err;
    EXPECT_NE(err.find(image), std::string::npos) << err;

    for (const std::vector<std::string>& extra : {std::vector<std::string>{"--eeprom", image},
                                                  std::vector<std::string>{"--eeprom", image, "--board-type", "4"}}) {
        const std::string log = dir + "/stderr.txt";
        std::string address;
        const auto program = Launch(extra, address, log);
        ASSERT_TRUE(program);
        {
            Client c(address);
            // Record 0 as the unit serves it: the image's board type, 4.
            const Bytes block = c.Exchange(BlockRead(zelsim::kSlotBase));
            ASSERT_EQ(block.size(), 128u);
            EXPECT_EQ(Scaled(block, 0), 4.0);
        }
        EXPECT_EQ(Stop(*program), 0);
        const std::string banner = ReadText(log);
        EXPECT_NE(banner.find("board type 4"), std::string::npos) << banner;
        EXPECT_EQ(banner.find("board type 6"), std::string::npos) << banner;
    }
}

}  // namespace

// A unit answers an EEPROM write only once it is durable: killed outright (SIGKILL) in the middle
// of a stream of block writes, it loses none that it had answered. Prints the block-write rate.
TEST(Program, KilledOutrightItKeepsEveryAnsweredWrite) {
    const std::string dir = TempDir();
    const std::string image = dir + "/unit.img";
    constexpr std::uint32_t kSlots = 128, kBase = 0x1000, kStride = 256;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string address;
        const auto program = Launch({"--eeprom", image}, address);
        ASSERT_TRUE(program);
        std::vector<std::uint32_t> answered(kSlots, 0);  // per slot, the last count the unit answered
        std::atomic<std::uint32_t> writes{0};
        const auto t0 = std::chrono::steady_clock::now();
        std::thread host([&] {
            Client c(address);
            for (std::uint32_t n = 1; c.connected(); ++n) {
                const std::uint32_t slot = n % kSlots;
                const std::uint32_t count = static_cast<std::uint32_t>(round) << 24 | n;
                Bytes payload(4);
                for (int i = 0; i < 4; ++i) payload[i] = static_cast<std::uint8_t>(count >> (8 * i));
                if (c.Exchange(BlockWrite(kBase + slot * kStride, payload)).size() != 128u) return;
                answered[slot] = count;
                ++writes;
            }
        });
        // Past the first fold into the image (200 ms), so that both the image and the journal count.
        std::this_thread::sleep_for(std::chrono::milliseconds(400 + 70 * round));
        program->Kill();  // SIGKILL; TerminateProcess on Windows: no chance to save anything
        program->Wait();
        host.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("block writes answered: %u in %.2f s (%.0f/s)\n", writes.load(), seconds, writes / seconds);
        ASSERT_GT(writes.load(), 20u);

        zelsim::UnitConfig cfg;
        cfg.eeprom_file = image;
        zelsim::UnitModel recovered(cfg);
        int lost = 0;
        for (std::uint32_t slot = 0; slot < kSlots; ++slot) {
            std::uint32_t held = 0;
            for (int i = 0; i < 4; ++i) held |= std::uint32_t{recovered.Eeprom(kBase + slot * kStride + i)} << (8 * i);
            if (held < answered[slot]) ++lost;  // an unanswered later write may have landed: never an earlier one
        }
        EXPECT_EQ(lost, 0);
    }
}
