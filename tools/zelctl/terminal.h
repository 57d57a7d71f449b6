// The console: whether standard error is a terminal (the progress bar draws only there) and Ctrl-C
// during transfers; and the replace of a file by another in one step. One implementation per
// platform: terminal_posix.cpp, terminal_win32.cpp.
#pragma once

#include <string>

namespace zelctl {

// Moves `from` onto `to`, replacing a file already there in one step; false when it cannot.
bool MoveIntoPlace(const std::string& from, const std::string& to);

bool StderrIsTerminal();

// Standard output passes bytes unchanged from here on (Windows would otherwise write each \n as \r\n).
void StdoutCarriesBytes();

// While one exists, Ctrl-C does not end zelctl but sets the flag Interrupted() reports, so that a
// transfer can finish the record in flight and stop; a second Ctrl-C ends zelctl at once.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

bool Interrupted();

}  // namespace zelctl
