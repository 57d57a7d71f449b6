// POSIX sockets, nanosleep and clock_gettime behind the platform interface.
#include "transport/platform.h"
#include "transport/socket_errno.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace zel::platform {

void NetStartup() {}

Socket OpenTcpSocket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return s < 0 ? kInvalidSocket : s;
}

int BindAny(Socket s) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

void ConfigureSocket(Socket s, int timeout_ms) {
    // A send or receive that times out leaves a POSIX socket as it was: the exchange looks for a
    // cancel after each slice and goes on waiting.
    timeout_ms = std::clamp(timeout_ms, 1, kWaitSliceMs);
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool ParseIPv4(const char* text, std::uint32_t& address_network_order) {
    in_addr a{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
    address_network_order = a.s_addr;
    return true;
}

int Connect(Socket s, std::uint32_t address_network_order, std::uint16_t port, int timeout_ms,
            const StopRequest& stop) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address_network_order;
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    int r = ::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
        // The handshake runs on; its end shows as the socket becoming writable.
        const int ready = WaitReadyUnless(s, true, timeout_ms, stop);
        if (ready == kStopped) {
            r = kStopped;
        } else if (ready == 0) {
            NoteTimeout();
            r = -1;
        } else if (ready > 0) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            errno = error;
            r = error == 0 ? 0 : -1;
        }
    }
    const int saved = errno;
    ::fcntl(s, F_SETFL, flags);
    errno = saved;
    return r;
}

int WaitReady(Socket s, bool for_write, int timeout_ms) {
    pollfd p{s, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if ((p.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return 1;
}

void NoteTimeout() { errno = ETIMEDOUT; }

long SendOnce(Socket s, const void* data, std::size_t length) {
    ssize_t r;
    do {
        r = ::send(s, data, length, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long ReceiveOnce(Socket s, void* data, std::size_t length) {
    ssize_t r;
    do {
        r = ::recv(s, data, length, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long ReceivePending(Socket s, void* data, std::size_t length) {
    return static_cast<long>(::recv(s, data, length, MSG_DONTWAIT));
}

bool LocalEndpoint(Socket s, std::uint32_t& address_network_order, std::uint16_t& port) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) != 0 || local.sin_family != AF_INET) return false;
    address_network_order = local.sin_addr.s_addr;
    port = ntohs(local.sin_port);
    return true;
}

int CloseSocket(Socket s) { return ::close(s); }

zel_error LastSocketError(zel_error fallback) { return ReasonOfErrno(errno, fallback); }

void SleepMs(unsigned milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

std::int64_t ClockSeconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::uint64_t WallClockMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000);
}

bool LocalTime(std::int64_t seconds, std::tm& out) {
    time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, &out) != nullptr;
}

SystemTime UtcSystemTime() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    ::gmtime_r(&ts.tv_sec, &tm);
    SystemTime st{};
    st.year = static_cast<std::uint16_t>(tm.tm_year + 1900);
    st.month = static_cast<std::uint16_t>(tm.tm_mon + 1);
    st.day_of_week = static_cast<std::uint16_t>(tm.tm_wday);
    st.day = static_cast<std::uint16_t>(tm.tm_mday);
    st.hour = static_cast<std::uint16_t>(tm.tm_hour);
    st.minute = static_cast<std::uint16_t>(tm.tm_min);
    st.second = static_cast<std::uint16_t>(tm.tm_sec);
    st.milliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000L);
    return st;
}

}  // namespace zel::platform
