#include "zelctl_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zelctltest {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.empty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

bool Accepts(const std::string& ip) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(zelsim::kUnitPort);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
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

std::string TempPath(const std::string& name) {
    char dir[] = "/tmp/zelctl-test-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
    return std::string(dir) + "/" + name;
}

ZelctlChild::ZelctlChild(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : out_(TempPath("out")), err_(out_.substr(0, out_.size() - 3) + "err") {
    std::vector<std::string> argv{ZELCTL_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = Spawn(argv, env, out_, err_);
}

ZelctlChild::~ZelctlChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        Wait();
    }
}

// Once the child is reaped its ID may belong to another process: nothing is sent any more.
void ZelctlChild::Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

Result ZelctlChild::Wait() {
    if (pid_ <= 0) return result_;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    result_.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result_.out = Slurp(out_);
    result_.err = Slurp(err_);
    return result_;
}

Result Zelctl(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return ZelctlChild(args, env).Wait();
}

Result RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const std::string out = TempPath("out"), err = out.substr(0, out.size() - 3) + "err";
    const pid_t pid = Spawn(argv, env, out, err);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
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
    pid_ = Spawn(argv, {}, log, log + ".err");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const auto& ip : ips_) {
        while (!Accepts(ip)) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error("zel-unit-sim exited: " + Slurp(log + ".err"));
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGTERM);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                throw std::runtime_error("zel-unit-sim does not accept connections");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

}  // namespace zelctltest
