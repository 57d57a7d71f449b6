// EEPROM image files: whole-image load and crash-safe replacement.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelsim {

// An image file that exists but cannot be read, or does not hold an image.
class ImageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the whole file. nullopt when it does not exist; throws ImageFileError
// when it exists but cannot be read or its size is not `expected_size`.
std::optional<std::vector<std::uint8_t>> LoadImageFile(const std::string& path, std::size_t expected_size);

// Replaces `path` atomically: writes a temporary file in the same directory,
// flushes and fsyncs it, then renames it over `path`. A crash at any point
// leaves either the old or the new image. Returns false (with `error` set) on failure.
bool SaveImageFile(const std::string& path, const std::vector<std::uint8_t>& data, std::string* error);

// Whether SaveImageFile could write `path`: creates and removes a scratch file next to it,
// as a save does. False (with `error` naming the file and the system's reason) when the
// directory is missing or refuses new files, or (Windows) the image is read-only.
bool CanSaveImageFile(const std::string& path, std::string* error);

// The file of EEPROM writes made since the image was last saved: each write is appended and
// synced before the unit answers it, so that an answered write survives the process dying.
class JournalFile {
public:
    // Opens `path`, creating it when missing. Throws ImageFileError when it cannot.
    explicit JournalFile(const std::string& path);
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // The whole file as it is now. Throws ImageFileError when it cannot be read.
    std::vector<std::uint8_t> ReadAll();
    // Appends `n` bytes and waits until they are on the disk. False (with `error`) on failure.
    bool AppendSynced(const std::uint8_t* data, std::size_t n, std::string* error);
    // Empties the file (the image now holds every write in it). False (with `error`) on failure.
    bool Clear(std::string* error);

private:
    std::string path_;
    std::intptr_t handle_;
};

}  // namespace zelsim
