#include <windows.h>

#include <ctime>

#include "system.h"

namespace zelctl {
namespace {

std::string LastErrorText() {
    char* text = nullptr;
    const DWORD n =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, ::GetLastError(), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text != nullptr ? std::string(text, n) : "unknown error";
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

}  // namespace

struct AppendFile::Handle {
    HANDLE file;
};

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, std::string& reason) {
    // Append access only: the system puts each write at the end of the file, whoever else writes to it.
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = LastErrorText();
        return nullptr;
    }
    return std::unique_ptr<AppendFile>(new AppendFile(std::make_unique<Handle>(Handle{file})));
}

AppendFile::AppendFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

AppendFile::~AppendFile() { ::CloseHandle(handle_->file); }

bool AppendFile::Write(const std::string& text, std::string& reason) {
    DWORD written = 0;
    if (::WriteFile(handle_->file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) == 0) {
        reason = LastErrorText();
        return false;
    }
    if (written == text.size()) return true;
    reason = "only part of the line was written";
    return false;
}

std::tm UtcTime(std::time_t t) {
    std::tm utc{};
    gmtime_s(&utc, &t);
    return utc;
}

}  // namespace zelctl
