#include "audit_log.h"

#include <cstdio>

#include "failure.h"

namespace zelctl {
namespace {

// Characters a shell takes as part of a word as they are.
bool Plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string("_@%+=:,./-").find(c) != std::string::npos;
}

bool Control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

std::string Quoted(const std::string& arg) {
    bool plain = !arg.empty(), control = false;
    for (char c : arg) {
        plain = plain && Plain(c);
        control = control || Control(c);
    }
    if (plain) return arg;
    if (!control) {
        std::string out = "'";
        for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }
    // Tabs and line breaks would split the log's fields and lines: $'...' with escapes instead.
    std::string out = "$'";
    for (char c : arg) {
        if (c == '\\' || c == '\'') {
            out += '\\';
            out += c;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (Control(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "'";
}

// The first line of a message, its tabs as spaces: one field of one line.
std::string FirstLine(const std::string& message) {
    std::string out = message.substr(0, message.find_first_of("\r\n"));
    for (char& c : out) {
        if (Control(c)) c = ' ';
    }
    return out;
}

}  // namespace

std::string QuotedArguments(const std::vector<std::string>& args) {
    std::string out;
    for (const auto& a : args) out += (out.empty() ? "" : " ") + Quoted(a);
    return out;
}

std::string AuditLine(const std::string& time, const LoggedRun& run, const std::vector<std::string>& args) {
    const std::string result = run.exit_code == 0 ? "ok" : FirstLine(run.error.empty() ? "failed" : run.error);
    return time + "\t" + FirstLine(run.unit) + "\t" + QuotedArguments(args) + "\t" + result + "\t" +
           std::to_string(run.exit_code) + "\n";
}

AuditLog::AuditLog(const std::string& path) : path_(path) {
    std::string reason;
    file_ = AppendFile::Open(path, reason);
    if (!file_) throw Failure(kExitFile, "--log: cannot write " + path + ": " + reason);
}

void AuditLog::Append(const std::string& time, const std::vector<LoggedRun>& runs,
                      const std::vector<std::string>& args) {
    for (const auto& run : runs) {
        std::string reason;
        if (!file_->Write(AuditLine(time, run, args), reason))
            throw Failure(kExitFile, "--log: cannot write " + path_ + ": " + reason);
    }
}

}  // namespace zelctl
