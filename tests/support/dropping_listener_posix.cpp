// The dropping listener with POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "unit_fixture.h"

namespace zeltest {

DroppingListener::DroppingListener(const std::string& ip) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(6653);
    if (::inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) return;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return;
    listener_ = static_cast<Handle>(listener);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 0) != 0) return;
    // Connect until an attempt is no longer answered: from then on the queue is full.
    for (int i = 0; i < 16 && !dropping_; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return;
        fillers_.push_back(static_cast<Handle>(fd));
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) continue;
        if (errno != EINPROGRESS) return;
        pollfd p{fd, POLLOUT, 0};
        dropping_ = ::poll(&p, 1, 200) == 0;
    }
}

DroppingListener::~DroppingListener() {
    for (Handle fd : fillers_) ::close(static_cast<int>(fd));
    if (listener_ != kNone) ::close(static_cast<int>(listener_));
}

}  // namespace zeltest
