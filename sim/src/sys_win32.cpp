// Winsock 2, a self-addressed UDP socket to wake the accept loop, and a console control handler
// and a named event (Local\zel-stop-<process ID>) for the stop requests.
#include "sys.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace zelsim::sys {

namespace {

SOCKET Raw(Socket s) { return static_cast<SOCKET>(s); }

}  // namespace

void NetStartup() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

std::string ErrorText(int code) {
    char* text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

bool ParseIPv4(const std::string& text, std::uint32_t& address) {
    IN_ADDR a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.S_un.S_addr);
    return true;
}

UniqueSocket Listen(const std::string& address, std::uint16_t port, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return UniqueSocket{};
    };
    NetStartup();
    std::uint32_t host_order = 0;
    if (!ParseIPv4(address, host_order)) return fail("not an IPv4 address");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(host_order);
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail(ErrorText(::WSAGetLastError()));
    UniqueSocket listener(static_cast<Socket>(s));
    // No SO_REUSEADDR: on Windows it would let a second listener take over an address in use.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, SOMAXCONN) != 0)
        return fail(ErrorText(::WSAGetLastError()));
    return listener;
}

std::uint16_t LocalPort(Socket s) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool OpenWaker(Waker& waker) {
    NetStartup();
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof sa;
    if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        ::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::closesocket(s);
        return false;
    }
    waker.read = waker.write = static_cast<Socket>(s);
    return true;
}

void Wake(const Waker& waker) {
    const char byte = 'x';
    ::send(Raw(waker.write), &byte, 1, 0);
}

void CloseWaker(Waker& waker) {
    if (waker.read != kNoSocket) ::closesocket(Raw(waker.read));
    waker.read = waker.write = kNoSocket;
}

WaitResult WaitForConnection(Socket listener, const Waker& waker) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Raw(listener), &readable);
    FD_SET(Raw(waker.read), &readable);
    if (::select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
        return ::WSAGetLastError() == WSAEINTR ? WaitResult::Again : WaitResult::Failed;
    }
    if (FD_ISSET(Raw(waker.read), &readable)) return WaitResult::Woken;
    return FD_ISSET(Raw(listener), &readable) ? WaitResult::Connection : WaitResult::Again;
}

AcceptResult Accept(Socket listener, UniqueSocket& connection, std::string& peer) {
    sockaddr_in sa{};
    int len = sizeof sa;
    const SOCKET s = ::accept(Raw(listener), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        return error == WSAEINTR || error == WSAECONNRESET ? AcceptResult::Again : AcceptResult::BackOff;
    }
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    connection = UniqueSocket(static_cast<Socket>(s));
    char buf[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    peer = std::string(buf) + ":" + std::to_string(ntohs(sa.sin_port));
    return AcceptResult::Accepted;
}

void SetNoDelay(Socket s) {
    const BOOL one = TRUE;
    ::setsockopt(Raw(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void SetSendTimeout(Socket s, int ms) {
    const DWORD timeout = static_cast<DWORD>(ms);
    ::setsockopt(Raw(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

Readable WaitReadable(Socket s, const Waker& waker, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Raw(s), &readable);
    FD_SET(Raw(waker.read), &readable);
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int r = ::select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (r == SOCKET_ERROR) return ::WSAGetLastError() == WSAEINTR ? Readable::Again : Readable::Failed;
    if (r == 0) return Readable::TimedOut;
    return FD_ISSET(Raw(waker.read), &readable) ? Readable::Woken : Readable::Yes;
}

long Receive(Socket s, std::uint8_t* data, std::size_t length) {
    for (;;) {
        const int n = ::recv(Raw(s), reinterpret_cast<char*>(data), static_cast<int>(length), 0);
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEINTR) continue;
        return n;
    }
}

bool SendAll(Socket s, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const int n = ::send(Raw(s), reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool LastSendTimedOut() {
    const int error = ::WSAGetLastError();
    return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
}

void Shutdown(Socket s) { ::shutdown(Raw(s), SD_BOTH); }

void Close(Socket s) {
    if (s != kNoSocket) ::closesocket(Raw(s));
}

void Reset(Socket s) {
    const linger abort{1, 0};
    ::setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    Close(s);
}

void Abort(Socket s) {
    // Winsock resets a connection only when its socket is closed; the owner closes it later.
    const linger abort{1, 0};
    ::setsockopt(Raw(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
    Shutdown(s);
}

namespace {

HANDLE stop_event = nullptr;
HANDLE named_stop_event = nullptr;
volatile LONG stop_kind = -1;

BOOL WINAPI OnConsoleControl(DWORD kind) {
    ::InterlockedCompareExchange(&stop_kind, static_cast<LONG>(kind), -1);
    ::SetEvent(stop_event);
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
        // Windows ends the process when this handler returns: give main time to save the images.
        ::Sleep(5000);
    }
    return TRUE;
}

}  // namespace

void CatchStopRequests() {
    stop_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Windows has no SIGTERM, and a program without a console gets no console events: a launcher
    // (a test station's, a service wrapper) asks for a clean stop by setting this event instead.
    const std::wstring name = L"Local\\zel-stop-" + std::to_wstring(::GetCurrentProcessId());
    named_stop_event = ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

std::string WaitForStopRequest() {
    const HANDLE events[] = {stop_event, named_stop_event};
    const DWORD woken = ::WaitForMultipleObjects(named_stop_event != nullptr ? 2 : 1, events, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) return "stop event";
    switch (stop_kind) {
        case CTRL_C_EVENT:
            return "Ctrl+C";
        case CTRL_BREAK_EVENT:
            return "Ctrl+Break";
        case CTRL_CLOSE_EVENT:
            return "console closed";
        default:
            return "console event " + std::to_string(stop_kind);
    }
}

}  // namespace zelsim::sys
