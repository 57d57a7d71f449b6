// EEPROM image files on Windows: whole-image load, and replacement through a flushed temporary
// file that MoveFileEx puts in place of the image in one step.
#include "zelsim/eeprom_file.h"

#include <windows.h>

#include <atomic>

#include "sys.h"

namespace zelsim {
namespace {

std::string LastErrorText() { return sys::ErrorText(static_cast<int>(::GetLastError())); }

class File {
public:
    explicit File(HANDLE h) : h_(h) {}
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    HANDLE get() const { return h_; }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    bool close() {
        if (!ok()) return true;
        const BOOL closed = ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return closed != 0;
    }

private:
    HANDLE h_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> LoadImageFile(const std::string& path, std::size_t expected_size) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::nullopt;
        throw ImageFileError("cannot open EEPROM image " + path + ": " + LastErrorText());
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw ImageFileError("EEPROM image " + path + " is not a regular file");
    }
    File file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    if (!file.ok()) throw ImageFileError("cannot open EEPROM image " + path + ": " + LastErrorText());
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        throw ImageFileError("EEPROM image " + path + " is not a regular file");
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        throw ImageFileError("cannot stat EEPROM image " + path + ": " + LastErrorText());
    }
    if (static_cast<unsigned long long>(size.QuadPart) != expected_size) {
        throw ImageFileError("EEPROM image " + path + " has " + std::to_string(size.QuadPart) + " bytes, expected " +
                             std::to_string(expected_size));
    }
    std::vector<std::uint8_t> data(expected_size);
    std::size_t got = 0;
    while (got < expected_size) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), data.data() + got, static_cast<DWORD>(expected_size - got), &n, nullptr) ||
            n == 0) {
            throw ImageFileError("cannot read EEPROM image " + path + ": " + (n == 0 ? "short file" : LastErrorText()));
        }
        got += n;
    }
    return data;
}

bool SaveImageFile(const std::string& path, const std::vector<std::uint8_t>& data, std::string* error) {
    static std::atomic<unsigned> counter{0};
    const std::string tmp = path + ".tmp." + std::to_string(::GetCurrentProcessId()) + "." + std::to_string(counter++);
    auto fail = [&](const std::string& what) {
        if (error) *error = what + " " + tmp + ": " + LastErrorText();
        ::DeleteFileA(tmp.c_str());
        return false;
    };
    {
        File file(::CreateFileA(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok()) return fail("cannot create");
        std::size_t done = 0;
        while (done < data.size()) {
            DWORD n = 0;
            if (!::WriteFile(file.get(), data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr) ||
                n == 0) {
                return fail("cannot write");
            }
            done += n;
        }
        if (!::FlushFileBuffers(file.get())) return fail("cannot sync");
        if (!file.close()) return fail("cannot close");
    }
    // A reader that has the image open without delete sharing (any C or C++ stream does) holds the
    // replacement off until it closes the file: try again for a second before giving up.
    for (int attempt = 0;; ++attempt) {
        if (::MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD code = ::GetLastError();
        if (attempt == 100 || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) break;
        ::Sleep(10);
    }
    return fail("cannot rename over " + path + " from");
}

bool CanSaveImageFile(const std::string& path, std::string* error) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        if (error) *error = path + " is read-only";
        return false;
    }
    const std::string probe = path + ".probe." + std::to_string(::GetCurrentProcessId());
    // The name carries this process's ID: no other writer shares it.
    File file(::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file.ok()) {
        if (error) *error = "cannot create " + probe + ": " + LastErrorText();
        return false;
    }
    return true;
}

JournalFile::JournalFile(const std::string& path) : path_(path), handle_(-1) {
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) throw ImageFileError("cannot open EEPROM journal " + path + ": " + LastErrorText());
    handle_ = reinterpret_cast<std::intptr_t>(h);
}

JournalFile::~JournalFile() { ::CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

std::vector<std::uint8_t> JournalFile::ReadAll() {
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    std::vector<std::uint8_t> out;
    LARGE_INTEGER zero{};
    if (!::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN))
        throw ImageFileError("cannot read EEPROM journal " + path_ + ": " + LastErrorText());
    std::uint8_t chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(h, chunk, sizeof chunk, &got, nullptr))
            throw ImageFileError("cannot read EEPROM journal " + path_ + ": " + LastErrorText());
        if (got == 0) return out;
        out.insert(out.end(), chunk, chunk + got);
    }
}

bool JournalFile::AppendSynced(const std::uint8_t* data, std::size_t n, std::string* error) {
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER zero{};
    bool ok = ::SetFilePointerEx(h, zero, nullptr, FILE_END) != 0;
    for (std::size_t done = 0; ok && done < n;) {
        DWORD wrote = 0;
        ok = ::WriteFile(h, data + done, static_cast<DWORD>(n - done), &wrote, nullptr) != 0 && wrote > 0;
        done += wrote;
    }
    if (ok) ok = ::FlushFileBuffers(h) != 0;
    if (!ok && error) *error = "cannot write " + path_ + ": " + LastErrorText();
    return ok;
}

bool JournalFile::Clear(std::string* error) {
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER zero{};
    const bool ok =
        ::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) != 0 && ::SetEndOfFile(h) != 0 && ::FlushFileBuffers(h) != 0;
    if (!ok && error) *error = "cannot empty " + path_ + ": " + LastErrorText();
    return ok;
}

}  // namespace zelsim
