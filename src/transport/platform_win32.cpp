// Winsock 2, Sleep and GetSystemTime behind the platform interface.
#include "transport/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace zel::platform {

void NetStartup() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

Socket OpenTcpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(s);
}

int BindAny(Socket s) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

void ConfigureSocket(Socket s, int timeout_ms) {
    DWORD ms = static_cast<DWORD>(timeout_ms);
    ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    BOOL one = TRUE;
    ::setsockopt(static_cast<SOCKET>(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

bool ParseIPv4(const char* text, std::uint32_t& address_network_order) {
    IN_ADDR a{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
    address_network_order = a.S_un.S_addr;
    return true;
}

int Connect(Socket s, std::uint32_t address_network_order, std::uint16_t port, int timeout_ms) {
    const SOCKET sock = static_cast<SOCKET>(s);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address_network_order;
    u_long non_blocking = 1;
    if (::ioctlsocket(sock, FIONBIO, &non_blocking) != 0) return -1;
    int r = ::connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (r != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        // Winsock reports the end of the handshake as writable (success) or as an exception (failure).
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(sock, &writable);
        FD_SET(sock, &failed);
        timeval tv{};
        const int ms = timeout_ms < 0 ? 0 : timeout_ms;
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
        const int ready = ::select(0, nullptr, &writable, &failed, &tv);
        if (ready == 0) {
            NoteTimeout();
        } else if (ready > 0) {
            int error = 0;
            int len = sizeof error;
            if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
                error = ::WSAGetLastError();
            if (error == 0 && FD_ISSET(sock, &writable))
                r = 0;
            else
                ::WSASetLastError(error != 0 ? error : WSAECONNREFUSED);
        }
    }
    const int saved = ::WSAGetLastError();
    u_long blocking = 0;
    ::ioctlsocket(sock, FIONBIO, &blocking);
    ::WSASetLastError(saved);
    return r;
}

int WaitReady(Socket s, bool for_write, int timeout_ms) {
    const SOCKET sock = static_cast<SOCKET>(s);
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock, &set);
    timeval tv{};
    const int ms = timeout_ms < 0 ? 0 : timeout_ms;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    const int r = for_write ? ::select(0, nullptr, &set, nullptr, &tv) : ::select(0, &set, nullptr, nullptr, &tv);
    if (r == SOCKET_ERROR) return -1;
    return r == 0 ? 0 : 1;
}

void NoteTimeout() { ::WSASetLastError(WSAETIMEDOUT); }

long SendOnce(Socket s, const void* data, std::size_t length) {
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(data), static_cast<int>(length), 0);
}

long ReceiveOnce(Socket s, void* data, std::size_t length) {
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(data), static_cast<int>(length), 0);
}

long ReceivePending(Socket s, void* data, std::size_t length) {
    u_long queued = 0;
    if (::ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &queued) != 0 || queued == 0) return -1;
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(data), static_cast<int>(length), 0);
}

int CloseSocket(Socket s) { return ::closesocket(static_cast<SOCKET>(s)); }

zel_error LastSocketError(zel_error fallback) {
    switch (::WSAGetLastError()) {
        case WSAETIMEDOUT:
        case WSAEWOULDBLOCK:
            return ZEL_ERR_TIMEOUT;
        case WSAECONNREFUSED:
            return ZEL_ERR_CONNECTION_REFUSED;
        case WSAECONNRESET:
        case WSAECONNABORTED:
            return ZEL_ERR_PEER_CLOSED;
        case WSAENOTSOCK:
        case WSAENOTCONN:
            return ZEL_ERR_NOT_CONNECTED;
        default:
            return fallback;
    }
}

void SleepMs(unsigned milliseconds) { ::Sleep(milliseconds); }

std::int64_t ClockSeconds() { return static_cast<std::int64_t>(::_time64(nullptr)); }

bool LocalTime(std::int64_t seconds, std::tm& out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    return ::_localtime64_s(&out, &t) == 0;
}

SystemTime UtcSystemTime() {
    SYSTEMTIME st;
    ::GetSystemTime(&st);
    return SystemTime{st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace zel::platform
