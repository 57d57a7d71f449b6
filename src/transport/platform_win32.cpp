// Winsock 2, the pauses (a high-resolution waitable timer, else Sleep at a 1 ms timer period) and
// GetSystemTime behind the platform interface.
#include "transport/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>

#include "transport/platform_win32.h"

// Windows 10 1803's flag; older MinGW-w64 headers lack it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

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

int Connect(Socket s, std::uint32_t address_network_order, std::uint16_t port, int timeout_ms,
            const StopRequest& stop) {
    const SOCKET sock = static_cast<SOCKET>(s);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address_network_order;
    u_long non_blocking = 1;
    if (::ioctlsocket(sock, FIONBIO, &non_blocking) != 0) return -1;
    int r = ::connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (r != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        // Winsock reports the end of the handshake as writable (success) or as an exception
        // (failure); the wait goes in slices, so that a stop request is seen between them.
        fd_set writable;
        fd_set failed;
        int ready = 0;
        for (int left = timeout_ms < 0 ? 0 : timeout_ms;;) {
            if (stop.Standing()) {
                ready = kStopped;
                break;
            }
            const int ms = left < kWaitSliceMs ? left : kWaitSliceMs;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval tv{};
            tv.tv_sec = ms / 1000;
            tv.tv_usec = (ms % 1000) * 1000;
            ready = ::select(0, nullptr, &writable, &failed, &tv);
            if (ready != 0 || ms >= left) break;
            left -= ms;
        }
        if (ready == kStopped) {
            r = kStopped;
        } else if (ready == 0) {
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

// A timed-out send or receive leaves a Winsock socket in no defined state, so the socket keeps the
// link's whole time-out and the slice is waited for here, before the call.
long SendOnce(Socket s, const void* data, std::size_t length) {
    if (WaitReady(s, true, kWaitSliceMs) == 0) {
        NoteTimeout();
        return -1;
    }
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(data), static_cast<int>(length), 0);
}

long ReceiveOnce(Socket s, void* data, std::size_t length) {
    if (WaitReady(s, false, kWaitSliceMs) == 0) {
        NoteTimeout();
        return -1;
    }
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(data), static_cast<int>(length), 0);
}

long ReceivePending(Socket s, void* data, std::size_t length) {
    const auto sock = static_cast<SOCKET>(s);
    u_long queued = 0;
    if (::ioctlsocket(sock, FIONREAD, &queued) != 0) return -1;
    if (queued == 0) {
        // Nothing queued, yet readable: the peer closed the link (recv then gives 0) or reset it.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(sock, &readable);
        timeval now{0, 0};
        if (::select(0, &readable, nullptr, nullptr, &now) != 1) return -1;
    }
    return ::recv(sock, static_cast<char*>(data), static_cast<int>(length), 0);
}

bool LocalEndpoint(Socket s, std::uint32_t& address_network_order, std::uint16_t& port) {
    sockaddr_in local{};
    int size = sizeof local;
    if (::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET)
        return false;
    address_network_order = local.sin_addr.s_addr;
    port = ntohs(local.sin_port);
    return true;
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

namespace win32 {
namespace {

std::int64_t CounterNow() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::int64_t CounterFrequency() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

// `ticks` of the performance counter in `unit`ths of a second, rounded up.
std::int64_t TicksIn(std::int64_t ticks, std::int64_t unit) {
    const std::int64_t f = CounterFrequency();
    return ticks / f * unit + (ticks % f * unit + f - 1) / f;
}

// Sleep until the counter passes `end`; Sleep rounds to the timer period, so it may wake early.
void SleepUntil(std::int64_t end) {
    for (std::int64_t left = end - CounterNow(); left > 0; left = end - CounterNow())
        ::Sleep(static_cast<DWORD>(TicksIn(left, 1000)));
}

bool WaitOnHighResolutionTimer(std::int64_t end) {
    const HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                                  TIMER_MODIFY_STATE | SYNCHRONIZE);
    if (timer == nullptr) return false;
    // A timer may fire a little before its due time: wait again for what is left.
    for (std::int64_t left = end - CounterNow(); left > 0; left = end - CounterNow()) {
        LARGE_INTEGER due;
        due.QuadPart = -TicksIn(left, 10000000);  // relative, in 100 ns units
        if (!::SetWaitableTimerEx(timer, &due, 0, nullptr, nullptr, nullptr, 0) ||
            ::WaitForSingleObject(timer, INFINITE) != WAIT_OBJECT_0) {
            SleepUntil(end);  // the pause has begun: end it at least on time
            break;
        }
    }
    ::CloseHandle(timer);
    return true;
}

// winmm's timeBeginPeriod and timeEndPeriod, loaded from the system folder by the first pause that
// needs them, so that the DLL imports winmm only where the high-resolution timer is missing.
struct TimerPeriod {
    using Call = UINT(WINAPI*)(UINT);
    Call begin = nullptr;
    Call end = nullptr;
};

const TimerPeriod& Winmm() {
    static const TimerPeriod period = [] {
        TimerPeriod p;
        const HMODULE winmm = ::LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (winmm == nullptr) return p;
        // Through a generic function pointer: GetProcAddress's FARPROC fits no signature.
        p.begin = reinterpret_cast<TimerPeriod::Call>(
            reinterpret_cast<void (*)()>(::GetProcAddress(winmm, "timeBeginPeriod")));
        p.end =
            reinterpret_cast<TimerPeriod::Call>(reinterpret_cast<void (*)()>(::GetProcAddress(winmm, "timeEndPeriod")));
        if (p.begin == nullptr || p.end == nullptr) p = TimerPeriod{};
        return p;
    }();
    return period;
}

}  // namespace

bool PauseWith(PauseTimer timer, unsigned milliseconds) {
    const std::int64_t f = CounterFrequency();
    const std::int64_t end = CounterNow() + milliseconds / 1000 * f + (milliseconds % 1000 * f + 999) / 1000;
    switch (timer) {
        case PauseTimer::kHighResolution:
            return WaitOnHighResolutionTimer(end);
        case PauseTimer::kOneMillisecondPeriod: {
            const TimerPeriod& period = Winmm();
            if (period.begin == nullptr || period.begin(1) != 0) return false;  // 0: TIMERR_NOERROR
            SleepUntil(end);
            period.end(1);
            return true;
        }
        case PauseTimer::kSchedulerTick:
            SleepUntil(end);
            return true;
    }
    return false;
}

}  // namespace win32

// Sleep(10) alone lasts until the next scheduler tick, 15.6 ms unless some process asked for a finer
// timer: every settling pause would cost half as much again as the unit needs.
void SleepMs(unsigned milliseconds) {
    if (milliseconds == 0) return;
    static std::atomic<bool> high_resolution{true};  // until this system refuses the timer once
    if (high_resolution.load(std::memory_order_relaxed)) {
        if (win32::PauseWith(win32::PauseTimer::kHighResolution, milliseconds)) return;
        high_resolution.store(false, std::memory_order_relaxed);
    }
    if (!win32::PauseWith(win32::PauseTimer::kOneMillisecondPeriod, milliseconds))
        win32::PauseWith(win32::PauseTimer::kSchedulerTick, milliseconds);
}

std::int64_t ClockSeconds() { return static_cast<std::int64_t>(::_time64(nullptr)); }

std::uint64_t WallClockMicros() {
    FILETIME ft;
    ::GetSystemTimePreciseAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;  // 100 ns ticks from 1601 to 1970
    return (ticks - kTicksTo1970) / 10;
}

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
