// Runs the built zelctl and provides simulated units: in-process servers and zel-unit-sim processes,
// each on a random loopback address of its own.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/host.h"
#include "zelsim/sim.h"

namespace zelctltest {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
    nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

// zelctl with these arguments; `env` entries ("NAME=value") replace the environment when given.
Result Zelctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
// Any program (argv[0] a path) with these arguments, its output captured as for zelctl.
Result RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// zelctl running as a child process, killed at destruction unless waited for.
class ZelctlChild {
public:
    explicit ZelctlChild(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    ~ZelctlChild();
    ZelctlChild(const ZelctlChild&) = delete;
    ZelctlChild& operator=(const ZelctlChild&) = delete;
    // A user's Ctrl+C (zeltest::host::Child::Interrupt).
    bool Interrupt();
    Result Wait();
    // What it has printed on stdout so far.
    std::string OutputSoFar() const;

private:
    std::string out_, err_;
    std::unique_ptr<zeltest::host::Child> child_;
};

std::string RandomLoopback();

// A unit of `type` with these wavelengths in slots 1.. (slot 0 serves the board's default).
zelsim::UnitConfig Board(int type, std::vector<std::uint16_t> wavelengths = {});
// The raw (IEEE-754, least significant byte first) double at an EEPROM address.
double EepromDouble(const zelsim::UnitModel& m, std::uint32_t address);
std::string TempPath(const std::string& name);  // in a fresh directory

// An in-process unit.
class Unit {
public:
    explicit Unit(zelsim::UnitConfig cfg = {});
    zelsim::UnitModel& model() { return *model_; }
    zelsim::Server& server() { return *server_; }
    const std::string& ip() const { return server_->Address(); }
    // zelctl --unit <this unit> args...
    Result Run(std::vector<std::string> args) const;
    std::unique_ptr<ZelctlChild> Start(std::vector<std::string> args) const;

private:
    std::unique_ptr<zelsim::UnitModel> model_;
    std::unique_ptr<zelsim::Server> server_;
};

// A zel-unit-sim process; ready when it accepts a TCP connection, killed at destruction.
class SimProcess {
public:
    // `units` units in the one process, on consecutive addresses of one random loopback network.
    explicit SimProcess(const std::vector<std::string>& args, int units = 1);
    ~SimProcess();
    const std::string& ip() const { return ips_.front(); }
    const std::vector<std::string>& ips() const { return ips_; }

private:
    std::vector<std::string> ips_;
    std::unique_ptr<zeltest::host::Child> child_;
};

}  // namespace zelctltest
