#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "terminal.h"

namespace zelctl {
namespace {

// Ctrl-C and Ctrl-Break, on the console's own thread: what TakeInterrupt decides; when it is to end
// zelctl, the event passes on to the default handler, which ends the process.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    return TakeInterrupt() ? TRUE : FALSE;
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

CommandInterrupts::CommandInterrupts() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

CommandInterrupts::~CommandInterrupts() { ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

// rename() does not replace an existing file on Windows; MoveFileEx does, in one step.
bool MoveIntoPlace(const std::string& from, const std::string& to) {
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace zelctl
