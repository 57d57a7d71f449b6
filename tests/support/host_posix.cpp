// The test host's system services with POSIX calls.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "support/host.h"
#include "sys.h"

extern char** environ;

namespace zeltest::host {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
             const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.empty() ? "/dev/null" : err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    started_ = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.empty() ? environ : envp.data()) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (started_) pid_ = pid;
}

Child::~Child() {
    if (started_ && !code_) {
        Kill();
        Wait();
    }
}

std::optional<int> Child::Wait(int timeout_ms) {
    if (!started_ || code_) return code_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(pid_), &status, timeout_ms < 0 ? 0 : WNOHANG);
        if (r == static_cast<pid_t>(pid_)) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return code_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (timeout_ms >= 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Once the child is reaped its ID may belong to another process: nothing is sent any more.
void Child::RequestStop() {
    if (started_ && !code_) ::kill(static_cast<pid_t>(pid_), SIGTERM);
}

bool Child::Interrupt() { return started_ && !code_ && ::kill(static_cast<pid_t>(pid_), SIGINT) == 0; }

bool CanInterrupt() { return true; }

bool RunsDebianPrograms() { return true; }

long OpenDescriptors() {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    return ec ? -1 : static_cast<long>(std::distance(it, std::filesystem::directory_iterator{}));
}

void Child::Kill() {
    if (started_ && !code_) ::kill(static_cast<pid_t>(pid_), SIGKILL);
}

std::string FreshDirectory(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    return tmpl;
}

Socket Connect(const std::string& ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) return kNoSocket;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return kNoSocket;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return kNoSocket;
    }
    return fd;
}

void Close(Socket s, bool reset) {
    if (s == kNoSocket) return;
    if (reset) {
        const linger lg{1, 0};
        ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    ::close(static_cast<int>(s));
}

void SetSendTimeout(Socket s, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

long SendSome(Socket s, const std::uint8_t* data, std::size_t length) {
    return ::send(static_cast<int>(s), data, length, MSG_NOSIGNAL);
}

bool WaitReadable(Socket s, int timeout_ms) {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

long ReceiveSome(Socket s, std::uint8_t* data, std::size_t length) {
    return ::recv(static_cast<int>(s), data, length, 0);
}

std::string ErrorText(Error error) {
    switch (error) {
        case Error::kNoSuchFile:
            return zelsim::sys::ErrorText(ENOENT);
        case Error::kNotADirectory:
            return zelsim::sys::ErrorText(ENOTDIR);
        case Error::kAddressInUse:
            return zelsim::sys::ErrorText(EADDRINUSE);
    }
    return {};
}

}  // namespace zeltest::host
