// --log FILE: the audit trail of zelctl, one line per command run (per unit when a command runs on
// several), appended to a file that other zelctl processes may be appending to at the same time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "system.h"

namespace zelctl {

// The outcome of a command on one unit ("-" for a command that talks to no unit).
struct LoggedRun {
    std::string unit;
    int exit_code = 0;
    std::string error;  // the failure's message when exit_code != 0
};

// The arguments as a shell would take them back: plain words as they are, anything else quoted.
std::string QuotedArguments(const std::vector<std::string>& args);

// One line of the log, tab-separated: time, unit address, arguments, result ("ok", or the first line
// of the error), exit code.
std::string AuditLine(const std::string& time, const LoggedRun& run, const std::vector<std::string>& args);

class AuditLog {
public:
    // Opens (creating it) the log at `path` for appending. Failure(kExitFile) naming the path and the
    // system's reason when it cannot.
    explicit AuditLog(const std::string& path);
    // One line per run, each in one write; Failure(kExitFile) when one is not written whole.
    void Append(const std::string& time, const std::vector<LoggedRun>& runs, const std::vector<std::string>& args);

private:
    std::string path_;
    std::unique_ptr<AppendFile> file_;
};

}  // namespace zelctl
