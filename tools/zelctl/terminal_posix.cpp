#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "terminal.h"

namespace zelctl {
namespace {

struct sigaction previous;

extern "C" void OnInterrupt(int) {
    const int saved = errno;
    if (!TakeInterrupt()) {
        // The default action, once this handler returns (SIGINT is blocked until then).
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
    }
    errno = saved;
}

}  // namespace

void StdoutCarriesBytes() {}  // POSIX streams carry bytes as they are

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

CommandInterrupts::CommandInterrupts() {
    zel_Cancel(nullptr);  // binds the symbol now, so that the handler never runs the dynamic linker
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &previous);
}

CommandInterrupts::~CommandInterrupts() { sigaction(SIGINT, &previous, nullptr); }

bool MoveIntoPlace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace zelctl
