// The operating-system services of the simulator: TCP sockets, the wake-up of the accept loop,
// IPv4 address parsing and the stop request of the program. Implemented once per platform
// (sys_posix.cpp, sys_win32.cpp); the EEPROM image files have their own pair
// (eeprom_file_posix.cpp, eeprom_file_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelsim::sys {

#if defined(_WIN32)
using Socket = std::uintptr_t;
inline constexpr Socket kNoSocket = ~static_cast<Socket>(0);
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

// Prepare the socket layer (WSAStartup on Windows; nothing elsewhere). Safe to call often.
void NetStartup();

// The system's text of an error code (errno; on Windows a Win32 or Winsock code), without the
// trailing period and line break Windows gives it.
std::string ErrorText(int code);

// Parse a dotted-quad IPv4 address into the 32-bit address in host order.
bool ParseIPv4(const std::string& text, std::uint32_t& address);

// Closes a socket (no-op on kNoSocket).
void Close(Socket s);
// Close with a reset instead of an orderly close: nothing still queued is sent.
void Reset(Socket s);

// Owns one socket and closes it when it goes. Move-only: exactly one owner closes it.
class UniqueSocket {
public:
    UniqueSocket() noexcept = default;
    explicit UniqueSocket(Socket s) noexcept : s_(s) {}
    UniqueSocket(UniqueSocket&& other) noexcept : s_(other.Release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            Close();
            s_ = other.Release();
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;
    ~UniqueSocket() { Close(); }

    Socket Get() const noexcept { return s_; }
    explicit operator bool() const noexcept { return s_ != kNoSocket; }
    // Gives the socket up without closing it.
    Socket Release() noexcept {
        const Socket s = s_;
        s_ = kNoSocket;
        return s;
    }
    void Close() noexcept { sys::Close(Release()); }
    // Ends the connection with a reset, then closes: nothing still queued is sent.
    void CloseWithReset() noexcept {
        if (s_ != kNoSocket) sys::Reset(Release());
    }

private:
    Socket s_ = kNoSocket;
};

// A TCP listener on address:port (the system's largest backlog). Empty when the address
// cannot be bound; `error` (when given) then receives the system's reason.
// A second listener on an address and port already served fails.
UniqueSocket Listen(const std::string& address, std::uint16_t port, std::string* error = nullptr);
// The port a listening socket is bound to (the one the system chose for port 0); 0 when unknown.
std::uint16_t LocalPort(Socket s);

// Lets another thread interrupt WaitForConnection and WaitReadable. Closed when it goes.
struct Waker;
bool OpenWaker(Waker& waker);
void Wake(const Waker& waker);
void CloseWaker(Waker& waker);
struct Waker {
    Waker() = default;
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker() { CloseWaker(*this); }

    Socket read = kNoSocket;
    Socket write = kNoSocket;
};

enum class WaitResult { Connection, Woken, Again, Failed };
// Blocks until a connection is pending on the listener or the waker was woken.
WaitResult WaitForConnection(Socket listener, const Waker& waker);

enum class AcceptResult { Accepted, Again, BackOff };
// Takes one pending connection; `peer` receives "a.b.c.d:port". BackOff when the system is out
// of resources (try again a little later), Again when the connection vanished before it was taken.
AcceptResult Accept(Socket listener, UniqueSocket& connection, std::string& peer);

void SetNoDelay(Socket s);
// A send that cannot go out within `ms` fails (see LastSendTimedOut).
void SetSendTimeout(Socket s, int ms);

enum class Readable { Yes, TimedOut, Again, Woken, Failed };
// Waits up to `timeout_ms` (no limit when negative) for bytes (or the peer's close) on the
// socket, or for the waker. A connection's own shutdown does not wake a waiting thread on
// every system, so a server stops its connection threads through the waker.
Readable WaitReadable(Socket s, const Waker& waker, int timeout_ms);

// One receive: bytes received, 0 when the peer closed, -1 on error (interrupted calls are retried).
long Receive(Socket s, std::uint8_t* data, std::size_t length);

// Sends all bytes; false when the connection failed (never raises a signal).
bool SendAll(Socket s, const std::uint8_t* data, std::size_t length);
// Whether the last failed send of this thread failed because its send time-out expired.
bool LastSendTimedOut();

// Shut down both directions, telling the peer at once; the socket stays allocated.
void Shutdown(Socket s);
// Abort the connection with a reset but keep the socket allocated (its owner closes it later).
// Where the system cannot reset an open socket, the peer sees an orderly shutdown instead.
void Abort(Socket s);

// Stop requests of the program (SIGINT and SIGTERM; on Windows Ctrl+C, Ctrl+Break, the console's
// close, and the named event Local\zel-stop-<process ID> set by another program).
// CatchStopRequests must run before any thread starts; WaitForStopRequest blocks until one
// arrives and returns its name.
void CatchStopRequests();
std::string WaitForStopRequest();

}  // namespace zelsim::sys
