#include "terminal.h"

#include <unistd.h>

namespace zelctl {

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace zelctl
