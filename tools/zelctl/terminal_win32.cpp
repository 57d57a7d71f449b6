#include <windows.h>

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

InterruptGuard::InterruptGuard() {
  interrupted = false;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

InterruptGuard::~InterruptGuard() { ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

bool Interrupted() { return interrupted.load(); }

}  // namespace zelctl
