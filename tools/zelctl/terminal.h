// Whether standard error is a terminal (the progress bar draws only there). One implementation
// per platform: terminal_posix.cpp, terminal_win32.cpp.
#pragma once

namespace zelctl {

bool StderrIsTerminal();

}  // namespace zelctl
