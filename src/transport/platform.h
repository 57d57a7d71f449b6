// The few operating-system services the library needs: TCP sockets, sleeping and the clock.
// Everything below is implemented once per platform (platform_posix.cpp, platform_win32.cpp);
// no other file of the library touches a socket call, Sleep or the system time directly.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "zel_api.h"

namespace zel::platform {

#if defined(_WIN32)
using Socket = std::uintptr_t;
inline constexpr Socket kInvalidSocket = ~static_cast<Socket>(0);
#else
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
#endif

// Waits longer than this are made of slices of at most this long, so that a stop request (the
// host cancelling the call) is seen within one slice. SendOnce and ReceiveOnce wait no longer
// either.
inline constexpr int kWaitSliceMs = 50;

// A request to end a wait early, looked at before each slice: it stands while `flags & mask` is
// not 0. The flags may be set from any thread or from a signal handler.
struct StopRequest {
    const std::atomic<std::uint8_t>* flags = nullptr;
    std::uint8_t mask = 0;
    bool Standing() const { return flags != nullptr && (flags->load(std::memory_order_relaxed) & mask) != 0; }
};
static_assert(std::atomic<std::uint8_t>::is_always_lock_free, "a stop request is set from signal handlers");

// What a wait returns when a stop request ended it.
inline constexpr int kStopped = -2;

// Prepare the socket layer (WSAStartup on Windows; nothing elsewhere). Safe to call often.
void NetStartup();

// socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); kInvalidSocket on failure.
Socket OpenTcpSocket();

// Bind to the wildcard address and an ephemeral port. Returns the raw call result (0 = success).
int BindAny(Socket s);

// TCP_NODELAY on, and the socket's own send and receive time-outs: `timeout_ms` at most, and
// never longer than one slice (kWaitSliceMs) where the system lets a timed-out call leave the
// socket usable (POSIX); elsewhere SendOnce and ReceiveOnce wait for the socket first.
void ConfigureSocket(Socket s, int timeout_ms);

// Parse a dotted-quad IPv4 address. False for anything else.
bool ParseIPv4(const char* text, std::uint32_t& address_network_order);

// connect() to address:port, given up after `timeout_ms` (the socket is switched to non-blocking
// for the attempt and back to blocking after it). 0 on success; kStopped when `stop` ended the
// wait for the handshake; -1 otherwise, with the reason (the time-out included) left for
// LastSocketError.
int Connect(Socket s, std::uint32_t address_network_order, std::uint16_t port, int timeout_ms,
            const StopRequest& stop = {});

// Wait until the socket can be read (for_write false) or written (for_write true), at most
// `timeout_ms`. 1 when it can, 0 on time-out, -1 on error (reason for LastSocketError). A peer
// that closed or reset the link counts as readable: the receive then tells which.
int WaitReady(Socket s, bool for_write, int timeout_ms);

// WaitReady in slices of at most kWaitSliceMs: 1, 0 or -1 as WaitReady; kStopped when `stop`
// stands before the first slice or between two.
inline int WaitReadyUnless(Socket s, bool for_write, int timeout_ms, const StopRequest& stop) {
    for (int left = timeout_ms;;) {
        if (stop.Standing()) return kStopped;
        const int slice = std::min(left, kWaitSliceMs);
        const int r = WaitReady(s, for_write, slice);
        if (r != 0 || slice >= left) return r;
        left -= slice;
    }
}

// Marks the calling thread's last socket failure as a time-out (for the waits above).
void NoteTimeout();

// One send call, waiting at most one slice for room; never raises SIGPIPE. Returns bytes sent or
// -1 (LastSocketError ZEL_ERR_TIMEOUT when the slice passed without room).
long SendOnce(Socket s, const void* data, std::size_t length);

// One receive call, waiting at most one slice for bytes. Returns bytes received, 0 when the peer
// closed, -1 on error or when the slice passed (LastSocketError ZEL_ERR_TIMEOUT).
long ReceiveOnce(Socket s, void* data, std::size_t length);

// Receive without waiting: bytes already queued, 0 when the peer closed, -1 when nothing is queued.
long ReceivePending(Socket s, void* data, std::size_t length);

// The local address (network byte order) and port (host order) of a connected socket; false when
// the system does not tell them.
bool LocalEndpoint(Socket s, std::uint32_t& address_network_order, std::uint16_t& port);

// Close the socket. Returns the raw call result (0 = success).
int CloseSocket(Socket s);

// The reason of the last failed socket call on this thread, in the library's terms.
zel_error LastSocketError(zel_error fallback);

// Sleep the calling thread.
void SleepMs(unsigned milliseconds);

// Seconds since 1970 (the 64-bit clock).
std::int64_t ClockSeconds();

// Microseconds since 1970, UTC (time stamps of captured frames).
std::uint64_t WallClockMicros();

// Local broken-down time of a clock reading; false when it cannot be represented.
bool LocalTime(std::int64_t seconds, std::tm& out);

// UTC system time of day, as Windows' SYSTEMTIME gives it.
struct SystemTime {
    std::uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
};
SystemTime UtcSystemTime();

}  // namespace zel::platform
