// POSIX sockets, a pipe to wake the accept loop, and sigwait for the stop signals.
#include "sys.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelsim::sys {

void NetStartup() {}

std::string ErrorText(int code) { return std::strerror(code); }

bool ParseIPv4(const std::string& text, std::uint32_t& address) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

UniqueSocket Listen(const std::string& address, std::uint16_t port, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return UniqueSocket{};
    };
    std::uint32_t host_order = 0;
    if (!ParseIPv4(address, host_order)) return fail("not an IPv4 address");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(host_order);
    UniqueSocket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener) return fail(std::strerror(errno));
    const int fd = listener.Get();
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, SOMAXCONN) != 0)
        return fail(std::strerror(errno));
    return listener;
}

std::uint16_t LocalPort(Socket s) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}

bool OpenWaker(Waker& waker) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    waker.read = fds[0];
    waker.write = fds[1];
    return true;
}

void Wake(const Waker& waker) {
    const char byte = 'x';
    while (::write(waker.write, &byte, 1) < 0 && errno == EINTR) {}
}

void CloseWaker(Waker& waker) {
    if (waker.read >= 0) ::close(waker.read);
    if (waker.write >= 0) ::close(waker.write);
    waker.read = waker.write = kNoSocket;
}

WaitResult WaitForConnection(Socket listener, const Waker& waker) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {waker.read, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) return errno == EINTR ? WaitResult::Again : WaitResult::Failed;
    if (fds[1].revents != 0) return WaitResult::Woken;
    return (fds[0].revents & POLLIN) != 0 ? WaitResult::Connection : WaitResult::Again;
}

AcceptResult Accept(Socket listener, UniqueSocket& connection, std::string& peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors or a connection reset before we took it.
        return errno == EINTR || errno == ECONNABORTED ? AcceptResult::Again : AcceptResult::BackOff;
    }
    connection = UniqueSocket(fd);
    char buf[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sa.sin_addr, buf, sizeof buf);
    peer = std::string(buf) + ":" + std::to_string(ntohs(sa.sin_port));
    return AcceptResult::Accepted;
}

void SetNoDelay(Socket s) {
    const int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetSendTimeout(Socket s, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Readable WaitReadable(Socket s, const Waker& waker, int timeout_ms) {
    pollfd fds[2] = {{s, POLLIN, 0}, {waker.read, POLLIN, 0}};
    const int r = ::poll(fds, 2, timeout_ms < 0 ? -1 : timeout_ms);
    if (r < 0) return errno == EINTR ? Readable::Again : Readable::Failed;
    if (r == 0) return Readable::TimedOut;
    return fds[1].revents != 0 ? Readable::Woken : Readable::Yes;
}

long Receive(Socket s, std::uint8_t* data, std::size_t length) {
    for (;;) {
        const ssize_t n = ::recv(s, data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

bool SendAll(Socket s, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(s, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool LastSendTimedOut() { return errno == EAGAIN || errno == EWOULDBLOCK; }

void Shutdown(Socket s) { ::shutdown(s, SHUT_RDWR); }

void Close(Socket s) {
    if (s >= 0) ::close(s);
}

void Reset(Socket s) {
    const linger abort{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close(s);
}

void Abort(Socket s) {
    // Disconnecting a TCP socket with a zero linger time sends a reset, not an orderly close.
    const linger abort{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(s, &unspecified, sizeof unspecified);
}

namespace {
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

void CatchStopRequests() {
    // Blocked in every thread started afterwards, so only sigwait below sees them.
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string WaitForStopRequest() {
    const sigset_t set = StopSignals();
    int sig = 0;
    sigwait(&set, &sig);
    return "signal " + std::to_string(sig);
}

}  // namespace zelsim::sys
