// The platform layer with no operating system behind it, for the library fuzz target: sockets are
// numbers in a table, the unit's behaviour (connect result, how much of a frame a send takes,
// reply bytes and how they are chunked, errors) comes from the fuzz input, sleeping takes no time
// and the clock stands still. Calls on a socket the library never opened or already closed abort
// the run: that is a fault of the library, whatever the peer did.
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "fake_peer.h"
#include "transport/platform.h"
#include "transport/socket_errno.h"

namespace {

FuzzedDataProvider* g_data = nullptr;
std::set<zel::platform::Socket> g_open;
zel::platform::Socket g_next = 1000;

[[noreturn]] void Misuse(const char* what, zel::platform::Socket s) {
    std::fprintf(stderr, "fake platform: %s on socket %ld, which is not open\n", what, static_cast<long>(s));
    std::abort();
}

void RequireOpen(const char* what, zel::platform::Socket s) {
    if (g_open.count(s) == 0) Misuse(what, s);
}

bool HaveData() { return g_data != nullptr && g_data->remaining_bytes() > 0; }

// One of a few errno values a failing socket call leaves.
int PickErrno() {
    static const int kErrors[] = {EAGAIN, ETIMEDOUT, ECONNRESET, EPIPE, ECONNREFUSED, ENOTCONN, EIO};
    return g_data->PickValueInArray(kErrors);
}

// A call that the input says fails (about 1 in 32 while input remains).
bool Fails() { return HaveData() && g_data->ConsumeIntegralInRange<int>(0, 31) == 0; }

}  // namespace

namespace fakepeer {

void Begin(FuzzedDataProvider* data) { g_data = data; }
std::size_t OpenSockets() { return g_open.size(); }

}  // namespace fakepeer

namespace zel::platform {

void NetStartup() {}

Socket OpenTcpSocket() {
    if (Fails()) {
        errno = EMFILE;
        return kInvalidSocket;
    }
    const Socket s = g_next++;
    g_open.insert(s);
    return s;
}

int BindAny(Socket s) {
    RequireOpen("bind", s);
    if (Fails()) {
        errno = EADDRINUSE;
        return -1;
    }
    return 0;
}

void ConfigureSocket(Socket s, int timeout_ms) {
    RequireOpen("configure", s);
    if (timeout_ms <= 0) {
        std::fprintf(stderr, "fake platform: time-out of %d ms\n", timeout_ms);
        std::abort();
    }
}

bool ParseIPv4(const char* text, std::uint32_t& address_network_order) {
    in_addr a{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
    address_network_order = a.s_addr;
    return true;
}

int Connect(Socket s, std::uint32_t, std::uint16_t, int timeout_ms, const StopRequest& stop) {
    if (timeout_ms <= 0) {
        std::fprintf(stderr, "fake platform: connect time-out of %d ms\n", timeout_ms);
        std::abort();
    }
    RequireOpen("connect", s);
    if (stop.Standing()) return kStopped;
    if (HaveData() && g_data->ConsumeIntegralInRange<int>(0, 15) == 0) {
        errno = PickErrno();
        return -1;
    }
    return 0;
}

int WaitReady(Socket s, bool for_write, int timeout_ms) {
    RequireOpen("wait", s);
    if (timeout_ms < 0) {
        std::fprintf(stderr, "fake platform: wait of %d ms\n", timeout_ms);
        std::abort();
    }
    if (!HaveData()) return for_write ? 1 : 0;  // a silent unit: the wait for a reply times out
    switch (g_data->ConsumeIntegralInRange<int>(0, 31)) {
        case 0:
            errno = PickErrno();
            return -1;
        case 1:
            return 0;
        default:
            return 1;
    }
}

void NoteTimeout() { errno = ETIMEDOUT; }

long SendOnce(Socket s, const void* data, std::size_t length) {
    RequireOpen("send", s);
    if (data == nullptr && length > 0) Misuse("send of a null buffer", s);
    // Touch every byte, so that a frame reaching past its buffer shows under ASan.
    volatile unsigned char sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum = static_cast<unsigned char>(sum + static_cast<const unsigned char*>(data)[i]);
    if (!HaveData()) return static_cast<long>(length);
    switch (g_data->ConsumeIntegralInRange<int>(0, 31)) {
        case 0:
            errno = PickErrno();
            return -1;
        case 1:  // part of the frame only
            return static_cast<long>(g_data->ConsumeIntegralInRange<std::size_t>(0, length));
        default:
            return static_cast<long>(length);
    }
}

long ReceiveOnce(Socket s, void* data, std::size_t length) {
    RequireOpen("receive", s);
    if (length == 0) return 0;
    if (!HaveData()) {
        errno = EAGAIN;  // the unit is silent: the receive time-out expires
        return -1;
    }
    const int mode = g_data->ConsumeIntegralInRange<int>(0, 63);
    if (mode == 0) return 0;  // the unit closed the link
    if (mode == 1) {
        errno = PickErrno();
        return -1;
    }
    // A chunk of reply bytes: mostly all that was asked for, sometimes a piece.
    std::size_t n = mode < 48 ? length : g_data->ConsumeIntegralInRange<std::size_t>(1, length);
    n = g_data->ConsumeData(data, n);
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<long>(n);
}

long ReceivePending(Socket s, void* data, std::size_t length) {
    RequireOpen("receive pending", s);
    // Stale bytes are queued now and then (a late tail of an earlier reply).
    if (!HaveData() || length == 0 || g_data->ConsumeIntegralInRange<int>(0, 7) != 0) {
        errno = EAGAIN;
        return -1;
    }
    const std::size_t n = g_data->ConsumeData(data, g_data->ConsumeIntegralInRange<std::size_t>(1, length));
    if (n == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<long>(n);
}

bool LocalEndpoint(Socket, std::uint32_t&, std::uint16_t&) { return false; }

int CloseSocket(Socket s) {
    RequireOpen("close", s);
    g_open.erase(s);
    return 0;
}

zel_error LastSocketError(zel_error fallback) { return ReasonOfErrno(errno, fallback); }

void SleepMs(unsigned) {}

// A fixed moment (2026-03-01 12:00:00 UTC), so that runs repeat exactly.
std::int64_t ClockSeconds() { return 1772366400; }

std::uint64_t WallClockMicros() { return 1772366400000000u; }

bool LocalTime(std::int64_t seconds, std::tm& out) {
    const time_t t = static_cast<time_t>(seconds);
    return ::gmtime_r(&t, &out) != nullptr;
}

SystemTime UtcSystemTime() { return SystemTime{2026, 3, 0, 1, 12, 0, 0, 0}; }

}  // namespace zel::platform
