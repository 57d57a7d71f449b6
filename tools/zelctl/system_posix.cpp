#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "system.h"

namespace zelctl {

struct AppendFile::Handle {
    int fd;
};

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& reason) {
    // O_APPEND: every write lands at the end of the file as it is then, whoever else writes to it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        reason = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<AppendFile>(new AppendFile(std::make_unique<Handle>(Handle{fd})));
}

AppendFile::AppendFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

AppendFile::~AppendFile() { ::close(handle_->fd); }

bool AppendFile::Write(const std::string& text, std::string& reason) {
    ssize_t written;
    do {
        written = ::write(handle_->fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(text.size())) return true;
    reason = written < 0 ? std::strerror(errno) : "only part of the line was written";
    return false;
}

std::tm UtcTime(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    return utc;
}

}  // namespace zelctl
