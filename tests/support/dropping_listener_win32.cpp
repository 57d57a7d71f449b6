// The dropping listener with Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "unit_fixture.h"

namespace zeltest {

DroppingListener::DroppingListener(const std::string& ip) {
    WSADATA wsa;
    ::WSAStartup(MAKEWORD(2, 2), &wsa);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(6653);
    if (::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) return;
    const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return;
    listener_ = static_cast<Handle>(listener);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 0) != 0) return;
    // Connect until an attempt is no longer answered: from then on the queue is full.
    for (int i = 0; i < 16 && !dropping_; ++i) {
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return;
        fillers_.push_back(static_cast<Handle>(s));
        u_long non_blocking = 1;
        ::ioctlsocket(s, FIONBIO, &non_blocking);
        if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) continue;
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        fd_set failed = writable;
        timeval wait{0, 200000};
        dropping_ = ::select(0, nullptr, &writable, &failed, &wait) == 0;
    }
}

DroppingListener::~DroppingListener() {
    for (Handle s : fillers_) ::closesocket(static_cast<SOCKET>(s));
    if (listener_ != kNone) ::closesocket(static_cast<SOCKET>(listener_));
}

}  // namespace zeltest
