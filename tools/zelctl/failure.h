// Exit codes of zelctl and the failure that ends a command with one of them.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "zel_api.h"

namespace zelctl {

// Exit codes (also listed in `zelctl --help`).
enum ExitCode : int {
    kExitOk = 0,
    kExitUnit = 1,           // the unit failed, refused or did not answer
    kExitUsage = 2,          // bad arguments: option, address, channel or wavelength the unit does not have
    kExitFile = 3,           // a file cannot be read or written, or its content is malformed or does not fit
    kExitMismatch = 4,       // a restore read back values other than those written
    kExitInterrupted = 130,  // Ctrl-C stopped the command (128 + SIGINT, as shells report it)
};

// A failure that ends the command: one line on stderr, then the exit code.
class Failure : public std::runtime_error {
public:
    Failure(int exit_code, const std::string& message) : std::runtime_error(message), code_(exit_code) {}
    int code() const { return code_; }

private:
    int code_;
};

// A file that cannot be opened, read or written, named as the user gave it, with the system's reason:
// "cannot write /no/dir/x.img: No such file or directory". `error` is the errno of the failed call.
inline Failure FileFailure(const std::string& verb, const std::string& path, int error = errno) {
    return Failure(kExitFile,
                   "cannot " + verb + " " + path + (error != 0 ? std::string(": ") + std::strerror(error) : ""));
}

// The exit code for a library failure: arguments the unit cannot take are usage errors, a call
// Ctrl-C cancelled is an interrupt, the rest are the unit's.
inline int ExitCodeOf(zel_error code) {
    if (code == ZEL_ERR_CANCELLED) return kExitInterrupted;
    return code == ZEL_ERR_BAD_ADDRESS || code == ZEL_ERR_NO_SUCH_CHANNEL || code == ZEL_ERR_BAD_ARGUMENT ? kExitUsage
                                                                                                          : kExitUnit;
}

// The failure for a library failure: "<what>: <reason>" (zelctl cancels calls only on Ctrl-C).
inline Failure FailureOf(zel_error code, const std::string& what) {
    return Failure(ExitCodeOf(code),
                   what + ": " + (code == ZEL_ERR_CANCELLED ? "interrupted (Ctrl-C)" : zel_ErrorText(code)));
}

// Throws the failure for the instance's last error.
[[noreturn]] inline void FailWithLastError(zel_instance* instance, const std::string& what) {
    throw FailureOf(zel_LastError(instance), what);
}

}  // namespace zelctl
