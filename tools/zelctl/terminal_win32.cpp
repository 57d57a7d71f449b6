#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include <atomic>

#include "terminal.h"

namespace zelctl {
namespace {

std::atomic<bool> interrupted{false};

// Ctrl-C and Ctrl-Break: the first is taken, the second passes on to the default handler, which
// ends the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    return interrupted.exchange(true) ? FALSE : TRUE;
}

}  // namespace

// A console, not a pipe or a file: GetConsoleMode succeeds only on console handles.
bool StderrIsTerminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void StdoutCarriesBytes() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

InterruptGuard::InterruptGuard() {
    interrupted = false;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptGuard::~InterruptGuard() { ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

bool Interrupted() { return interrupted.load(); }

// rename() does not replace an existing file on Windows; MoveFileEx does, in one step.
bool MoveIntoPlace(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace zelctl
