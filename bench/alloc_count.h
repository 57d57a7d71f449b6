// Heap allocations made by the calling thread, counted by the global operator new of this program.
#pragma once

#include <cstdint>

namespace zelbench {

std::uint64_t ThreadAllocations();

}  // namespace zelbench
