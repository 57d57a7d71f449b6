// The unit table behind the unit-index exports: 32 instrument objects in static storage.
#pragma once

#include <cstdint>

#include "instrument/zel_api_class.h"

namespace zel::api {

inline constexpr int kUnitCount = 32;

// Entry `index` of the unit table, or null when the index names no entry (outside 0..31).
ZEL_API* UnitEntry(std::int64_t index);

}  // namespace zel::api
