// EEPROM image files: whole-image load and crash-safe replacement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelsim {

// Reads the whole file. nullopt when it does not exist; throws std::runtime_error
// when it exists but cannot be read or its size is not `expected_size`.
std::optional<std::vector<uint8_t>> LoadImageFile(const std::string& path, size_t expected_size);

// Replaces `path` atomically: writes a temporary file in the same directory,
// flushes and fsyncs it, then renames it over `path`. A crash at any point
// leaves either the old or the new image. Returns false (with `error` set) on failure.
bool SaveImageFile(const std::string& path, const std::vector<uint8_t>& data, std::string* error);

}  // namespace zelsim
