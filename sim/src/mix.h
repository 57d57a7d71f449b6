// Small deterministic hashing and random numbers of the unit.
#pragma once

#include <cstdint>

namespace zelsim {

// SplitMix64 finalizer: a well-spread 64-bit hash of x.
inline std::uint64_t Mix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The top 53 bits of h as a double in [0, 1).
inline double UnitInterval(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

}  // namespace zelsim
