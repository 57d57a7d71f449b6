// The console: whether standard error is a terminal (the progress bar draws only there) and Ctrl-C
// (SIGINT; the console control handler on Windows); and the replace of a file by another in one
// step. One implementation per platform: terminal_posix.cpp, terminal_win32.cpp; what Ctrl-C does
// is decided in interrupt.cpp, the same on both.
#pragma once

#include <cstddef>
#include <string>

#include "zel_api.h"

namespace zelctl {

// Moves `from` onto `to`, replacing a file already there in one step; false when it cannot.
bool MoveIntoPlace(const std::string& from, const std::string& to);

bool StderrIsTerminal();

// Standard output passes bytes unchanged from here on (Windows would otherwise write each \n as \r\n).
void StdoutCarriesBytes();

// Ctrl-C for the whole run of a command (one in main). The first Ctrl-C cancels the library call in
// flight on every unit the command drives (zel_Cancel on each WatchedInstance), which then fails
// with ZEL_ERR_CANCELLED within a moment, and makes StopRequested() true, so that the command makes
// no further call and exits 130. While an InterruptGuard exists the first Ctrl-C only sets
// Interrupted(), for a transfer to stop after the record in flight; the next one cancels. One more
// Ctrl-C after the cancel ends zelctl at once (the system's default action).
class CommandInterrupts {
public:
    CommandInterrupts();
    ~CommandInterrupts();
    CommandInterrupts(const CommandInterrupts&) = delete;
    CommandInterrupts& operator=(const CommandInterrupts&) = delete;
};

// A unit instance Ctrl-C cancels while this lives (a Session's). Its end waits for a cancel that is
// running (in a signal handler, or on the console's thread) to be done with the instance.
class WatchedInstance {
public:
    explicit WatchedInstance(zel_instance* instance);
    ~WatchedInstance();
    WatchedInstance(const WatchedInstance&) = delete;
    WatchedInstance& operator=(const WatchedInstance&) = delete;

private:
    std::size_t slot_;
};

// While one exists, the first Ctrl-C sets the flag Interrupted() reports instead of cancelling, so
// that a transfer can finish the record in flight and stop.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Ctrl-C came (since the last InterruptGuard began).
bool Interrupted();
// Ctrl-C cancelled the command: it makes no further call on a unit.
bool StopRequested();

// What the platform's handler does with a Ctrl-C (interrupt.cpp; safe in a signal handler): false
// when it is to end zelctl (the default action).
bool TakeInterrupt();

}  // namespace zelctl
