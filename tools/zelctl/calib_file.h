// The calibration backup file: JSON text to and from a Calibration. Version 2 holds each record's
// stored bytes in hex beside the value they decode to; version 1 holds the values only and is still
// read (each value encoded as the library would store it). No unit, no library calls.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "calib_records.h"

namespace zelctl::calib {

// A backup that cannot be read: "<where>: <what>", where is a path into the document such as
// "user[0].user_tx" or "top level"; or "malformed JSON: <parser's message>".
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Values of an item as the backup and `calib get --json` show them: a number for a one-value item,
// else an array; words as whole numbers; a NaN or infinity (an erased raw record) as its bit
// pattern in a string "0x" and 16 upper-case hex digits.
nlohmann::ordered_json ValuesJson(const ItemShape& shape, const std::vector<double>& values);

// Where and when a backup was made (unit address, serial, board type, time, zelctl version), as key/value
// pairs; kept in the file for whoever reads it, not read back.
using Context = std::vector<std::pair<std::string, std::string>>;

// The backup of `cal` in the current version (2), indented, with a final newline; `context` as the
// "context" object after the version.
std::string BackupText(const Calibration& cal, const Context& context = {});

// A backup of either version, checked whole: record sizes, value ranges, the values beside the
// bytes, channel and slot numbering. Throws FileError.
Calibration ParseBackup(const std::string& text);

}  // namespace zelctl::calib
