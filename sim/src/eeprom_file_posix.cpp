// EEPROM image files on POSIX systems: whole-image load and crash-safe replacement (fsync, rename).
#include "zelsim/eeprom_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace zelsim {
namespace {

std::string Errno() { return std::strerror(errno); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> LoadImageFile(const std::string& path, std::size_t expected_size) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw ImageFileError("cannot open EEPROM image " + path + ": " + Errno());
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw ImageFileError("cannot stat EEPROM image " + path + ": " + Errno());
    if (!S_ISREG(st.st_mode)) throw ImageFileError("EEPROM image " + path + " is not a regular file");
    if (static_cast<std::size_t>(st.st_size) != expected_size) {
        throw ImageFileError("EEPROM image " + path + " has " + std::to_string(st.st_size) + " bytes, expected " +
                             std::to_string(expected_size));
    }
    std::vector<std::uint8_t> data(expected_size);
    std::size_t got = 0;
    while (got < expected_size) {
        const ssize_t n = ::read(fd.get(), data.data() + got, expected_size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw ImageFileError("cannot read EEPROM image " + path + ": " + (n == 0 ? "short file" : Errno()));
        got += static_cast<std::size_t>(n);
    }
    return data;
}

bool SaveImageFile(const std::string& path, const std::vector<std::uint8_t>& data, std::string* error) {
    static std::atomic<unsigned> counter{0};
    const std::string tmp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " " + tmp + ": " + Errno();
        ::unlink(tmp.c_str());
        return false;
    };
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) return fail("cannot create");
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd.get(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("cannot write");
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail("cannot sync");
    if (::close(fd.release()) != 0) return fail("cannot close");
    if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("cannot rename over " + path + " from");
    // Make the rename itself durable; a failure here leaves a complete image either way.
    Fd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

bool CanSaveImageFile(const std::string& path, std::string* error) {
    const std::string probe = path + ".probe." + std::to_string(::getpid());
    // The name carries this process's ID: no other writer shares it.
    Fd fd(::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        if (error) *error = "cannot create " + probe + ": " + Errno();
        return false;
    }
    ::unlink(probe.c_str());
    return true;
}

JournalFile::JournalFile(const std::string& path)
    : path_(path), handle_(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
    if (handle_ < 0) throw ImageFileError("cannot open EEPROM journal " + path + ": " + Errno());
}

JournalFile::~JournalFile() { ::close(static_cast<int>(handle_)); }

std::vector<std::uint8_t> JournalFile::ReadAll() {
    const int fd = static_cast<int>(handle_);
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ImageFileError("cannot read EEPROM journal " + path_ + ": " + Errno());
        if (n == 0) return out;
        out.insert(out.end(), chunk, chunk + n);
        at += n;
    }
}

bool JournalFile::AppendSynced(const std::uint8_t* data, std::size_t n, std::string* error) {
    const int fd = static_cast<int>(handle_);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (error) *error = "cannot write " + path_ + ": " + Errno();
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    if (::fdatasync(fd) != 0) {
        if (error) *error = "cannot sync " + path_ + ": " + Errno();
        return false;
    }
    return true;
}

bool JournalFile::Clear(std::string* error) {
    const int fd = static_cast<int>(handle_);
    if (::ftruncate(fd, 0) != 0 || ::fdatasync(fd) != 0) {
        if (error) *error = "cannot empty " + path_ + ": " + Errno();
        return false;
    }
    return true;
}

}  // namespace zelsim
