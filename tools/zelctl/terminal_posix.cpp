#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "terminal.h"

namespace zelctl {
namespace {

volatile std::sig_atomic_t interrupted = 0;
struct sigaction previous;

extern "C" void OnInterrupt(int) { interrupted = 1; }

}  // namespace

void StdoutCarriesBytes() {}  // POSIX streams carry bytes as they are

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

InterruptGuard::InterruptGuard() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the second Ctrl-C meets the default action and ends the process.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, &previous);
}

InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &previous, nullptr); }

bool Interrupted() { return interrupted != 0; }

bool MoveIntoPlace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace zelctl
