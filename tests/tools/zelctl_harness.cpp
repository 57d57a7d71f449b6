#include "zelctl_harness.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zelctltest {
namespace {

using zeltest::host::Child;

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::unique_ptr<Child> Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                             const std::string& out, const std::string& err) {
    auto child = std::make_unique<Child>(argv, env, out, err);
    if (!child->started()) throw std::runtime_error("cannot start " + argv[0]);
    return child;
}

bool Accepts(const std::string& ip) {
    const zeltest::host::Socket s = zeltest::host::Connect(ip, zelsim::kUnitPort);
    zeltest::host::Close(s);
    return s != zeltest::host::kNoSocket;
}

Result Finish(Child& child, const std::string& out, const std::string& err) {
    Result r;
    r.code = child.Wait().value_or(-1);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
}

}  // namespace

std::string RandomLoopback() { return zelsim::RandomLoopbackAddress(); }

zelsim::UnitConfig Board(int type, std::vector<std::uint16_t> wavelengths) {
    zelsim::UnitConfig cfg;
    cfg.board_type = type;
    cfg.extra_wavelengths = std::move(wavelengths);
    return cfg;
}

double EepromDouble(const zelsim::UnitModel& m, std::uint32_t address) {
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 8; ++i) bits |= std::uint64_t{m.Eeprom(address + i)} << (8 * i);
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

std::string TempPath(const std::string& name) { return zeltest::host::FreshDirectory("zelctl-test-") + "/" + name; }

ZelctlChild::ZelctlChild(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : out_(TempPath("out")), err_(out_.substr(0, out_.size() - 3) + "err") {
    std::vector<std::string> argv{ZELCTL_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = Spawn(argv, env, out_, err_);
}

ZelctlChild::~ZelctlChild() = default;  // the child kills a program still running

bool ZelctlChild::Interrupt() { return child_->Interrupt(); }

Result ZelctlChild::Wait() { return Finish(*child_, out_, err_); }

std::string ZelctlChild::OutputSoFar() const { return Slurp(out_); }

Result Zelctl(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return ZelctlChild(args, env).Wait();
}

Result RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const std::string out = TempPath("out"), err = out.substr(0, out.size() - 3) + "err";
    return Finish(*Spawn(argv, env, out, err), out, err);
}

Unit::Unit(zelsim::UnitConfig cfg)
    : model_(std::make_unique<zelsim::UnitModel>(std::move(cfg))), server_(zelsim::StartOnFreeLoopback(*model_)) {
    if (!server_) throw std::runtime_error("no free loopback address for a simulated unit");
}

Result Unit::Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--unit", ip()});
    return Zelctl(args);
}

std::unique_ptr<ZelctlChild> Unit::Start(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--unit", ip()});
    return std::make_unique<ZelctlChild>(args);
}

SimProcess::SimProcess(const std::vector<std::string>& args, int units) {
    const std::string first = RandomLoopback();
    const std::string net = first.substr(0, first.rfind('.') + 1);
    const int host = std::stoi(first.substr(first.rfind('.') + 1));
    std::vector<std::string> argv{ZEL_UNIT_SIM_EXE};
    for (int i = 0; i < units; ++i) {
        ips_.push_back(net + std::to_string((host + i - 1) % 254 + 1));
        argv.insert(argv.end(), {"--listen", ips_.back()});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string log = TempPath("sim.log");
    child_ = Spawn(argv, {}, log, log + ".err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const auto& ip : ips_) {
        while (!Accepts(ip)) {
            if (child_->Wait(0)) throw std::runtime_error("zel-unit-sim exited: " + Slurp(log + ".err"));
            if (std::chrono::steady_clock::now() > deadline) {
                child_->RequestStop();
                child_->Wait();
                throw std::runtime_error("zel-unit-sim does not accept connections");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

SimProcess::~SimProcess() {
    child_->RequestStop();
    child_->Wait();
}

}  // namespace zelctltest
