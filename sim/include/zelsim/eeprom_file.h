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

}  // namespace zelsim
