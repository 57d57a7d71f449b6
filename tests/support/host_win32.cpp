// The test host's system services with Win32 calls and Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "support/host.h"
#include "sys.h"

namespace zeltest::host {
namespace {

// One argument as the C run-time of the child splits its command line back: quoted when it holds
// a blank or a quote, backslashes doubled only before a quote.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

HANDLE Inheritable(const std::string& path, bool for_write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return ::CreateFileA(path.empty() ? "NUL" : path.c_str(), for_write ? GENERIC_WRITE : GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                         for_write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Console events go only to processes attached to the sender's console: a test program started
// without one (by CTest through a pipe) makes one, which its children then share.
void EnsureConsole() {
    static const bool attached = [] { return ::GetConsoleCP() != 0 || ::AllocConsole() != 0; }();
    (void)attached;
}

SOCKET Raw(Socket s) { return static_cast<SOCKET>(s); }

std::string SystemText(DWORD code) { return zelsim::sys::ErrorText(static_cast<int>(code)); }

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
             const std::string& err) {
    EnsureConsole();
    std::string command_line;
    for (const auto& a : argv) command_line += (command_line.empty() ? "" : " ") + Quoted(a);
    std::string block;
    if (!env.empty()) {
        for (const auto& e : env) block += e + '\0';
        if (const char* root = std::getenv("SystemRoot")) block += std::string("SystemRoot=") + root + '\0';
        block += '\0';
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = Inheritable("", false);
    si.hStdOutput = Inheritable(out, true);
    si.hStdError = Inheritable(err, true);
    PROCESS_INFORMATION pi{};
    // A process group of its own: the console events sent to it reach nobody else.
    started_ = ::CreateProcessA(argv[0].c_str(), command_line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                env.empty() ? nullptr : block.data(), nullptr, &si, &pi) != 0;
    for (HANDLE h : {si.hStdInput, si.hStdOutput, si.hStdError})
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (!started_) return;
    ::CloseHandle(pi.hThread);
    pid_ = static_cast<std::intptr_t>(pi.dwProcessId);
    handle_ = reinterpret_cast<std::intptr_t>(pi.hProcess);
}

Child::~Child() {
    if (!started_) return;
    if (!code_) {
        Kill();
        Wait();
    }
    ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::optional<int> Child::Wait(int timeout_ms) {
    if (!started_ || code_) return code_;
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (::WaitForSingleObject(h, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(h, &code)) return std::nullopt;
    code_ = static_cast<int>(code);
    return code_;
}

// The simulator on Windows also takes the named event Local\zel-stop-<process ID> as a stop request,
// which needs no console; a program without that event gets Ctrl+Break.
void Child::RequestStop() {
    if (!started_ || code_) return;
    const std::wstring name = L"Local\\zel-stop-" + std::to_wstring(pid_);
    // The program makes the event when it starts catching stop requests: wait a moment for it.
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (const HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str())) {
            ::SetEvent(event);
            ::CloseHandle(event);
            return;
        }
        if (Wait(10)) return;
    }
    Interrupt();
}

bool Child::Interrupt() {
    return started_ && !code_ && ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(pid_)) != 0;
}

bool CanInterrupt() {
    EnsureConsole();
    return ::GetConsoleCP() != 0;
}

void Child::Kill() {
    if (started_ && !code_) ::TerminateProcess(reinterpret_cast<HANDLE>(handle_), 128 + 9);  // as SIGKILL reports
}

bool RunsDebianPrograms() { return false; }

// Sockets are handles among the process's others: no count of them alone.
long OpenDescriptors() { return -1; }

std::string FreshDirectory(const std::string& prefix) {
    static std::atomic<unsigned> serial{0};
    char temp[MAX_PATH + 1];
    const DWORD n = ::GetTempPathA(sizeof temp, temp);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPath: " + SystemText(::GetLastError()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = std::string(temp, n) + prefix + std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(serial++) + "-" + std::to_string(::GetTickCount());
        if (::CreateDirectoryA(dir.c_str(), nullptr)) return dir;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("CreateDirectory: " + SystemText(::GetLastError()));
}

Socket Connect(const std::string& ip, std::uint16_t port) {
    zelsim::sys::NetStartup();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) return kNoSocket;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return kNoSocket;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::closesocket(s);
        return kNoSocket;
    }
    return static_cast<Socket>(s);
}

void Close(Socket s, bool reset) {
    if (s == kNoSocket) return;
    if (reset) {
        const linger lg{1, 0};
        ::setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
    }
    ::closesocket(Raw(s));
}

void SetSendTimeout(Socket s, int ms) {
    const DWORD timeout = static_cast<DWORD>(ms);
    ::setsockopt(Raw(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

long SendSome(Socket s, const std::uint8_t* data, std::size_t length) {
    return ::send(Raw(s), reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
}

bool WaitReadable(Socket s, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Raw(s), &readable);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv) > 0;
}

long ReceiveSome(Socket s, std::uint8_t* data, std::size_t length) {
    return ::recv(Raw(s), reinterpret_cast<char*>(data), static_cast<int>(length), 0);
}

std::string ErrorText(Error error) {
    switch (error) {
        case Error::kNoSuchFile:
        case Error::kNotADirectory:  // Windows reports a plain file on the way as a missing path
            return SystemText(ERROR_PATH_NOT_FOUND);
        case Error::kAddressInUse:
            return SystemText(WSAEADDRINUSE);
    }
    return {};
}

}  // namespace zeltest::host
