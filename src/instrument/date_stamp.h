// Formatting of the instrument's date stamp, kept apart from the clocks so it can be checked alone.
#pragma once

#include <ctime>
#include <string>

namespace zel {
// "Date-YYYY-MM-DD-Time-HH-MM-SS-<ms>" with the milliseconds written without leading zeros.
std::string FormatDateStamp(const std::tm& local, unsigned milliseconds);
}  // namespace zel
