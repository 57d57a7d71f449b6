// The reason of a failed POSIX socket call in the library's terms, from its errno value. One
// table for the POSIX platform file and for stand-ins of it (the library's fuzz target).
#pragma once

#include <cerrno>

#include "zel_api.h"

namespace zel::platform {

inline zel_error ReasonOfErrno(int error, zel_error fallback) {
    switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case ETIMEDOUT:
            return ZEL_ERR_TIMEOUT;
        case ECONNREFUSED:
            return ZEL_ERR_CONNECTION_REFUSED;
        case ECONNRESET:
        case EPIPE:
            return ZEL_ERR_PEER_CLOSED;
        case EBADF:
        case ENOTSOCK:
        case ENOTCONN:
            return ZEL_ERR_NOT_CONNECTED;
        default:
            return fallback;
    }
}

}  // namespace zel::platform
