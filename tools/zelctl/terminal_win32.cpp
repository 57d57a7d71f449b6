#include "terminal.h"

#include <windows.h>

namespace zelctl {

// A console, not a pipe or a file: GetConsoleMode succeeds only on console handles.
bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace zelctl
