// Command line of zel-unit-sim, and the program itself end to end.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "cli.h"
#include "support.h"

extern char** environ;

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

  zelsim::SimOptions o;
  ASSERT_EQ(Parse({"--listen", "127.0.0.2", "--listen", "127.0.0.3", "--board-type", "4", "--board-id", "4242",
                   "--firmware", "12.3", "--serial", "0x0001000200030004", "--wavelengths", "1550,1490,1625",
                   "--power", "2=500", "--power", "7=12.5", "--eeprom", "/tmp/u.img", "--seed", "99", "--verbose",
                   "--max-connections", "300", "--idle-timeout-ms", "0", "--send-timeout-ms", "2500"},
                  o),
            -1);
  EXPECT_EQ(o.listen, (std::vector<std::string>{"127.0.0.2", "127.0.0.3"}));
  EXPECT_EQ(o.unit.board_type, 4);
  EXPECT_EQ(o.unit.board_id, 4242);
  EXPECT_EQ(o.unit.firmware_tenths, 123);
  EXPECT_EQ(o.unit.serial, 0x0001000200030004ull);
  EXPECT_EQ(o.unit.extra_wavelengths, (std::vector<uint16_t>{1550, 1490, 1625}));
  EXPECT_EQ(o.unit.input_power_uw[2], 500.0);
  EXPECT_EQ(o.unit.input_power_uw[7], 12.5);
  EXPECT_EQ(o.unit.input_power_uw[0], zelsim::UnitConfig{}.input_power_uw[0]);
  EXPECT_EQ(o.unit.eeprom_file, "/tmp/u.img");
  EXPECT_EQ(o.unit.seed, 99u);
  EXPECT_TRUE(o.unit.verbose);
  EXPECT_EQ(o.limits.max_connections, 300u);
  EXPECT_EQ(o.limits.idle_timeout_ms, 0);
  EXPECT_EQ(o.limits.send_timeout_ms, 2500);
}

TEST(CommandLine, RefusesRemoteAndMalformedValues) {
  const std::vector<std::vector<std::string>> bad = {
      {"--listen", "10.1.2.3"},        {"--listen", "0.0.0.0"},          {"--listen", "localhost"},
      {"--listen", "127.0.0.2", "--listen", "127.0.0.2"},                  {"--board-type", "9"},
      {"--power", "8=100"},            {"--power", "1:100"},             {"--power", "1=-3"},
      {"--power", "1=abc"},            {"--wavelengths", "1,2,3,4,5,6"}, {"--wavelengths", "65535"},
      {"--no-such-option"},            {"--max-connections", "0"},       {"--idle-timeout-ms", "-1"},
      {"--send-timeout-ms", "x"},
  };
  for (const auto& args : bad) {
    zelsim::SimOptions o;
    EXPECT_GT(Parse(args, o), 0) << args[0] << " " << args[1 % args.size()];
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

// Starts the program on a random loopback address; returns its pid, or -1.
pid_t Launch(const std::vector<std::string>& extra, std::string& address) {
  std::mt19937 rng(static_cast<unsigned>(::getpid()) * 7919u +
                   static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  for (int attempt = 0; attempt < 10; ++attempt) {
    address = "127." + std::to_string(rng() % 254 + 1) + "." + std::to_string(rng() % 254 + 1) + "." +
              std::to_string(rng() % 254 + 1);
    std::vector<std::string> args = {ZEL_UNIT_SIM_EXE, "--listen", address};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    for (int i = 0; i < 200; ++i) {
      Client probe(address);
      if (probe.connected()) return pid;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) break;  // could not bind: try another address
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return -1;
}

TEST(Program, ServesUntilSignalledThenSavesAndExitsCleanly) {
  const std::string dir = TempDir();
  const std::string image = dir + "/unit.img";
  std::string address;
  const pid_t pid = Launch({"--board-id", "4242", "--eeprom", image, "--wavelengths", "1550", "--max-connections",
                            "1", "--idle-timeout-ms", "500"},
                           address);
  ASSERT_GT(pid, 0);
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
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(image, std::ios::binary);
  const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(saved.size(), 0x20000u);
  EXPECT_EQ(saved[0x5100], 0x3C);
}

}  // namespace
