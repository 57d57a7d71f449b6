// Small checks shared by the instrument tests that look at register frames and EEPROM bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/unit_fixture.h"

namespace zeltest {

// The bit pattern of a double, for exact comparisons (signed zeros and NaNs included).
inline std::uint64_t BitsOf(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// `n` consecutive EEPROM byte addresses from `first`, wrapping at 64 KiB.
inline std::vector<std::uint16_t> AddressRun(std::uint16_t first, int n = 8) {
    std::vector<std::uint16_t> out;
    for (int i = 0; i < n; ++i) out.push_back(static_cast<std::uint16_t>(first + i));
    return out;
}

// A register frame that reads (write == false) or writes register `address` on `select`.
inline ::testing::AssertionResult IsRegisterAccess(const zelsim::Frame& f, bool write, unsigned select,
                                                   unsigned address) {
    if (!IsRegisterFrame(f)) return ::testing::AssertionFailure() << "not a register frame";
    if (IsWrite(f) != write || SelectOf(f) != select || AddressOf(f) != address) {
        return ::testing::AssertionFailure()
               << (IsWrite(f) ? "write" : "read") << " of register " << AddressOf(f) << " on select " << SelectOf(f)
               << ", expected " << (write ? "write" : "read") << " of register " << address << " on select " << select;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zeltest
