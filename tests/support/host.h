// What the suites that run programs and talk TCP need of the test host's system, once per
// platform (host_posix.cpp, host_win32.cpp): child processes and their stop requests, fresh
// directories, a TCP client socket, and the system's texts of the errors the programs report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zeltest::host {

// A program running as a child process: standard input reads nothing, standard output and error
// go to files. Killed and reaped at destruction unless it ended before.
class Child {
public:
    // argv[0] is the program's path. `env` entries ("NAME=value") replace the environment when
    // given (on Windows the system's own SystemRoot stays: Winsock needs it). Empty `out` or `err`:
    // that stream is discarded.
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
          const std::string& err);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return started_; }
    // The exit code once the program ended (128 + the signal that ended a POSIX program), nothing
    // while it still runs after `timeout_ms` (no limit when negative).
    std::optional<int> Wait(int timeout_ms = -1);
    // The system's stop request: SIGTERM; on Windows the named event Local\zel-stop-<process ID>
    // that the simulator catches, else Ctrl+Break.
    void RequestStop();
    // A user's Ctrl+C: SIGINT; on Windows Ctrl+Break, the console event a process can send to
    // another. False when it cannot be sent (see CanInterrupt).
    bool Interrupt();
    void Kill();

private:
    bool started_ = false;
    std::intptr_t pid_ = -1;                      // the process ID
    [[maybe_unused]] std::intptr_t handle_ = -1;  // the process handle on Windows (POSIX keeps none)
    std::optional<int> code_;
};

// Whether Child::Interrupt can reach a child: not on Windows when this program has no console and
// can make none (wine started by CTest), since console events travel only within a console.
bool CanInterrupt();

// Whether the build machine's Debian programs (/usr/bin/python3) run here and read this program's
// paths: not for a Windows program.
bool RunsDebianPrograms();

// The number of file descriptors this process holds open; -1 where there is no such count.
long OpenDescriptors();

// A new empty directory under the system's folder for temporary files; its name starts with `prefix`.
std::string FreshDirectory(const std::string& prefix);

// A blocking TCP client socket; kNoSocket when the connection fails.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;
Socket Connect(const std::string& ip, std::uint16_t port);
// An orderly close, or (reset) one that throws away what is queued and resets the connection.
void Close(Socket s, bool reset = false);
void SetSendTimeout(Socket s, int ms);
// One send (never raises a signal): bytes sent, or -1.
long SendSome(Socket s, const std::uint8_t* data, std::size_t length);
// Whether bytes or the peer's close arrive within `timeout_ms`.
bool WaitReadable(Socket s, int timeout_ms);
// One receive: bytes received, 0 when the peer closed, -1 on error.
long ReceiveSome(Socket s, std::uint8_t* data, std::size_t length);

// The system's text of an error, as the programs under test print it.
enum class Error {
    kNoSuchFile,     // a path through a missing directory
    kNotADirectory,  // a path through a plain file
    kAddressInUse,   // a second listener on an address and port
};
std::string ErrorText(Error error);

}  // namespace zeltest::host
