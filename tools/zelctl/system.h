// What zelctl asks of the operating system beyond the terminal (terminal.h): files appended to by
// several writers at once, and the calendar time in UTC. One implementation per platform:
// system_posix.cpp, system_win32.cpp.
#pragma once

#include <ctime>
#include <memory>
#include <string>

namespace zelctl {

// A file opened for appending, shared with other writers (threads, processes): each Write goes to
// the end of the file in one system call, so that lines of different writers never interleave.
class AppendFile {
public:
    // Opens `path`, creating it when missing; null with the system's reason in `reason` when it cannot.
    static std::unique_ptr<AppendFile> Open(const std::string& path, std::string& reason);
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    // False, with the system's reason, when `text` did not go out whole.
    bool Write(const std::string& text, std::string& reason);

private:
    struct Handle;
    explicit AppendFile(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

// `t` as the calendar time in UTC.
std::tm UtcTime(std::time_t t);

}  // namespace zelctl
